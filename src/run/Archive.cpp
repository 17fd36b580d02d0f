#include "run/Archive.h"

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>

#include "platform/FileSystem.h"
#include "platform/Utf8.h"

namespace {

constexpr size_t kMaxArchiveName = 100;

std::string ArchiveHex(const unsigned char* bytes, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < n; ++i) {
        hex += digits[bytes[i] >> 4];
        hex += digits[bytes[i] & 15];
    }
    return hex;
}

// A SHA-256 in the making; null once OpenSSL failed. No class of this file's
// own: CArchiveFile::State, which has external linkage, holds one.
using DigestPtr = std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)>;

DigestPtr NewSha256() {
    DigestPtr digest(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (digest && EVP_DigestInit_ex(digest.get(), EVP_sha256(), nullptr) != 1)
        digest.reset();
    return digest;
}

void AddToSha256(DigestPtr& digest, std::string_view bytes) {
    if (digest && EVP_DigestUpdate(digest.get(), bytes.data(), bytes.size()) != 1)
        digest.reset();
}

// 64 lower-case hex digits, "" when OpenSSL failed.
std::string Sha256Hex(DigestPtr& digest) {
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (!digest || EVP_DigestFinal_ex(digest.get(), bytes, &n) != 1)
        return "";
    return ArchiveHex(bytes, n);
}

bool IsReservedDeviceName(std::string_view name) {
    // Windows takes these for devices whatever follows the first dot.
    name = name.substr(0, name.find('.'));
    while (!name.empty() && name.back() == ' ')
        name.remove_suffix(1);
    std::string upper;
    for (const char c : name)
        upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (upper == "CON" || upper == "PRN" || upper == "AUX" || upper == "NUL" || upper == "CONIN$" ||
        upper == "CONOUT$")
        return true;
    if (upper.compare(0, 3, "COM") != 0 && upper.compare(0, 3, "LPT") != 0)
        return false;
    // COM1 ... LPT9, and with a superscript ¹ ² ³ too.
    const std::string_view digit = std::string_view(upper).substr(3);
    return (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') || digit == "\xC2\xB9" ||
           digit == "\xC2\xB2" || digit == "\xC2\xB3";
}

// One level of the archive's path: what either file system refuses, and
// '%' and '~' themselves, as %XX; the empty name as "%".
std::string SafeArchiveName(std::string_view name) {
    if (name.empty())
        return "%";
    static const char digits[] = "0123456789ABCDEF";
    std::string safe;
    const auto escape = [&](unsigned char c) {
        safe += '%';
        safe += digits[c >> 4];
        safe += digits[c & 15];
    };
    for (size_t i = 0; i < name.size();) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c >= 0x80) {
            // Whole UTF-8 characters stay; a stray byte would become another
            // character in Windows' wide names.
            size_t length = 2;
            while (length <= 4 && !IsValidUtf8(name.substr(i, length)))
                ++length;
            if (length <= 4 && i + length <= name.size()) {
                safe += name.substr(i, length);
                i += length;
                continue;
            }
            escape(c);
        } else if (c < 0x20 || c == 0x7F || std::strchr("<>:\"/\\|?*%~", c) ||
                   (i == 0 && IsReservedDeviceName(name)) ||
                   (i + 1 == name.size() && (c == '.' || c == ' '))) {
            escape(c);
        } else {
            safe += static_cast<char>(c);
        }
        ++i;
    }
    if (safe.size() <= kMaxArchiveName)
        return safe;
    // Cut at a whole character or escape, the hash of the name after the cut
    // "~" (which is escaped everywhere else) keeps it apart from any other.
    DigestPtr hash = NewSha256();
    AddToSha256(hash, name);
    const std::string suffix = "~" + Sha256Hex(hash).substr(0, 32);
    size_t cut = kMaxArchiveName - suffix.size();
    while (cut > 0 && ((static_cast<unsigned char>(safe[cut]) & 0xC0) == 0x80 ||
                       safe[cut - 1] == '%' || (cut > 1 && safe[cut - 2] == '%')))
        --cut;
    return safe.substr(0, cut) + suffix;
}

}  // namespace

std::string ArchivePath(const std::string& dir, const std::string& account,
                        const std::string& folder, char delim, uint32_t uidValidity, uint32_t uid) {
    std::string path = dir;
    if (!path.empty() && path.back() != '/' && path.back() != '\\')
        path += '/';
    path += SafeArchiveName(account);
    for (size_t begin = 0;;) {
        const size_t end = delim ? folder.find(delim, begin) : std::string::npos;
        path += '/';
        path += SafeArchiveName(std::string_view(folder).substr(begin, end - begin));
        if (end == std::string::npos)
            break;
        begin = end + 1;
    }
    return path + "/" + std::to_string(uidValidity) + "-" + std::to_string(uid) + ".eml";
}

struct CArchiveFile::State {
    std::string path, temp;
    std::FILE* file = nullptr;
    uint64_t written = 0;
    bool failed = false;
    DigestPtr hash = NewSha256();
};

CArchiveFile::CArchiveFile() = default;

CArchiveFile::~CArchiveFile() {
    Abandon();
}

std::string CArchiveFile::Begin(const std::string& path) {
    Abandon();
    if (!MakeFoldersFor(path))
        return "cannot make the folder of " + path;
    auto state = std::make_unique<State>();
    state->path = path;
    state->temp = path + ".tmp";
    // What a crash left at the temporary name goes (a link itself, never what
    // it points to); the new file is then made where nothing is.
    RemoveFile(state->temp);
    state->file = CreateNewFile(state->temp);
    if (!state->file)
        return "cannot create " + state->temp + ": " + std::strerror(errno);
    m_state = std::move(state);
    return "";
}

bool CArchiveFile::Write(std::string_view bytes) {
    if (!m_state || m_state->failed)
        return false;
    m_state->failed = std::fwrite(bytes.data(), 1, bytes.size(), m_state->file) != bytes.size();
    AddToSha256(m_state->hash, bytes);
    m_state->written += bytes.size();
    return !m_state->failed;
}

std::string CArchiveFile::Finish(uint64_t expectedSize, std::string* sha256) {
    if (!m_state)
        return "no copy begun";
    State& s = *m_state;
    std::string error;
    if (s.failed || std::fflush(s.file) != 0)
        error = "cannot write " + s.temp + ": " + std::strerror(errno);
    else if (!SyncFile(s.file))
        error = "cannot sync " + s.temp + ": " + std::strerror(errno);
    else if (s.written != expectedSize)
        error = "copy of " + std::to_string(s.written) + " bytes where the server said " +
                std::to_string(expectedSize);
    const int closed = std::fclose(s.file);
    s.file = nullptr;
    if (error.empty() && closed != 0)
        error = "cannot write " + s.temp + ": " + std::strerror(errno);
    std::string hex;
    if (error.empty() && (hex = Sha256Hex(s.hash)).empty())
        error = "cannot compute the SHA-256 of " + s.temp;
    if (error.empty() && !MoveReplacing(s.temp, s.path))
        error = "cannot rename " + s.temp + " to " + s.path + ": " + std::strerror(errno);
    if (!error.empty()) {
        Abandon();
        return error;
    }
    SyncFolderOf(s.path);
    if (sha256)
        *sha256 = hex;
    m_state.reset();
    return "";
}

void CArchiveFile::Abandon() {
    if (!m_state)
        return;
    if (m_state->file)
        std::fclose(m_state->file);
    RemoveFile(m_state->temp);
    m_state.reset();
}

std::string FileSha256(const std::string& path) {
    std::FILE* file = OpenFile(path, "rb");
    if (!file)
        return "";
    DigestPtr hash = NewSha256();
    std::string buffer(64 * 1024, '\0');
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0)
        AddToSha256(hash, std::string_view(buffer.data(), n));
    const bool failed = std::ferror(file);
    std::fclose(file);
    return failed ? "" : Sha256Hex(hash);
}
