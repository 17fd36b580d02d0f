#include "run/Manifest.h"

#include <cerrno>
#include <charconv>
#include <cstring>
#include <vector>

#include "platform/FileSystem.h"
#include "platform/Utf8.h"
#include "run/CsvField.h"

namespace {

constexpr const char* kManifestColumns[] = {
    "account", "folder",  "uidvalidity", "uid",     "received", "size",  "message_id", "date",
    "from",    "subject", "action",      "archive", "sha256",   "flags", "server"};
constexpr size_t kManifestFields = std::size(kManifestColumns);
// A row is a few KiB (DecodeHeaderValue cuts the long fields): far more is no manifest.
constexpr size_t kMaxManifestRecord = 1 << 20;

// Bytes one at a time from memory or a file read in blocks.
class ManifestBytes {
public:
    explicit ManifestBytes(std::string_view bytes) : m_block(bytes) {}
    explicit ManifestBytes(std::FILE* file) : m_file(file), m_buffer(64 * 1024, '\0') {}

    // The next byte, -1 at the end.
    int Get() {
        if (m_pos >= m_block.size() && !Refill())
            return -1;
        return static_cast<unsigned char>(m_block[m_pos++]);
    }
    int Peek() {
        if (m_pos >= m_block.size() && !Refill())
            return -1;
        return static_cast<unsigned char>(m_block[m_pos]);
    }
    bool Failed() const { return m_file && std::ferror(m_file); }

private:
    bool Refill() {
        if (!m_file)
            return false;
        const size_t n = std::fread(m_buffer.data(), 1, m_buffer.size(), m_file);
        m_block = std::string_view(m_buffer.data(), n);
        m_pos = 0;
        return n > 0;
    }

    std::FILE* m_file = nullptr;
    std::string m_buffer;
    std::string_view m_block;
    size_t m_pos = 0;
};

// Reads the records of RFC 4180 bytes; a bare LF also ends a line.
class ManifestCsv {
public:
    explicit ManifestCsv(ManifestBytes& bytes) : m_bytes(bytes) {}

    // "" with a record (fields empty at the end), or what is wrong.
    std::string Next(std::vector<std::string>& fields) {
        fields.clear();
        m_recordLine = m_line;
        if (m_bytes.Peek() < 0)
            return "";
        size_t total = 0;
        std::string field;
        while (true) {
            if (m_bytes.Peek() == '"') {
                m_bytes.Get();
                while (true) {
                    const int c = m_bytes.Get();
                    if (c < 0)
                        return "a quote that never closes";
                    if (c == '"') {
                        if (m_bytes.Peek() != '"')
                            break;
                        m_bytes.Get();
                    }
                    m_line += c == '\n';
                    field += static_cast<char>(c);
                    if (++total > kMaxManifestRecord)
                        return "a row far too long";
                }
            } else {
                for (int c; (c = m_bytes.Peek()) >= 0 && c != ',' && c != '\r' && c != '\n';) {
                    if (c == '"')
                        return "a quote inside a field that is not quoted";
                    field += static_cast<char>(m_bytes.Get());
                    if (++total > kMaxManifestRecord)
                        return "a row far too long";
                }
            }
            DropFormulaGuard(field);
            fields.push_back(std::move(field));
            field.clear();
            const int c = m_bytes.Get();
            if (c == ',')
                continue;
            if (c == '\r' && m_bytes.Get() != '\n')
                return "a CR that ends no line";
            if (c >= 0 && c != '\r' && c != '\n')
                return "text after a closing quote";
            ++m_line;
            return "";
        }
    }
    int RecordLine() const { return m_recordLine; }

private:
    ManifestBytes& m_bytes;
    int m_line = 1;
    int m_recordLine = 1;
};

bool ParseManifestNumber(const std::string& text, uint64_t max, uint64_t& n) {
    const char* end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, n);
    return !text.empty() && text[0] != '-' && error == std::errc() && ptr == end && n <= max;
}

std::string ReadManifestRecords(ManifestBytes& bytes,
                                const std::function<bool(const CManifestRow&)>& onRow) {
    ManifestCsv csv(bytes);
    std::vector<std::string> fields;
    // A UTF-8 BOM, as spreadsheets save one, may come before the header.
    if (bytes.Peek() == 0xEF) {
        bytes.Get();
        if (bytes.Get() != 0xBB || bytes.Get() != 0xBF)
            return "line 1: not a manifest (no header)";
    }
    std::string error = csv.Next(fields);
    if (!error.empty())
        return "line 1: " + error;
    if (!std::equal(fields.begin(), fields.end(), std::begin(kManifestColumns),
                    std::end(kManifestColumns)))
        return "line 1: not a manifest (no header)";
    while (true) {
        error = csv.Next(fields);
        const std::string line = "line " + std::to_string(csv.RecordLine()) + ": ";
        if (!error.empty())
            return line + error;
        if (fields.empty())
            return bytes.Failed() ? line + "cannot be read" : "";
        if (fields.size() != kManifestFields)
            return line + std::to_string(kManifestFields) + " fields expected, " +
                   std::to_string(fields.size()) + " found";
        for (size_t i = 0; i < kManifestFields; ++i)
            if (!IsValidUtf8(fields[i]))
                return line + std::string(kManifestColumns[i]) + " is not UTF-8";
        CManifestRow row;
        uint64_t uidValidity = 0, uid = 0;
        if (!ParseManifestNumber(fields[2], UINT32_MAX, uidValidity))
            return line + "uidvalidity is not a number";
        if (!ParseManifestNumber(fields[3], UINT32_MAX, uid))
            return line + "uid is not a number";
        if (!ParseManifestNumber(fields[5], UINT64_MAX, row.size))
            return line + "size is not a number";
        row.uidValidity = static_cast<uint32_t>(uidValidity);
        row.uid = static_cast<uint32_t>(uid);
        row.account = std::move(fields[0]);
        row.folder = std::move(fields[1]);
        row.received = std::move(fields[4]);
        row.messageId = std::move(fields[6]);
        row.date = std::move(fields[7]);
        row.from = std::move(fields[8]);
        row.subject = std::move(fields[9]);
        row.action = std::move(fields[10]);
        row.archive = std::move(fields[11]);
        row.sha256 = std::move(fields[12]);
        row.flags = std::move(fields[13]);
        row.server = std::move(fields[14]);
        if (!onRow(row))
            return "";
    }
}

}  // namespace

std::string ManifestHeader() {
    std::string out;
    for (const char* column : kManifestColumns)
        out += std::string(out.empty() ? "" : ",") + column;
    return out + "\r\n";
}

std::string FormatManifestRow(const CManifestRow& row) {
    const std::string uidValidity = std::to_string(row.uidValidity), uid = std::to_string(row.uid),
                      size = std::to_string(row.size);
    std::string out;
    bool first = true;
    for (const std::string_view field :
         {std::string_view(row.account), std::string_view(row.folder),
          std::string_view(uidValidity), std::string_view(uid), std::string_view(row.received),
          std::string_view(size), std::string_view(row.messageId), std::string_view(row.date),
          std::string_view(row.from), std::string_view(row.subject), std::string_view(row.action),
          std::string_view(row.archive), std::string_view(row.sha256), std::string_view(row.flags),
          std::string_view(row.server)}) {
        if (!first)
            out += ',';
        first = false;
        AppendCsvField(out, field);
    }
    return out + "\r\n";
}

CManifestWriter::~CManifestWriter() {
    Close();
}

std::string CManifestWriter::Create(const std::string& path) {
    Close();
    if (!MakeFoldersFor(path))
        return "cannot make the folder of " + path;
    m_file = CreateNewFile(path);
    if (!m_file)
        return errno == EEXIST ? path + " is there already"
                               : "cannot create " + path + ": " + std::strerror(errno);
    m_path = path;
    m_failed = false;
    const std::string header = ManifestHeader();
    if (std::fwrite(header.data(), 1, header.size(), m_file) != header.size() ||
        std::fflush(m_file) != 0) {
        Close();
        return "cannot write " + path;
    }
    return "";
}

bool CManifestWriter::Append(const CManifestRow& row) {
    if (!m_file || m_failed)
        return false;
    // One write and a flush a row: a crash leaves whole rows behind.
    const std::string line = FormatManifestRow(row);
    m_failed =
        std::fwrite(line.data(), 1, line.size(), m_file) != line.size() || std::fflush(m_file) != 0;
    return !m_failed;
}

bool CManifestWriter::Sync() {
    if (!m_file || m_failed)
        return false;
    m_failed = std::fflush(m_file) != 0 || !SyncFile(m_file);
    return !m_failed;
}

void CManifestWriter::Close() {
    if (m_file)
        std::fclose(m_file);
    m_file = nullptr;
}

std::string ReadManifestFile(const std::string& path,
                             const std::function<bool(const CManifestRow&)>& onRow) {
    std::FILE* file = OpenFile(path, "rb");
    if (!file)
        return "cannot read " + path + ": " + std::strerror(errno);
    ManifestBytes bytes(file);
    std::string error = ReadManifestRecords(bytes, onRow);
    std::fclose(file);
    return error;
}

std::string ReadManifest(std::string_view bytes,
                         const std::function<bool(const CManifestRow&)>& onRow) {
    ManifestBytes source(bytes);
    return ReadManifestRecords(source, onRow);
}
