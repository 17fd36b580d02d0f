// The connection and its security, the bytes going out and coming in; the
// replies are recognised in ImapReplies.cpp, the commands are in
// ImapCommands.cpp and beside it.
#include "imap/ImapSocket.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "imap/AsciiCase.h"

namespace {
constexpr size_t kReceiveBuffer = 64 * 1024;
// One notification reads at most this much; the event loop calls again for
// the rest, so a fast server cannot hold the GUI thread.
constexpr size_t kMaxPerNotification = 8u << 20;
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
