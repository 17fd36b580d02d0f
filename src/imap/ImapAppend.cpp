// Putting messages back: APPEND of a copy, and the search that tells whether
// the folder holds it already.
#include "imap/ImapSocket.h"
#include "imap/LoginArgument.h"

void CImapSocket::SendAppend(const std::string& folder, const std::string& flags,
                             const std::string& date, std::string bytes) {
    m_bAppended = 0;
    BeginCommand(CMD_APPEND, "APPEND");
    m_loginParts.clear();
    const auto sendable = [](const std::string& text) {
        const ArgumentForm form = ClassifyArgument(text);
        return form == ArgumentForm::Atom || form == ArgumentForm::Quoted;
    };
    if (!sendable(folder) || flags.find_first_of("()\"\r\n") != std::string::npos ||
        date.find_first_of("\"\r\n") != std::string::npos) {
        Fail("a message that can't be put back (its folder, flags or date)", false);
        return;
    }
    TakeTag();
    std::string line = m_strTag + "APPEND " + QuoteArgument(folder) + " (" + flags + ")" +
                       (date.empty() ? "" : " \"" + date + "\"") + " {" +
                       std::to_string(bytes.size()) + "}\r\n";
    // The message waits for the server's "+"; the log shows its size, not it.
    m_loginLog = "[" + std::to_string(bytes.size()) + " bytes of the message]\r\n";
    bytes += "\r\n";
    m_loginParts.push_back(std::move(bytes));
    std::string log = line;
    SendRaw(std::move(line), std::move(log));
}

void CImapSocket::SendSearchMessageId(const std::string& messageId) {
    BeginSearch();
    m_selected.clear();
    m_tracker.Clear();
    m_nFlaggedUpTo = m_nGoneFlagged = m_nFlagged = 0;
    m_bRenumbered = m_bFlagsUncertain = m_bNumbersAtRisk = false;
    const ArgumentForm form = ClassifyArgument(messageId);
    if (messageId.empty() || (form != ArgumentForm::Atom && form != ArgumentForm::Quoted)) {
        Fail("a Message-ID that can't be searched for", false);
        return;
    }
    SendCommandLine("HEADER MESSAGE-ID " + QuoteArgument(messageId));
}
