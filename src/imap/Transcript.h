// The run's transcript: every command line sent and every byte received, in
// order. What is appended reaches the log file at once (every LF written as
// CR LF); the memory copy keeps only a bounded tail, the file keeps it all.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

class CTranscript {
public:
    // logPath empty: memory only.
    explicit CTranscript(std::string logPath = {}, size_t memoryTail = kDefaultMemoryTail);

    void Append(std::string_view text);
    // Empties the transcript and truncates the log file.
    void Clear();

    // The last bytes appended (all of them while the run is short).
    const std::string& Tail() const { return m_tail; }
    // Bytes appended since the last Clear.
    unsigned long long Size() const { return m_size; }
    const std::string& LogPath() const { return m_logPath; }
    void SetLogPath(std::string path) { m_logPath = std::move(path); }

    static constexpr size_t kDefaultMemoryTail = 64 * 1024;

private:
    std::string m_logPath;
    size_t m_memoryTail;
    std::string m_tail;
    unsigned long long m_size = 0;
};
