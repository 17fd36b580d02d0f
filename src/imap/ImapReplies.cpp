// The replies coming in: each recognised, untagged data kept, and the tagged
// answer ending the command in progress.
#include <algorithm>
#include <cstdlib>

#include "imap/AsciiCase.h"
#include "imap/ImapSocket.h"
#include "imap/ReplyWords.h"
#include "imap/Xoauth2.h"

namespace {
const char* RejectedReason(int32_t command) {
    switch (command) {
        case CMD_LOGIN:
            return "login rejected";
        case CMD_SELECT:
            return "select rejected";
        case CMD_SEARCH:
            return "search rejected";
        case CMD_STORE:
            return "store rejected";
        case CMD_EXPUNGE:
            return "expunge rejected";
        case CMD_LOGOUT:
            return "logout rejected";
        case CMD_CAPABILITY:
            return "capability rejected";
        case CMD_STARTTLS:
            return "STARTTLS rejected";
        case CMD_CHECK:
            return "search for deleted mail rejected";
        case CMD_APPEND:
            return "APPEND rejected";
        case CMD_LIST:
            return "list of folders rejected";
        case CMD_FETCH:
            return "fetch rejected";
        case CMD_MOVE:
            return "move to Trash rejected";
        case CMD_COPY:
            return "copy to Trash rejected";
        case CMD_UNFLAG:
        case CMD_TAKEBACK:
            return "unflagging rejected";
        default:
            return "command rejected";
    }
}

}  // namespace

void CImapSocket::OnResponse(const CResponseReader::Response& r) {
    if (!IsOpen())
        return;
    if (LoggingHeadsOnly())
        m_transcript.AppendServerText(std::string(r.head) + (r.headComplete ? "\r\n" : "...\r\n"));
    if (m_bTlsBoundary) {
        Fail("data after the STARTTLS answer: possible injection", true);
        return;
    }
    const std::string_view head = r.head;
    if (StartsWithNoCase(head, "* ")) {
        OnUntagged(head, r);
        return;
    }
    if (m_bFailed)
        return;  // nothing raises a flag once the command has failed
    if (m_nCommand == CMD_CONNECT && m_bConnected != 1) {
        Fail("unexpected greeting", true);
        return;
    }
    if (!head.empty() && head[0] == '+') {
        if ((m_nCommand == CMD_LOGIN || m_nCommand == CMD_APPEND) && !m_loginParts.empty()) {
            std::string part = std::move(m_loginParts.front());
            m_loginParts.pop_front();
            SendRaw(std::move(part), m_loginParts.empty() ? m_loginLog : std::string());
        } else if (m_nCommand == CMD_LOGIN && m_strVerb == "AUTHENTICATE") {
            if (!m_authResponse.empty()) {
                SendRaw(std::exchange(m_authResponse, std::string()), "****\r\n");
            } else {
                // A challenge after the response: the token was refused. An
                // empty line ends the exchange; the tagged NO follows.
                m_authRefusal = Xoauth2Refusal(head.substr(std::min<size_t>(2, head.size())));
                SendRaw("\r\n", "\r\n");
            }
        }
        return;
    }
    if (!m_strTag.empty() && head.substr(0, m_strTag.size()) == m_strTag)
        OnTagged(head);
}

void CImapSocket::OnUntagged(std::string_view head, const CResponseReader::Response& r) {
    const std::string_view rest = head.substr(2);
    uint32_t n = 0;
    // Mailbox state first: it holds whatever command is in progress.
    if (UntaggedNumber(head, "EXISTS", &n))
        m_nExists = n;
    else if (UntaggedNumber(head, "EXPUNGE", &n))
        OnExpunged(n);
    // VANISHED is QRESYNC's, which is never enabled: it counts for nothing.
    if (m_bFailed)
        return;
    if (m_nCommand == CMD_CONNECT && m_bConnected != 1) {
        if (WordIs(rest, "PREAUTH") && m_policy.mode != SecurityMode::None) {
            Fail(m_policy.mode == SecurityMode::Auto && m_policy.tlsBefore
                     ? kTlsGone
                     : "server greeted with PREAUTH: refusing an unauthenticated session",
                 true);
        } else if (WordIs(rest, "OK") || WordIs(rest, "PREAUTH")) {
            if (const size_t caps = rest.find("[CAPABILITY "); caps != std::string_view::npos)
                NoteCapabilities(rest.substr(caps + 1));
            ContinueSecure();
        } else {
            Fail(WordIs(rest, "BYE") ? "server refused the session" : "unexpected greeting", true);
        }
        return;
    }
    if (r.isSearch) {
        OnSearchResponse(r);
    } else if (m_nCommand == CMD_LIST && !m_bCompleted && WordIs(rest, "LIST")) {
        OnListed(head);
    } else if (m_nCommand == CMD_FETCH && !m_bCompleted && FindNoCase(head, " FETCH (") < 16) {
        OnFetched(head);
    } else if (m_nCommand == CMD_MOVE && !m_bCompleted && WordIs(rest, "OK")) {
        NoteCopyUid(rest);
    } else if (WordIs(rest, "CAPABILITY") &&
               (m_nCommand == CMD_LOGIN || m_nCommand == CMD_CAPABILITY ||
                m_nCommand == CMD_STARTTLS)) {
        NoteCapabilities(rest);
    } else if (m_nCommand == CMD_SELECT && StartsWithNoCase(rest, "OK [UIDNEXT ")) {
        m_nUidNext = static_cast<uint32_t>(std::strtoul(rest.data() + 12, nullptr, 10));
    } else if (m_nCommand == CMD_SELECT && StartsWithNoCase(rest, "OK [UIDVALIDITY ")) {
        m_nUidValidity = static_cast<uint32_t>(std::strtoul(rest.data() + 16, nullptr, 10));
    } else if (WordIs(rest, "BYE") && m_nCommand != CMD_LOGOUT) {
        Fail("server ended the session", true);
    }
}

void CImapSocket::NoteCapabilities(std::string_view text) {
    text = text.substr(0, text.find(']'));  // a response code ends there
    m_bCapsKnown = true;
    m_bUidPlus = m_bStartTls = m_bLoginDisabled = m_bSaslIr = m_bXoauth2 = false;
    m_bMove = m_bSpecialUse = m_bGmail = false;
    for (size_t at = text.find(' '); at != std::string_view::npos; at = text.find(' ', at)) {
        ++at;
        const std::string_view word = text.substr(at, text.find(' ', at) - at);
        m_bUidPlus = m_bUidPlus || EqualsNoCase(word, "UIDPLUS");
        m_bStartTls = m_bStartTls || EqualsNoCase(word, "STARTTLS");
        m_bLoginDisabled = m_bLoginDisabled || EqualsNoCase(word, "LOGINDISABLED");
        m_bSaslIr = m_bSaslIr || EqualsNoCase(word, "SASL-IR");
        m_bXoauth2 = m_bXoauth2 || EqualsNoCase(word, "AUTH=XOAUTH2");
        m_bMove = m_bMove || EqualsNoCase(word, "MOVE");
        m_bSpecialUse = m_bSpecialUse || EqualsNoCase(word, "SPECIAL-USE");
        m_bGmail = m_bGmail || EqualsNoCase(word, "X-GM-EXT-1");
    }
}

void CImapSocket::OnTagged(std::string_view line) {
    const ReplyMatch match = MatchReply(line, m_strTag, m_strVerb);
    if (match == ReplyMatch::None)
        return;
    // The command is over: a repeated tagged line, or SEARCH lines after it,
    // must not change its outcome.
    const std::string_view status = line.substr(m_strTag.size());
    m_strTag.clear();
    if (match == ReplyMatch::Failed) {
        if (const unsigned ms = SuggestedBackoff(status)) {
            m_nThrottleMs = std::min(ms, kMaxThrottleMs);
            if (m_nCommand == CMD_STORE)
                UndoStoreSet();  // not applied: sent again after the pause
            Fail("throttled by the server (" + std::to_string(m_nThrottleMs) + " ms)", false);
            return;
        }
        if (m_nCommand == CMD_STORE)
            UndoStoreSet();  // refused
        const bool readOnly = m_nCommand == CMD_SELECT && WordIs(status, "OK");
        if (m_nCommand == CMD_EXPUNGE && m_nExcess > 0)
            Fail("the server expunged " + std::to_string(m_nExcess) +
                     " messages more than the run flagged",
                 false);
        else if (readOnly)
            Fail("mailbox is read-only", false);
        else if (m_strVerb == "AUTHENTICATE")
            Fail(m_authRefusal.empty() ? "token refused" : m_authRefusal, false);
        else
            Fail(RejectedReason(m_nCommand), false);
        return;
    }
    switch (m_nCommand) {
        case CMD_LOGIN:
            if (const size_t caps = status.find("[CAPABILITY "); caps != std::string_view::npos)
                NoteCapabilities(status.substr(caps + 1));
            m_bSignedInClear = !IsTls();
            m_bLoggedIn = 1;
            break;
        case CMD_LOGOUT:
            m_bLoggedIn = 0;
            break;
        case CMD_CAPABILITY:
            if (!m_bCapsKnown)  // none listed
                NoteCapabilities("");
            if (m_bConnected != 1) {
                ContinueSecure();  // before a sign-in
                return;
            }
            m_bCapable = 1;
            break;
        case CMD_STARTTLS:
            m_bTlsBoundary = true;  // the handshake starts once these bytes are read
            return;
        case CMD_SELECT:
            m_bSelected = 1;
            break;
        case CMD_SEARCH:
            if (m_bSearchSets) {
                OnSetDone();
                return;
            }
            [[fallthrough]];
        case CMD_CHECK:
            OnSearchDone();
            return;
        case CMD_LIST:
            m_bListed = 1;
            break;
        case CMD_APPEND:
            m_bAppended = 1;
            break;
        case CMD_FETCH:
            if (!m_fetchProblem.empty()) {
                Fail(m_fetchProblem, false);
                return;
            }
            m_bFetched = 1;
            break;
        case CMD_MOVE:
        case CMD_COPY:
            NoteCopyUid(status);
            OnSetDone();
            return;
        case CMD_EXPUNGE:
            if (!m_bUidPlus) {
                OnExpungeDone();
                return;
            }
            [[fallthrough]];
        case CMD_STORE:
        case CMD_UNFLAG:
        case CMD_TAKEBACK:
            OnSetDone();
            return;
        default:
            break;
    }
    m_bCompleted = !m_bFailed;
}

ReplyMatch CImapSocket::MatchReply(std::string_view line, std::string_view tag,
                                   std::string_view verb) {
    if (tag.empty() || line.substr(0, tag.size()) != tag)
        return ReplyMatch::None;
    const std::string_view rest = line.substr(tag.size());
    if (WordIs(rest, "OK")) {
        // A read-only INBOX can't be purged: only READ-WRITE completes SELECT.
        if (verb == "SELECT" &&
            !StartsWithNoCase(rest.substr(std::min<size_t>(3, rest.size())), "[READ-WRITE]"))
            return ReplyMatch::Failed;
        return ReplyMatch::Completed;
    }
    if (WordIs(rest, "NO") || WordIs(rest, "BAD"))
        return ReplyMatch::Failed;
    return ReplyMatch::None;
}

int32_t& CImapSocket::FlagOf(int32_t command) {
    switch (command) {
        case CMD_STORE:
            return m_bStored;
        case CMD_UNFLAG:
            return m_bUnflagged;
        case CMD_TAKEBACK:
            return m_bTakenBack;
        case CMD_SEARCH:
            return m_bSearched;
        case CMD_MOVE:
        case CMD_COPY:
            return m_bMoved;
        default:
            return m_bExpunged;
    }
}

void CImapSocket::Fail(std::string reason, bool closeConnection) {
    if (m_bCompleted) {
        // A finished command keeps its outcome; the next one reports the loss.
        if (m_strLost.empty())
            m_strLost = std::move(reason);
    } else if (!m_bFailed) {
        m_bFailed = true;
        m_strFailure = std::move(reason);
    }
    if (closeConnection)
        Close();
}
