#include "imap/Transcript.h"

#include "platform/StdioFile.h"

CTranscript::CTranscript(std::string logPath, size_t memoryTail)
    : m_logPath(std::move(logPath)), m_memoryTail(memoryTail) {}

void CTranscript::Append(std::string_view text) {
    if (text.empty())
        return;
    m_size += text.size();
    if (text.size() >= m_memoryTail) {
        m_tail.assign(text.substr(text.size() - m_memoryTail));
    } else {
        // Drop from the front in large steps so that trimming stays O(appended bytes).
        if (m_tail.size() + text.size() > 2 * m_memoryTail)
            m_tail.erase(0, m_tail.size() + text.size() - m_memoryTail);
        m_tail.append(text);
    }
    if (m_logPath.empty())
        return;
    // Opened and closed per append: no file stays open between two events. A
    // log that cannot be written (folder missing, disk full) never stops a run.
    CStdioFile file;
    if (file.Open(m_logPath, CStdioFile::modeWrite | CStdioFile::modeAppend)) {
        file.WriteString(text);
        file.Close();
    }
}

void CTranscript::Clear() {
    m_tail.clear();
    m_size = 0;
    if (m_logPath.empty())
        return;
    CStdioFile file;
    if (file.Open(m_logPath, CStdioFile::modeWrite | CStdioFile::modeCreate))
        file.Close();
}
