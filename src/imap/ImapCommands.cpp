// The session's commands and what their answers leave: sign-in, SELECT, the
// search and the sets of STORE and EXPUNGE that follow it exactly.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <set>

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

constexpr const char* kRenumbered = "server renumbered the mailbox";
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

void CImapSocket::SendSearch(const std::string& date, bool spareFlagged, bool spareUnread) {
    m_bSearched = 0;
    m_searchNumbers.clear();
    m_bSearchAnswered = false;
    m_searchProblem.clear();
    m_bSearchSets = false;
    BeginCommand(CMD_SEARCH, m_bUidPlus ? "UID SEARCH" : "SEARCH");
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

// ---------------------------------------------------------------- flags

bool CImapSocket::HasFlagged() const {
    return m_bUidPlus ? !m_flagged.empty() : m_nFlaggedUpTo > m_nGoneFlagged;
}

std::vector<uint32_t> CImapSocket::Outstanding() const {
    if (m_bUidPlus)
        return m_flagged;
    std::vector<uint32_t> numbers;
    numbers.reserve(m_nFlaggedUpTo - m_nGoneFlagged + m_uncertain.size());
    for (size_t j = 0; j < m_nFlaggedUpTo; ++j)
        if (const uint32_t now = m_tracker.Current(j))
            numbers.push_back(now);
    // A STORE the server renumbered under flagged these numbers, or the ones
    // they had before: both are taken back.
    if (!m_uncertain.empty()) {
        numbers.insert(numbers.end(), m_uncertain.begin(), m_uncertain.end());
        numbers = SortedDistinct(std::move(numbers));
    }
    return numbers;
}

void CImapSocket::SendStore() {
    m_bStored = 0;
    // Begun before anything can fail: a failure ends the step at once.
    BeginCommand(CMD_STORE, m_bUidPlus ? "UID STORE" : "STORE");
    if (m_bRenumbered) {
        Fail(kRenumbered, false);
        return;
    }
    if (m_selected.empty()) {
        m_bStored = 1;
        m_bCompleted = true;
        m_transcript.Append("\nVUOTA\n");
        return;
    }
    SendSets(CMD_STORE, m_selected);
}

void CImapSocket::UndoStoreSet() {
    const size_t begin = m_nextSet > 1 ? m_setEnds[m_nextSet - 2] : 0;
    if (m_bUidPlus)
        m_flagged.resize(begin);
    else
        m_nFlaggedUpTo = begin;
}

void CImapSocket::SendCheckAndExpunge() {
    m_bChecked = m_bExpunged = 0;
    m_searchNumbers.clear();
    m_bSearchAnswered = false;
    m_searchProblem.clear();
    BeginCommand(CMD_CHECK, "SEARCH");
    if (m_bRenumbered) {
        Fail(kRenumbered, false);
        return;
    }
    m_bExpungeAfterCheck = true;
    SendCommandLine("DELETED");
}

void CImapSocket::SendExpunge() {
    m_bExpunged = 0;
    if (m_bUidPlus) {
        BeginCommand(CMD_EXPUNGE, "UID EXPUNGE");
        SendSets(CMD_EXPUNGE, m_flagged);
        return;
    }
    BeginCommand(CMD_EXPUNGE, "EXPUNGE", m_nFlaggedUpTo);
    if (m_bRenumbered)
        Fail(kRenumbered, false);
    else
        SendCommandLine();
}

void CImapSocket::SendUnflag() {
    m_bUnflagged = 0;
    BeginCommand(CMD_UNFLAG, m_bUidPlus ? "UID STORE" : "STORE");
    if (!HasFlagged()) {
        m_bUnflagged = 1;
        m_bCompleted = true;
        return;
    }
    SendSets(CMD_UNFLAG, Outstanding());
}

void CImapSocket::SendTakeback(CFlagLedger& ledger) {
    m_bTakenBack = 0;
    BeginCommand(CMD_TAKEBACK, "UID STORE");
    m_takeback = &ledger;
    SendSets(CMD_TAKEBACK, ledger.uids);
}

void CImapSocket::RetrySet() {
    if (m_nextSet > 0)
        --m_nextSet;
    if (m_nextSet < m_sets.size())
        SendNextSet();
}

void CImapSocket::SendSets(int32_t code, const std::vector<uint32_t>& numbers) {
    // Room for the tag, the verb and the flags around the set.
    constexpr size_t kAround = 64;
    m_sets = FormatMessageSets(numbers, kMaxStoreLine - kAround, &m_setEnds);
    m_nextSet = 0;
    m_nCommand = code;
    if (m_sets.empty()) {
        FlagOf(code) = 1;
        m_bCompleted = true;
    } else {
        SendNextSet();
    }
}

void CImapSocket::SendNextSet() {
    const int32_t code = m_nCommand;
    const bool uid = m_bUidPlus || code == CMD_TAKEBACK || code == CMD_SEARCH;
    const size_t begin = m_nextSet > 0 ? m_setEnds[m_nextSet - 1] : 0;
    const size_t end = m_setEnds[m_nextSet];
    const char* const verb = code == CMD_EXPUNGE ? "EXPUNGE"
                             : code == CMD_SEARCH ? "SEARCH"
                             : code == CMD_MOVE   ? "MOVE"
                             : code == CMD_COPY   ? "COPY"
                                                  : "STORE";
    BeginCommand(code, std::string(uid ? "UID " : "") + verb, end - begin);
    const std::string& set = m_sets[m_nextSet++];
    if (code == CMD_SEARCH) {
        m_bSearchAnswered = false;  // each set's answer must carry its result
        SendCommandLine("UID " + set);
    } else if (code == CMD_MOVE || code == CMD_COPY) {
        m_nSetExpunges = 0;
        SendCommandLine(set + " " + QuoteArgument(m_target));
    } else if (code == CMD_STORE) {
        // Sent is possibly flagged: an answer that never comes leaves it so.
        if (m_bUidPlus)
            m_flagged.assign(m_selected.begin(), m_selected.begin() + static_cast<long>(end));
        else
            m_nFlaggedUpTo = end;
        SendCommandLine(set + (uid ? " +FLAGS (\\Deleted)" : " +FLAGS \\Deleted"));
    } else if (code == CMD_EXPUNGE) {
        m_nSetExpunges = 0;
        SendCommandLine(set);
    } else {
        SendCommandLine(set + " -FLAGS (\\Deleted)");
    }
}

void CImapSocket::OnSetDone() {
    const size_t begin = m_nextSet > 1 ? m_setEnds[m_nextSet - 2] : 0;
    const size_t size = m_setEnds[m_nextSet - 1] - begin;
    const auto dropFront = [size](std::vector<uint32_t>& v) {
        v.erase(v.begin(), v.begin() + static_cast<long>(std::min(size, v.size())));
    };
    switch (m_nCommand) {
        case CMD_STORE:
            m_nFlagged = begin + size;
            break;
        case CMD_EXPUNGE:
            // The set's messages are gone (or no longer flagged): only its own
            // count, whatever other sessions expunged meanwhile.
            m_nDeleted += static_cast<unsigned>(std::min(m_nSetExpunges, size));
            dropFront(m_flagged);
            if (m_sink)
                m_sink->SetDone(CMD_EXPUNGE, size);
            break;
        case CMD_MOVE:
            m_nMoved += static_cast<unsigned>(std::min(m_nSetExpunges, size));
            if (m_sink)
                m_sink->SetDone(CMD_MOVE, size);
            break;
        case CMD_SEARCH:
            if (!m_bSearchAnswered) {
                Fail("server answered the search without a result", false);
                return;
            }
            break;
        case CMD_UNFLAG:
            if (m_bUidPlus)
                dropFront(m_flagged);
            break;
        case CMD_TAKEBACK:
            if (m_takeback)
                dropFront(m_takeback->uids);
            break;
        default:
            break;
    }
    if (m_nextSet < m_sets.size()) {
        SendNextSet();
        return;
    }
    if (m_nCommand == CMD_SEARCH) {
        OnSearchDone();
        return;
    }
    if (m_nCommand == CMD_STORE)
        m_bNumbersAtRisk = false;
    if (m_nCommand == CMD_UNFLAG && !m_bUidPlus) {
        m_nFlaggedUpTo = m_nGoneFlagged = 0;
        m_uncertain.clear();
    }
    FlagOf(m_nCommand) = 1;
    m_bCompleted = true;
}

void CImapSocket::OnExpungeDone() {
    if (m_nExcess > 0) {
        Fail("the server expunged " + std::to_string(m_nExcess) +
                 " messages more than the run flagged",
             false);
        return;
    }
    if (HasFlagged() || !FlaggedKnown()) {
        Fail("the server expunged " + std::to_string(m_nGoneFlagged) + " of the " +
                 std::to_string(m_nFlaggedUpTo) + " messages flagged",
             false);
        return;
    }
    m_bExpunged = 1;
    m_bCompleted = true;
}

void CImapSocket::OnExpunged(uint32_t number) {
    if (m_nExists > 0)
        --m_nExists;
    const bool ownExpunge =
        (m_nCommand == CMD_EXPUNGE || m_nCommand == CMD_MOVE) && !m_bCompleted;
    if (m_bUidPlus) {
        if (ownExpunge)
            ++m_nSetExpunges;
        return;  // UIDs stay what they are
    }
    const long j = m_tracker.Expunge(number);
    if (j >= 0 && static_cast<size_t>(j) < m_nFlaggedUpTo) {
        ++m_nDeleted;  // one of the session's own
        ++m_nGoneFlagged;
    } else if (ownExpunge) {
        ++m_nExcess;  // never flagged by the session: somebody else's mail
    }
    if (!m_bNumbersAtRisk)
        return;
    // The numbers about to be flagged no longer name what the search found.
    m_bRenumbered = true;
    if (m_nCommand == CMD_STORE && !m_bCompleted && !m_bFlagsUncertain) {
        // Did the server take the STORE before or after? As the set was sent,
        // these numbers name other messages now.
        m_bFlagsUncertain = true;
        const size_t begin = m_nextSet > 1 ? m_setEnds[m_nextSet - 2] : 0;
        m_uncertain.assign(m_selected.begin() + static_cast<long>(begin),
                           m_selected.begin() + static_cast<long>(m_setEnds[m_nextSet - 1]));
    }
    if ((m_nCommand == CMD_SEARCH || m_nCommand == CMD_STORE) && !m_bCompleted)
        Fail(kRenumbered, false);
}

void CImapSocket::LeaveFlags(CFlagLedger& ledger) {
    ledger.deleted += m_nDeleted;
    m_nDeleted = 0;
    if (!FlaggedKnown())
        ledger.unnamed = true;
    if (!HasFlagged())
        return;
    if (!m_bUidPlus || m_nUidValidity == 0) {
        ledger.unnamed = true;  // numbers of this session only
    } else {
        if (!ledger.uids.empty() && ledger.uidValidity != m_nUidValidity) {
            ledger.unnamed = true;  // the older ones belong to a mailbox rebuilt since
            ledger.uids.clear();
        }
        ledger.uidValidity = m_nUidValidity;
        std::vector<uint32_t> merged;
        std::set_union(ledger.uids.begin(), ledger.uids.end(), m_flagged.begin(), m_flagged.end(),
                       std::back_inserter(merged));
        ledger.uids.swap(merged);
    }
    m_flagged.clear();
    m_uncertain.clear();
    m_nFlaggedUpTo = m_nGoneFlagged = 0;
    m_tracker.Clear();
}
