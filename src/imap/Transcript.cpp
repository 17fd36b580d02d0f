#include "imap/Transcript.h"

#include "platform/StdioFile.h"

void CTranscript::Append(std::string_view text) {
    if (text.empty() || m_logPath.empty())
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
    if (m_logPath.empty())
        return;
    CStdioFile file;
    if (file.Open(m_logPath, CStdioFile::modeWrite | CStdioFile::modeCreate))
        file.Close();
}
