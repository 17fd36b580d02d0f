// The run's transcript: every command line sent and every byte received, in
// order, appended to the log file at once (every LF written as CR LF).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

class CTranscript {
public:
    // How many earlier runs' logs are kept beside the current one.
    static constexpr int kKeptLogs = 10;

    // logPath empty: nothing is kept.
    explicit CTranscript(std::string logPath = {}) : m_logPath(std::move(logPath)) {}

    void Append(std::string_view text);
    // Text from a server: control characters other than CR, LF and TAB (and
    // DEL) are written as \xNN, so that a terminal showing the log obeys none
    // of them; beyond kServerTextCap bytes an account the rest is only counted.
    void AppendServerText(std::string_view text);
    static constexpr uint64_t kServerTextCap = 16ull << 20;
    // An account begins: its server text counts from zero.
    void BeginAccount() { m_serverBytes = 0; }
    // An account ends: one line says how much of its server text was not logged.
    void EndAccount();
    // While held, what is appended stays in memory until Release() returns
    // it: each of several sessions logging at once keeps its lines together.
    // Beyond kHoldLimit bytes (a server flooding the session) the held part
    // goes to the file at once, so memory stays bounded.
    static constexpr size_t kHoldLimit = 1 << 20;
    void Hold(bool hold) { m_bHold = hold; }
    std::string Release() {
        m_spilledAt.reset();
        return std::exchange(m_held, std::string());
    }
    // Where the first part written before Release() began, if one was.
    std::optional<uint64_t> SpilledAt() const { return m_spilledAt; }
    const std::string& Path() const { return m_logPath; }
    // Starts an empty log for a new run. The log before it becomes earlier
    // log 1 ("LOG.TXT" -> "LOG.1.TXT"), log 1 becomes log 2, and so on; the
    // oldest beyond kKeptLogs goes. A log that cannot be kept is not emptied:
    // the new run is appended to it.
    void StartNew();
    // The log's size in bytes: where the next append begins.
    uint64_t Size() const;
    // Bytes [begin, end) of the log. A part longer than limit keeps its first
    // and last limit / 2 bytes, a line saying how much was left out between.
    std::string Read(uint64_t begin, uint64_t end, size_t limit) const;

    // The name of earlier log n (1: the newest) beside logPath.
    static std::string KeptLogPath(const std::string& logPath, int n);

private:
    std::string m_logPath;
    bool m_bHold = false;
    std::string m_held;
    std::optional<uint64_t> m_spilledAt;
    uint64_t m_serverBytes = 0;

    void Write(std::string_view text) const;
};
