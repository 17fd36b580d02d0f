#include "run/RunReport.h"

#include <charconv>
#include <cstdio>
#include <ctime>

#include "platform/FileSystem.h"
#include "platform/Utf8.h"
#include "run/CsvField.h"
#include "run/RunSequencer.h"

namespace {

constexpr const char* kHeader[] = {"Account", "Found", "Deleted", "Result", "Seconds"};
constexpr size_t kColumns = std::size(kHeader);

void AppendRecord(std::string& out, std::initializer_list<std::string_view> fields) {
    bool first = true;
    for (const std::string_view field : fields) {
        if (!first)
            out += ',';
        first = false;
        AppendCsvField(out, field);
    }
    out += "\r\n";
}

std::string FormatCount(int64_t n) {
    return n < 0 ? std::string() : std::to_string(n);
}

// Reads the records of RFC 4180 bytes one by one; a bare LF also ends a line.
class CsvReader {
public:
    explicit CsvReader(std::string_view bytes) : m_bytes(bytes) {}

    // 1 a record read, 0 the end, -1 malformed.
    int Next(std::vector<std::string>& fields) {
        fields.clear();
        if (m_pos >= m_bytes.size())
            return 0;
        ++m_line;
        std::string field;
        while (true) {
            if (m_pos < m_bytes.size() && m_bytes[m_pos] == '"') {
                ++m_pos;
                while (true) {
                    if (m_pos >= m_bytes.size())
                        return -1;  // the quote never closes
                    const char c = m_bytes[m_pos++];
                    if (c == '"') {
                        if (m_pos < m_bytes.size() && m_bytes[m_pos] == '"') {
                            field += '"';
                            ++m_pos;
                            continue;
                        }
                        break;
                    }
                    m_line += c == '\n';
                    field += c;
                }
            } else {
                while (m_pos < m_bytes.size() && m_bytes[m_pos] != ',' && m_bytes[m_pos] != '\r' &&
                       m_bytes[m_pos] != '\n') {
                    if (m_bytes[m_pos] == '"')
                        return -1;
                    field += m_bytes[m_pos++];
                }
            }
            DropFormulaGuard(field);
            fields.push_back(std::move(field));
            field.clear();
            if (m_pos >= m_bytes.size())
                return 1;
            const char c = m_bytes[m_pos++];
            if (c == ',')
                continue;
            if (c == '\n')
                return 1;
            // After a closing quote only a separator or the line end may come.
            if (c != '\r' || m_pos >= m_bytes.size() || m_bytes[m_pos++] != '\n')
                return -1;
            return 1;
        }
    }
    int Line() const { return m_line; }

private:
    std::string_view m_bytes;
    size_t m_pos = 0;
    int m_line = 0;
};

bool ParseCount(const std::string& text, int64_t& n) {
    if (text.empty()) {
        n = -1;
        return true;
    }
    const char* end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data(), end, n);
    return error == std::errc() && ptr == end && n >= 0;
}

bool ParseSeconds(const std::string& text, double& seconds) {
    if (text.empty()) {
        seconds = -1;
        return true;
    }
    if (text.find_first_not_of("0123456789.") != std::string::npos || text.size() > 20)
        return false;
    char* end = nullptr;
    seconds = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && seconds < 1e9;
}

bool IsFailure(const std::string& result) {
    return result.rfind("Failed", 0) == 0 || result.rfind("Skipped", 0) == 0;
}

}  // namespace

CReportRow ReportRow(const CAccountResult& result, bool preview) {
    CReportRow row;
    row.account = ToUtf8(result.account);
    row.logBegin = result.logBegin;
    row.logEnd = result.logEnd;
    if (result.skippedLine > 0) {
        row.account = "(line " + std::to_string(result.skippedLine) + ")";
        row.result = "Skipped: " + result.failure;
    } else if (!result.finished) {
        row.result = "In progress";
    } else if (result.stopped) {
        row.result = "Stopped" + result.failure.substr(std::string_view("run stopped").size());
    } else if (!result.failure.empty()) {
        row.result = "Failed: " + result.failure;
    } else {
        row.result = result.found == 0 ? "No message found"
                     : preview         ? "Would delete " + std::to_string(result.found)
                                       : "Done";
    }
    if (result.inClear)
        row.result += " (no TLS: password sent in clear)";
    if (result.finished && result.skippedLine == 0) {
        row.seconds = std::chrono::duration<double>(result.taken).count();
        if (result.searched) {
            row.found = static_cast<int64_t>(result.found);
            if (!preview)
                row.deleted = result.deleted;
        }
    }
    row.failed = IsFailure(row.result);
    return row;
}

CRunReport NewReport(const std::string& cutoff, bool preview, const std::string& server) {
    CRunReport report;
    report.cutoff = cutoff;
    report.preview = preview;
    report.server = server;
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char started[32] = "";
    if (LocalTime(now, &local))
        std::strftime(started, sizeof started, "%Y-%m-%d %H:%M:%S", &local);
    report.started = started;
    return report;
}

bool WriteReportFile(const std::string& path, const CRunReport& report) {
    return ReplaceFileAtomically(path, FormatReport(report), FileAccess::Shared);
}

std::string FormatReport(const CRunReport& report) {
    std::string out;
    AppendRecord(out, {"Cut-off day", report.cutoff});
    AppendRecord(out, {"Started", report.started});
    AppendRecord(out, {"Run", report.preview ? "Preview" : "Delete"});
    if (!report.server.empty())
        AppendRecord(out, {"Server", report.server});
    AppendRecord(out, {kHeader[0], kHeader[1], kHeader[2], kHeader[3], kHeader[4]});
    for (const CReportRow& row : report.rows) {
        char seconds[32] = "";
        if (row.seconds >= 0)
            std::snprintf(seconds, sizeof seconds, "%.1f", row.seconds);
        AppendRecord(out, {row.account, FormatCount(row.found), FormatCount(row.deleted),
                           row.result, seconds});
    }
    return out;
}

std::string ParseReport(std::string_view bytes, CRunReport& report) {
    report = CRunReport();
    if (bytes.size() > kMaxReportBytes)
        return "the file is larger than any report";
    CsvReader reader(bytes);
    std::vector<std::string> fields;
    const auto where = [&reader] { return "line " + std::to_string(reader.Line()) + ": "; };
    const char* const labels[] = {"Cut-off day", "Started", "Run"};
    std::string* const values[] = {&report.cutoff, &report.started, nullptr};
    for (size_t i = 0; i < std::size(labels); ++i) {
        if (reader.Next(fields) != 1 || fields.size() != 2 || fields[0] != labels[i])
            return where() + "\"" + labels[i] + "\" expected";
        if (values[i])
            *values[i] = fields[1];
        else if (fields[1] == "Preview" || fields[1] == "Delete")
            report.preview = fields[1] == "Preview";
        else
            return where() + "\"Delete\" or \"Preview\" expected";
    }
    // Reports written before the server was recorded go on with the titles.
    int got = reader.Next(fields);
    if (got == 1 && fields.size() == 2 && fields[0] == "Server") {
        report.server = fields[1];
        got = reader.Next(fields);
    }
    if (got != 1 || fields != std::vector<std::string>(std::begin(kHeader), std::end(kHeader)))
        return where() + "the column titles expected";
    for (int read; (read = reader.Next(fields)) != 0;) {
        if (read < 0)
            return where() + "a quote out of place";
        if (fields.size() == 1 && fields[0].empty())
            continue;  // an empty line
        if (fields.size() != kColumns)
            return where() + std::to_string(kColumns) + " fields expected";
        CReportRow row;
        row.account = fields[0];
        row.result = fields[3];
        if (!ParseCount(fields[1], row.found) || !ParseCount(fields[2], row.deleted) ||
            !ParseSeconds(fields[4], row.seconds))
            return where() + "a number expected";
        row.failed = IsFailure(row.result);
        report.rows.push_back(std::move(row));
    }
    return "";
}
