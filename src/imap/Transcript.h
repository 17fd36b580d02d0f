// The run's transcript: every command line sent and every byte received, in
// order, appended to the log file at once (every LF written as CR LF).
#pragma once

#include <string>
#include <string_view>

class CTranscript {
public:
    // logPath empty: nothing is kept.
    explicit CTranscript(std::string logPath = {}) : m_logPath(std::move(logPath)) {}

    void Append(std::string_view text);
    // Empties the transcript: truncates the log file.
    void Clear();

private:
    std::string m_logPath;
};
