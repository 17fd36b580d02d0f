#include "platform/FileSystem.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>

namespace {
// A name beside path that nobody is likely to have taken; creating it
// exclusively settles the rest.
std::string TemporaryBeside(const std::string& path) {
    static std::atomic<unsigned> counter{0};
    const auto now = static_cast<unsigned long long>(
        std::chrono::steady_clock::now().time_since_epoch().count());
    char suffix[40];
    std::snprintf(suffix, sizeof suffix, ".%08llx%04x.tmp", now & 0xFFFFFFFFull,
                  counter.fetch_add(1) & 0xFFFF);
    return path + suffix;
}
}  // namespace

bool MakeFoldersFor(const std::string& path) {
#ifdef _WIN32
    const char* const separators = "/\\";
#else
    const char* const separators = "/";
#endif
    // The levels above may be a drive ("C:"), a share or folders of others:
    // only the last one must be there in the end.
    std::string level;
    for (size_t i = path.find_first_of(separators, 1); i != std::string::npos;
         i = path.find_first_of(separators, i + 1)) {
        level = path.substr(0, i);
        if (level.back() != ':' && level.find_first_not_of(separators) != std::string::npos &&
            !InspectFile(level).exists)
            MakeFolder(level);
    }
    return level.empty() || InspectFile(level).folder;
}

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
// After windows.h, which they need.
#include <sddl.h>

std::wstring WidePath(const std::string& utf8) {
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

namespace {
// The running user's SID as text ("S-1-5-21-..."), "" when it can't be read.
std::wstring UserSid() {
    HANDLE token = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
        return {};
    std::wstring text;
    DWORD size = 0;
    ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buffer(size, '\0');
    if (size > 0 && ::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
        LPWSTR sid = nullptr;
        if (::ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid,
                                     &sid)) {
            text = sid;
            ::LocalFree(sid);
        }
    }
    ::CloseHandle(token);
    return text;
}
}  // namespace

std::FILE* OpenFile(const std::string& path, const char* mode) {
    return ::_wfopen(WidePath(path).c_str(), WidePath(mode).c_str());
}

bool MoveReplacing(const std::string& from, const std::string& to) {
    return ::MoveFileExW(WidePath(from).c_str(), WidePath(to).c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool SyncFile(std::FILE* file) {
    return ::_commit(::_fileno(file)) == 0;
}

bool LocalTime(std::time_t t, std::tm* out) {
    return ::localtime_s(out, &t) == 0;
}

bool MakeFolder(const std::string& path) {
    // Not inherited from the drive's root (where every user may read): the
    // system, the administrators and the user who made it, as the installer does.
    const std::wstring sid = UserSid();
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const std::wstring sddl = L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)" +
                              (sid.empty() ? L"" : L"(A;OICI;FA;;;" + sid + L")");
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                &descriptor, nullptr))
        return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
    const bool made = ::CreateDirectoryW(WidePath(path).c_str(), &attributes) ||
                      ::GetLastError() == ERROR_ALREADY_EXISTS;
    ::LocalFree(descriptor);
    return made;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, FileAccess) {
    // The folder's access list decides who may read it.
    std::string temp;
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 8 && file == INVALID_HANDLE_VALUE; ++attempt) {
        temp = TemporaryBeside(path);
        file = ::CreateFileW(WidePath(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS)
            return false;
    }
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bool ok = true;
    for (size_t done = 0; ok && done < bytes.size();) {
        DWORD wrote = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 30));
        ok = ::WriteFile(file, bytes.data() + done, chunk, &wrote, nullptr) && wrote > 0;
        done += wrote;
    }
    ok = ::FlushFileBuffers(file) && ok;
    ok = ::CloseHandle(file) && ok;
    if (!ok || !MoveReplacing(temp, path)) {
        ::DeleteFileW(WidePath(temp).c_str());
        return false;
    }
    return true;
}

bool CreateExclusive(const std::string& path) {
    const HANDLE file = ::CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    return file != INVALID_HANDLE_VALUE && ::CloseHandle(file);
}

std::FILE* OpenForAppend(const std::string& path) {
    const HANDLE file = ::CreateFileW(WidePath(path).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return nullptr;
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_APPEND | _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(file);
        return nullptr;
    }
    std::FILE* stream = ::_fdopen(fd, "ab");
    if (!stream)
        ::_close(fd);
    return stream;
}

std::FILE* CreateNewFile(const std::string& path) {
    const HANDLE file = ::CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        errno = ::GetLastError() == ERROR_FILE_EXISTS ? EEXIST : EACCES;
        return nullptr;
    }
    const int fd = ::_open_osfhandle(reinterpret_cast<intptr_t>(file), _O_BINARY);
    if (fd < 0) {
        ::CloseHandle(file);
        return nullptr;
    }
    std::FILE* stream = ::_fdopen(fd, "wb");
    if (!stream)
        ::_close(fd);
    return stream;
}

bool RemoveFile(const std::string& path) {
    return ::DeleteFileW(WidePath(path).c_str()) || ::GetLastError() == ERROR_FILE_NOT_FOUND;
}

void SyncFolderOf(const std::string&) {}

std::string CurrentUserName() {
    wchar_t name[256];
    DWORD size = 256;
    if (!::GetUserNameW(name, &size))
        return "the current user";
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, name, -1, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, name, -1, utf8.data(), n, nullptr, nullptr);
    return utf8;
}

CFileFacts InspectFile(const std::string& path) {
    CFileFacts facts;
    const DWORD attributes = ::GetFileAttributesW(WidePath(path).c_str());
    facts.exists = attributes != INVALID_FILE_ATTRIBUTES;
    facts.folder = facts.exists && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    return facts;
}
#else
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>

namespace {
bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}
}  // namespace

void SyncFolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

bool MoveReplacing(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool SyncFile(std::FILE* file) {
    return ::fsync(::fileno(file)) == 0;
}

bool LocalTime(std::time_t t, std::tm* out) {
    return ::localtime_r(&t, out) != nullptr;
}

bool MakeFolder(const std::string& path) {
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view bytes, FileAccess access) {
    // open() applies the umask: 0644 becomes stricter if the administrator's is.
    const mode_t mode = access == FileAccess::OwnerOnly ? 0600 : 0644;
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 8 && fd < 0; ++attempt) {
        temp = TemporaryBeside(path);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0 && errno != EEXIST)
            return false;
    }
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, bytes) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    SyncFolderOf(path);
    return true;
}

bool CreateExclusive(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    return fd >= 0 && ::close(fd) == 0;
}

std::FILE* OpenForAppend(const std::string& path) {
    const int fd =
        ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    struct stat st {};
    std::FILE* file = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? ::fdopen(fd, "ab") : nullptr;
    if (!file)
        ::close(fd);
    return file;
}

std::FILE* CreateNewFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return nullptr;
    std::FILE* file = ::fdopen(fd, "wb");
    if (!file)
        ::close(fd);
    return file;
}

bool RemoveFile(const std::string& path) {
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

std::string CurrentUserName() {
    const passwd* user = ::getpwuid(::geteuid());
    return user ? user->pw_name : std::to_string(::geteuid());
}

CFileFacts InspectFile(const std::string& path) {
    CFileFacts facts;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return facts;
    facts.exists = true;
    facts.folder = S_ISDIR(st.st_mode);
    facts.othersMayWrite = st.st_mode & (S_IWGRP | S_IWOTH);
    facts.othersMayRead = st.st_mode & (S_IRGRP | S_IROTH);
    facts.foreignOwner = st.st_uid != ::geteuid() && st.st_uid != 0;
    if (facts.foreignOwner) {
        const passwd* user = ::getpwuid(st.st_uid);
        facts.owner = user ? user->pw_name : std::to_string(st.st_uid);
    }
    return facts;
}
#endif
