// The connection and its security, the bytes going out, and the replies
// coming in; the commands themselves are in ImapCommands.cpp.
#include "imap/ImapSocket.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "imap/AsciiCase.h"
#include "imap/ReplyWords.h"
#include "imap/Xoauth2.h"

namespace {
constexpr size_t kReceiveBuffer = 64 * 1024;
// One notification reads at most this much; the event loop calls again for
// the rest, so a fast server cannot hold the GUI thread.
constexpr size_t kMaxPerNotification = 8u << 20;

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

constexpr const char* kTlsGone =
    "server offered TLS before and does not now: the password was not sent";
}  // namespace

CImapSocket::CImapSocket(CTranscript& transcript)
    : m_transcript(transcript),
      m_buffer(std::make_unique<char[]>(kReceiveBuffer)),
      m_lastActivity(std::chrono::steady_clock::now()),
      m_deadline(m_lastActivity + m_deadlineBase) {
    m_reader.SetLiteralSink(this);
}

CImapSocket::~CImapSocket() {
    CImapSocket::Close();
}

// ---------------------------------------------------------------- connection

void CImapSocket::SetSecurity(const CSecurityPolicy& policy, const std::string& host) {
    m_policy = policy;
    m_host = host;
    m_bUntrusted = m_bChanged = false;
}

bool CImapSocket::ConnectToServer(const std::string& host, unsigned port,
                                  const CSecurityPolicy& policy) {
    SetSecurity(policy, host);
    BeginCommand(CMD_CONNECT, "");
    m_bConnected = m_bLoggedIn = m_bSelected = m_bSearched = m_bStored = m_bExpunged = 0;
    m_bCapable = m_bChecked = m_bUnflagged = m_bTakenBack = 0;
    m_bCapsKnown = m_bUidPlus = m_bStartTls = m_bLoginDisabled = m_bSaslIr = m_bXoauth2 = false;
    m_bTlsBoundary = m_bSignedInClear = false;
    m_nExists = -1;
    m_nUidNext = m_nUidValidity = 0;
    m_selected.clear();
    m_tracker.Clear();
    m_flagged.clear();
    m_nFlaggedUpTo = m_nGoneFlagged = m_nFlagged = 0;
    m_nDeleted = m_nExcess = m_nMoved = 0;
    m_bNumbersAtRisk = m_bRenumbered = m_bFlagsUncertain = m_bExpungeAfterCheck = false;
    m_bMove = m_bSpecialUse = m_bGmail = m_bBodies = false;
    m_folders.clear();
    m_strLost.clear();
    m_reader.Reset();
    m_lastActivity = std::chrono::steady_clock::now();
    Close();
    if (!Create()) {
        Fail(DescribeError(GetLastError()), false);
        return false;
    }
    if (port < 1 || port > 65535) {
        Fail("port " + std::to_string(port) + " is not one of 1 to 65535", true);
        return true;
    }
    if (!Connect(host, port))
        Fail(DescribeError(GetLastError()), true);
    return true;
}

void CImapSocket::Close() {
    CAsyncSocket::Close();
    m_pendingOut.clear();
    m_pendingLog.clear();  // never sent, so never logged
    m_loginParts.clear();
    m_authResponse.clear();
}

void CImapSocket::OnConnect(int nErrorCode) {
    CAsyncSocket::OnConnect(nErrorCode);
    if (nErrorCode != 0)
        Fail(DescribeError(GetLastError()), true);
    else if (m_policy.mode == SecurityMode::Tls && !StartTls(m_host))
        Fail("TLS could not start", true);
}

void CImapSocket::OnTlsReady(bool ok) {
    CAsyncSocket::OnTlsReady(ok);
    const CTlsPeer& peer = Peer();
    if (!ok) {
        Fail("TLS handshake failed: " + peer.problem, true);
        return;
    }
    const auto grouped = [](const std::string& hex) {
        std::string text;
        for (size_t i = 0; i < hex.size(); i += 2)
            text += (i ? ":" : "") + hex.substr(i, 2);
        return text;
    };
    const std::string fingerprint = grouped(peer.fingerprint);
    const bool pinned = !m_policy.pin.empty() && peer.fingerprint == m_policy.pin;
    if (!peer.problem.empty() && !pinned) {
        m_bUntrusted = true;
        if (!m_policy.pin.empty()) {
            // Not a first meeting: somebody may stand between us and the server.
            m_bChanged = true;
            m_transcript.Append("\nCertificate CHANGED since it was trusted: trusted SHA-256 " +
                                grouped(m_policy.pin) + ", now SHA-256 " + fingerprint + " (" +
                                peer.problem + ")\n");
            Fail("certificate CHANGED since it was trusted", true);
        } else {
            Fail("untrusted certificate (" + peer.problem + "), SHA-256 " + fingerprint, true);
        }
        return;
    }
    m_transcript.Append(
        "\nTLS: " + peer.protocol + " " + peer.cipher + ", certificate " + peer.subject +
        (peer.problem.empty() ? ", trusted by the system\n"
                              : ", trusted by its fingerprint " + fingerprint + "\n"));
    // Capabilities told before TLS can't be believed after it.
    m_bCapsKnown = false;
    if (m_nCommand == CMD_STARTTLS)
        ContinueSecure();  // with TLS from the first byte, the greeting comes first
}

void CImapSocket::ContinueSecure() {
    const bool plain = !IsTls();
    if (!m_bCapsKnown) {
        BeginCommand(CMD_CAPABILITY, "CAPABILITY");
        SendCommandLine();
    } else if (plain && m_policy.mode != SecurityMode::None && m_bStartTls) {
        BeginCommand(CMD_STARTTLS, "STARTTLS");
        SendCommandLine();
    } else if (plain && m_policy.mode == SecurityMode::StartTls) {
        Fail("server does not offer STARTTLS", true);
    } else if (plain && m_policy.mode == SecurityMode::Auto && m_policy.tlsBefore) {
        // Whoever stripped STARTTLS from the capabilities wants the password.
        Fail(kTlsGone, true);
    } else if (plain && m_policy.tokenSignIn) {
        Fail("no TLS: an access token is never sent in the clear", true);
    } else if (m_bLoginDisabled && !(m_policy.tokenSignIn && !plain)) {
        // Never a password in the clear, never a silent fall back to plain.
        Fail(plain ? "server requires TLS: set the security to starttls or tls"
                   : "server refuses LOGIN",
             true);
    } else {
        m_bConnected = 1;
        m_bCompleted = true;
    }
}

void CImapSocket::StartTlsAtBoundary() {
    m_bTlsBoundary = false;
    // What came in the clear after the answer, whole or in part, is nobody's
    // word: it could pose as the server's over TLS.
    if (!m_reader.Idle()) {
        Fail("data after the STARTTLS answer: possible injection", true);
        return;
    }
    m_reader.Reset();
    if (!StartTls(m_host))
        Fail("TLS could not start", true);
}

void CImapSocket::OnClose(int nErrorCode) {
    CAsyncSocket::OnClose(nErrorCode);
    if (m_nCommand == CMD_LOGOUT)
        Close();
    else
        Fail("server closed the connection", true);
}

std::string CImapSocket::NextTag() {
    char tag[32];
    std::snprintf(tag, sizeof tag, "a%06ld ", m_nTagCounter);
    m_nTagCounter = m_nTagCounter == LONG_MAX ? 0 : m_nTagCounter + 1;
    return tag;
}

// ---------------------------------------------------------------- sending

void CImapSocket::BeginCommand(int32_t code, std::string verb, size_t messages) {
    m_strTag.clear();
    m_strVerb = std::move(verb);
    m_nCommand = code;
    m_bFailed = false;
    m_bCompleted = false;
    m_strFailure.clear();
    m_commandBytes = 0;
    m_nThrottleMs = 0;
    m_bBodies = false;
    m_reader.SetMaxResponse(CResponseReader::kDefaultMaxResponse);
    const auto now = std::chrono::steady_clock::now();
    m_deadline = now + m_deadlineBase + kDeadlinePerMessage * static_cast<int64_t>(messages);
}

void CImapSocket::SendCommandLine(std::string args) {
    TakeTag();
    m_strArgs = std::move(args);
    std::string line = m_strTag + m_strVerb;
    if (!m_strArgs.empty())
        line += ' ' + m_strArgs;
    line += "\r\n";
    std::string log = line;
    SendRaw(std::move(line), std::move(log));
}

void CImapSocket::SendRaw(std::string bytes, std::string log) {
    m_lastActivity = std::chrono::steady_clock::now();
    if (!IsConnected()) {
        Fail(m_strLost.empty() ? "not connected" : m_strLost, true);
        return;
    }
    if (!m_pendingOut.empty()) {
        m_pendingOut += bytes;
        m_pendingLog += log;
        return;
    }
    int n = SendToHelper(bytes.data(), static_cast<int>(bytes.size()), nullptr, 0, 0);
    if (n < 0 && GetLastError() == Error::WouldBlock)
        n = 0;
    if (n < 0) {
        Fail("send failed", true);
        return;
    }
    if (static_cast<size_t>(n) == bytes.size()) {
        // The log shows what reached the socket, never a line that was dropped.
        m_transcript.Append(log);
        return;
    }
    // The rest goes out as the socket drains: a line is never cut short.
    m_pendingOut.assign(bytes, static_cast<size_t>(n), std::string::npos);
    m_pendingLog = std::move(log);
    RequestSendNotification(true);
}

void CImapSocket::FlushOutput() {
    if (m_pendingOut.empty())
        return;
    std::string rest, log;
    rest.swap(m_pendingOut);
    log.swap(m_pendingLog);
    SendRaw(std::move(rest), std::move(log));
}

void CImapSocket::OnSend(int nErrorCode) {
    CAsyncSocket::OnSend(nErrorCode);
    FlushOutput();
}

// ---------------------------------------------------------------- intake

void CImapSocket::OnReceive(int nErrorCode) {
    CAsyncSocket::OnReceive(nErrorCode);
    DrainSocket();
}

void CImapSocket::DrainSocket() {
    size_t taken = 0;
    char* const buf = m_buffer.get();
    while (IsOpen()) {
        const int r = ReceiveFromHelper(buf, static_cast<int>(kReceiveBuffer), nullptr, nullptr, 0);
        if (r == 0) {
            if (m_nCommand == CMD_LOGOUT)
                Close();
            else
                Fail("server closed the connection", true);
            return;
        }
        if (r < 0) {
            if (GetLastError() != Error::WouldBlock)
                Fail(DescribeError(GetLastError()), true);
            return;
        }
        const auto n = static_cast<size_t>(r);
        m_lastActivity = std::chrono::steady_clock::now();
        // Whole messages are nobody's business in the log: their responses
        // are logged without the bodies (OnResponse).
        if (!LoggingHeadsOnly())
            m_transcript.AppendServerText(std::string_view(buf, n));
        m_commandBytes += n;
        if (!m_reader.Feed(buf, n,
                           [this](const CResponseReader::Response& resp) { OnResponse(resp); })) {
            Fail("response line too long", true);
            return;
        }
        if (m_bTlsBoundary && IsOpen()) {
            // Nothing more is read in the clear: the handshake comes next.
            StartTlsAtBoundary();
            return;
        }
        if (m_commandBytes > (m_bBodies ? 64 * kMaxCommandBytes : kMaxCommandBytes)) {
            Fail("server flood", true);
            return;
        }
        taken += n;
        if (taken >= kMaxPerNotification)
            return;
    }
}

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
