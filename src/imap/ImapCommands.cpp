// The session's commands and what their answers leave: sign-in, SELECT and
// the search; the sets of STORE and EXPUNGE that follow it are in ImapFlags.cpp.
#include <algorithm>
#include <cstdio>
#include <iterator>

#include "imap/AsciiCase.h"
#include "imap/ImapSocket.h"
#include "imap/LoginArgument.h"
#include "imap/MessageSet.h"
#include "imap/Xoauth2.h"

namespace {
bool IsCutoffDate(std::string_view d) {
    // d-Mon-yyyy or dd-Mon-yyyy
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    const size_t dayLen = d.size() == 11 ? 2 : d.size() == 10 ? 1 : 0;
    if (dayLen == 0)
        return false;
    for (size_t i = 0; i < dayLen; ++i)
        if (!digit(d[i]))
            return false;
    const std::string_view rest = d.substr(dayLen);
    return rest[0] == '-' && alpha(rest[1]) && alpha(rest[2]) && alpha(rest[3]) && rest[4] == '-' &&
           digit(rest[5]) && digit(rest[6]) && digit(rest[7]) && digit(rest[8]);
}

}  // namespace

// ---------------------------------------------------------------- sign-in

int CImapSocket::SendLogin(const std::string& account, const std::string& password) {
    m_bLoggedIn = 0;
    m_bCapsKnown = false;  // those after LOGIN may differ
    BeginCommand(CMD_LOGIN, "LOGIN");
    m_loginParts.clear();

    const ArgumentForm accountForm = ClassifyArgument(account);
    const ArgumentForm passwordForm = ClassifyArgument(password);
    if (accountForm == ArgumentForm::Refused || passwordForm == ArgumentForm::Refused) {
        Fail("account or password contains CR, LF or NUL", false);
        return 0;
    }
    TakeTag();
    // Each literal ends a part: the next part goes out after the server's "+".
    std::vector<std::string> parts;
    std::string current = m_strTag + "LOGIN ";
    auto add = [&](const std::string& arg, ArgumentForm form) {
        if (form == ArgumentForm::Literal) {
            current += '{' + std::to_string(arg.size()) + "}\r\n";
            parts.push_back(std::move(current));
            current = arg;
        } else {
            current += QuoteArgument(arg);
        }
    };
    add(account, accountForm);
    // The transcript and the log never see the password; the line is logged
    // with its last part.
    m_loginLog.clear();
    for (const auto& p : parts)
        m_loginLog += p;
    m_loginLog += current + " ****\r\n";
    current += ' ';
    add(password, passwordForm);
    current += "\r\n";
    parts.push_back(std::move(current));

    for (size_t i = 1; i < parts.size(); ++i)
        m_loginParts.push_back(std::move(parts[i]));
    SendRaw(std::move(parts[0]), parts.size() == 1 ? m_loginLog : std::string());
    return m_bFailed ? 0 : 1;
}

int CImapSocket::SendAuthenticate(const std::string& account, const std::string& token) {
    m_bLoggedIn = 0;
    m_bCapsKnown = false;
    BeginCommand(CMD_LOGIN, "AUTHENTICATE");
    m_authResponse.clear();
    m_authRefusal.clear();
    if (!IsTls()) {
        Fail("no TLS: an access token is never sent in the clear", false);
        return 0;
    }
    if (!m_bXoauth2) {
        Fail("server does not offer AUTHENTICATE XOAUTH2", false);
        return 0;
    }
    // The SASL string separates its fields with ^A: none may hold one.
    const auto unsafe = [](const std::string& s) {
        return s.find_first_of(std::string("\r\n\0\x01", 4)) != std::string::npos;
    };
    if (unsafe(account) || unsafe(token)) {
        Fail("account or token contains CR, LF, NUL or ^A", false);
        return 0;
    }
    TakeTag();
    std::string response = Xoauth2Response(account, token);
    // The token never reaches the transcript.
    if (m_bSaslIr) {
        SendRaw(m_strTag + "AUTHENTICATE XOAUTH2 " + response + "\r\n",
                m_strTag + "AUTHENTICATE XOAUTH2 ****\r\n");
    } else {
        m_authResponse = std::move(response) + "\r\n";
        SendRaw(m_strTag + "AUTHENTICATE XOAUTH2\r\n", m_strTag + "AUTHENTICATE XOAUTH2\r\n");
    }
    return m_bFailed ? 0 : 1;
}

void CImapSocket::SendCapability() {
    m_bCapable = 0;
    if (m_bCapsKnown) {
        m_strTag.clear();
        m_bCapable = 1;
        return;
    }
    BeginCommand(CMD_CAPABILITY, "CAPABILITY");
    SendCommandLine();
}

void CImapSocket::SendLogout() {
    BeginCommand(CMD_LOGOUT, "LOGOUT");
    SendCommandLine();
}

// ---------------------------------------------------------------- the mailbox

void CImapSocket::SendSelect(const std::string& folder) {
    m_bSelected = 0;
    m_nExists = -1;
    m_nUidNext = m_nUidValidity = 0;
    BeginCommand(CMD_SELECT, "SELECT");
    // Modified UTF-7 is 7-bit: an atom or a quoted string carries any name.
    const ArgumentForm form = ClassifyArgument(folder);
    if (folder.empty() || (form != ArgumentForm::Atom && form != ArgumentForm::Quoted)) {
        Fail("folder name that can't be sent", false);
        return;
    }
    SendCommandLine(QuoteArgument(folder));
}

void CImapSocket::BeginSearch() {
    m_bSearched = 0;
    m_searchNumbers.clear();
    m_bSearchAnswered = false;
    m_searchProblem.clear();
    m_bSearchSets = false;
    BeginCommand(CMD_SEARCH, m_bUidPlus ? "UID SEARCH" : "SEARCH");
}

void CImapSocket::SendSearch(const std::string& date, bool spareFlagged, bool spareUnread) {
    BeginSearch();
    if (HasFlagged()) {
        Fail("the flags of an earlier search are still set", false);
        return;
    }
    m_selected.clear();
    m_tracker.Clear();
    m_uncertain.clear();
    m_nFlaggedUpTo = m_nGoneFlagged = m_nFlagged = 0;
    m_nDeleted = m_nMoved = 0;  // each folder's own; the run adds them up
    m_bRenumbered = m_bFlagsUncertain = false;
    m_bNumbersAtRisk = !m_bUidPlus;
    // The mailbox bounds the result, and with it the memory a reply can take.
    m_reader.SetSearchLimit(std::min<size_t>(
        m_nExists >= 0 ? static_cast<size_t>(m_nExists) : CResponseReader::kMaxSearchNumbers,
        CResponseReader::kMaxSearchNumbers));
    if (!IsCutoffDate(date)) {
        // Never let a malformed date (or a line break in it) reach the server.
        Fail("invalid cut-off date", false);
        return;
    }
    SendCommandLine("ALL BEFORE " + date + (spareFlagged ? " UNFLAGGED" : "") +
                    (spareUnread ? " SEEN" : ""));
}

void CImapSocket::OnSearchResponse(const CResponseReader::Response& r) {
    if ((m_nCommand != CMD_SEARCH && m_nCommand != CMD_CHECK) || m_bCompleted || m_bFailed)
        return;  // late, or some other command's: no part of this result
    if (r.esearch) {
        // Only an ESEARCH that names this command answers it.
        const std::string_view tag = std::string_view(m_strTag).substr(0, m_strTag.size() - 1);
        const bool uids = m_nCommand == CMD_SEARCH && m_bUidPlus;
        if (r.esearchTag != tag || r.esearchUid != uids) {
            if (m_searchProblem.empty())
                m_searchProblem = "server answered the search with a result of another command";
            return;
        }
    }
    m_bSearchAnswered = true;
    const size_t limit = std::min<size_t>(
        m_nExists >= 0 ? static_cast<size_t>(m_nExists) : CResponseReader::kMaxSearchNumbers,
        CResponseReader::kMaxSearchNumbers);
    auto& numbers = m_reader.SearchNumbers();
    if (!r.searchValid || m_searchNumbers.size() + numbers.size() > limit) {
        if (m_searchProblem.empty())
            m_searchProblem = r.searchOverflow || r.searchValid
                                  ? "search names more messages than the mailbox holds"
                                  : "malformed search result";
        return;
    }
    if (m_searchNumbers.empty())
        m_searchNumbers.swap(numbers);  // moved, not copied: it may be millions
    else
        m_searchNumbers.insert(m_searchNumbers.end(), numbers.begin(), numbers.end());
}

void CImapSocket::OnSearchDone() {
    std::vector<uint32_t> numbers;
    numbers.swap(m_searchNumbers);
    if (!m_bSearchAnswered && m_searchProblem.empty())
        m_searchProblem = "server answered the search without a result";
    const uint32_t bound =
        m_bUidPlus ? m_nUidNext : static_cast<uint32_t>(std::max<int64_t>(m_nExists, 0));
    const bool uids = m_nCommand == CMD_SEARCH && m_bUidPlus;
    const bool known = uids ? m_nUidNext > 0 : m_nExists >= 0;
    for (const uint32_t n : numbers)
        if (m_searchProblem.empty() && known && (uids ? n >= bound : n > bound))
            m_searchProblem = "search names a message the mailbox does not hold";
    if (!m_searchProblem.empty()) {
        Fail(m_searchProblem, false);
        return;
    }
    if (m_bRenumbered) {
        Fail(kRenumbered, false);
        return;
    }
    if (m_nCommand == CMD_CHECK) {
        for (const uint32_t n : numbers) {
            const long j = m_tracker.Find(n);
            if (j < 0 || static_cast<size_t>(j) >= m_nFlaggedUpTo) {
                Fail("other messages are marked deleted", false);
                return;
            }
        }
        m_bChecked = 1;
        if (m_bExpungeAfterCheck) {
            m_bExpungeAfterCheck = false;
            BeginCommand(CMD_EXPUNGE, "EXPUNGE", m_nFlaggedUpTo);
            SendCommandLine();
            return;
        }
        m_bCompleted = true;
        return;
    }
    m_selected = SortedDistinct(std::move(numbers));
    if (m_bSearchSets) {
        // Only what was asked for: a message the server adds is never touched.
        std::vector<uint32_t> asked;
        std::set_intersection(m_selected.begin(), m_selected.end(), m_requested.begin(),
                              m_requested.end(), std::back_inserter(asked));
        m_selected.swap(asked);
    }
    if (!m_bUidPlus)
        m_tracker.Reset(&m_selected);
    m_bSearched = 1;
    m_bCompleted = true;
}
