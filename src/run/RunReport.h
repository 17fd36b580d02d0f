// A run's report: the rows of the results table, and the CSV file File → Save
// writes them to (RFC 4180: CR LF, fields with ',' '"' or line ends quoted).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct CAccountResult;

struct CReportRow {
    std::string account;  // UTF-8
    int64_t found = -1;   // -1: not known (the search never completed)
    int64_t deleted = -1;
    std::string result;
    double seconds = -1;  // -1: still in progress
    bool failed = false;
    // The account's part of the run's log, when this session's run wrote it.
    uint64_t logBegin = 0;
    uint64_t logEnd = 0;
};

struct CRunReport {
    std::string cutoff;   // "05-Mar-2008"
    std::string started;  // local time, "2008-03-05 14:30:00"
    bool preview = false;
    std::string server;  // "host:port"; "" in reports written before it was recorded
    std::vector<CReportRow> rows;
};

// The row of result as the table shows it ("Done", "Would delete 12" in a
// preview, "No message found",
// "Failed: ...", "Stopped", "Skipped: ...", "In progress"; " (no TLS:
// password sent in clear)" after it when so), the account in UTF-8.
CReportRow ReportRow(const CAccountResult& result, bool preview);

// An empty report of a run on server ("host:port") starting now (local time).
CRunReport NewReport(const std::string& cutoff, bool preview, const std::string& server);

std::string FormatReport(const CRunReport& report);
// Writes the report as CSV beside path and renames it over path, so that a
// failed save leaves an earlier file whole; false on any failure.
bool WriteReportFile(const std::string& path, const CRunReport& report);
// Reads what FormatReport wrote; "" or why the bytes are not such a report.
std::string ParseReport(std::string_view bytes, CRunReport& report);

// Larger files are not taken for reports.
inline constexpr size_t kMaxReportBytes = 64 << 20;
