// Folders beyond INBOX: LIST with their special uses, the selection moved or
// copied to Trash (and where the copies went, from COPYUID), and a
// selection made of given UIDs (a plan's, or the copies a move made).
#include <algorithm>
#include <cstdlib>

#include "imap/AsciiCase.h"
#include "imap/ImapSocket.h"
#include "imap/LoginArgument.h"
#include "imap/MessageSet.h"
#include "imap/ReplyWords.h"

namespace {
// More folders than this and the rest are not listed (no account has them).
constexpr size_t kMaxFolders = 100000;

// The IMAP string at the start of text: quoted (escapes undone), an atom, or
// a literal's place ({n} CR LF: its bytes are kept). Consumes it from text.
bool TakeString(std::string_view& text, const std::string& kept, std::string& value) {
    value.clear();
    if (!text.empty() && text[0] == '"') {
        size_t i = 1;
        for (; i < text.size() && text[i] != '"'; ++i)
            value += text[i] == '\\' && i + 1 < text.size() ? text[++i] : text[i];
        if (i >= text.size())
            return false;
        text.remove_prefix(i + 1);
        return true;
    }
    if (!text.empty() && text[0] == '{') {
        const size_t close = text.find("}\r\n");
        if (close == std::string_view::npos)
            return false;
        value = kept;
        text.remove_prefix(close + 3);
        return true;
    }
    const size_t end = std::min(text.find(' '), text.size());
    value.assign(text.substr(0, end));
    text.remove_prefix(end);
    return !value.empty();
}
}  // namespace

void CImapSocket::SendList() {
    m_bListed = 0;
    m_folders.clear();
    BeginCommand(CMD_LIST, "LIST");
    SendCommandLine(m_bSpecialUse ? "\"\" \"*\" RETURN (SPECIAL-USE)" : "\"\" \"*\"");
}

void CImapSocket::OnListed(std::string_view line) {
    // * LIST (\HasNoChildren \Trash) "/" "[Gmail]/Trash"
    std::string_view rest = line.substr(7);
    CListedFolder folder;
    std::string delimiter;
    const size_t close = rest.find(')');
    if (rest.empty() || rest[0] != '(' || close == std::string_view::npos ||
        m_folders.size() >= kMaxFolders) {
        m_literalKept.clear();
        return;
    }
    folder.attributes.assign(rest.substr(1, close - 1));
    rest.remove_prefix(std::min(close + 2, rest.size()));
    if (TakeString(rest, m_literalKept, delimiter) && !rest.empty() && rest[0] == ' ') {
        folder.delimiter =
            EqualsNoCase(delimiter, "NIL") || delimiter.size() != 1 ? 0 : delimiter[0];
        rest.remove_prefix(1);
        if (TakeString(rest, m_literalKept, folder.name) &&
            folder.name.find_first_of(std::string("\r\n\0", 3)) == std::string::npos)
            m_folders.push_back(std::move(folder));
    }
    m_literalKept.clear();
}

void CImapSocket::SendMove(const std::string& target) {
    SendTransfer(CMD_MOVE, "UID MOVE", target);
}

void CImapSocket::SendCopy(const std::string& target) {
    SendTransfer(CMD_COPY, "UID COPY", target);
}

void CImapSocket::SendTransfer(int32_t code, const char* verb, const std::string& target) {
    m_bMoved = 0;
    m_copied.clear();
    m_copiedValidity = 0;
    m_target = target;
    BeginCommand(code, verb);
    if (ClassifyArgument(target) != ArgumentForm::Atom &&
        ClassifyArgument(target) != ArgumentForm::Quoted) {
        Fail("folder name that can't be sent", false);
        return;
    }
    SendSets(code, m_selected);
}

void CImapSocket::NoteCopyUid(std::string_view text) {
    // [COPYUID uidvalidity source-set destination-set]
    const size_t at = FindNoCase(text, "[COPYUID ");
    if (at == std::string_view::npos)
        return;
    std::string_view rest = text.substr(at + 9);
    rest = rest.substr(0, rest.find(']'));
    const size_t last = rest.rfind(' ');
    if (last == std::string_view::npos)
        return;
    m_copiedValidity = static_cast<uint32_t>(
        std::strtoul(std::string(rest.substr(0, rest.find(' '))).c_str(), nullptr, 10));
    std::string_view set = rest.substr(last + 1);
    // The destination set names the copies in the order of the sources.
    while (!set.empty() && m_copied.size() <= m_selected.size()) {
        const size_t comma = std::min(set.find(','), set.size());
        const std::string_view run = set.substr(0, comma);
        const size_t colon = run.find(':');
        const auto number = [](std::string_view digits) {
            uint64_t n = 0;
            for (const char c : digits)
                n = c >= '0' && c <= '9' && n < UINT32_MAX ? n * 10 + static_cast<unsigned>(c - '0')
                                                           : UINT64_MAX;
            return n;
        };
        const uint64_t first = number(run.substr(0, colon));
        const uint64_t end =
            colon == std::string_view::npos ? first : number(run.substr(colon + 1));
        if (first == 0 || first > UINT32_MAX || end == 0 || end > UINT32_MAX || end < first ||
            end - first > m_selected.size())
            return;  // never believed: the copies can't be named
        for (uint64_t n = first; n <= end; ++n)
            m_copied.push_back(static_cast<uint32_t>(n));
        set.remove_prefix(std::min(comma + 1, set.size()));
    }
}

void CImapSocket::SelectUids(std::vector<uint32_t> uids) {
    m_selected = SortedDistinct(std::move(uids));
    m_flagged.clear();
    m_tracker.Clear();
    m_nFlaggedUpTo = m_nGoneFlagged = m_nFlagged = 0;
    m_nDeleted = m_nMoved = 0;
    m_bRenumbered = m_bFlagsUncertain = false;
    m_bSearched = 1;
}

void CImapSocket::SendSearchUids(const std::vector<uint32_t>& uids) {
    m_bSearched = 0;
    m_searchNumbers.clear();
    m_bSearchAnswered = false;
    m_searchProblem.clear();
    BeginCommand(CMD_SEARCH, "UID SEARCH");
    if (HasFlagged()) {
        Fail("the flags of an earlier search are still set", false);
        return;
    }
    m_requested = SortedDistinct(uids);
    m_selected.clear();
    m_tracker.Clear();
    m_nFlaggedUpTo = m_nGoneFlagged = m_nFlagged = 0;
    m_nDeleted = m_nMoved = 0;
    m_bRenumbered = m_bFlagsUncertain = m_bNumbersAtRisk = false;
    m_reader.SetSearchLimit(std::min(m_requested.size(), CResponseReader::kMaxSearchNumbers));
    SendSets(CMD_SEARCH, m_requested);
}

bool CImapSocket::SelectionGone(size_t j) const {
    if (m_bUidPlus)
        return false;  // UID EXPUNGE tells its sets through the sink
    return j < m_nFlaggedUpTo && !m_tracker.Lost() && m_tracker.Current(j) == 0;
}
