#include "imap/ImapSocket.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "imap/AsciiCase.h"
#include "imap/LoginArgument.h"
#include "imap/MessageSet.h"
#include "imap/Xoauth2.h"

namespace {
constexpr size_t kReceiveBuffer = 64 * 1024;
// One notification reads at most this much; the event loop calls again for
// the rest, so a fast server cannot hold the GUI thread.
constexpr size_t kMaxPerNotification = 8u << 20;

// The word at the start of text, upper-cased, up to a space or the end.
std::string_view FirstWord(std::string_view text) {
    const size_t sp = text.find(' ');
    return text.substr(0, sp);
}

bool WordIs(std::string_view text, std::string_view upperWord) {
    const std::string_view w = FirstWord(text);
    return EqualsNoCase(w, upperWord);
}

// n of an untagged "* n WORD" response.
bool UntaggedNumber(std::string_view line, std::string_view upperWord, uint32_t* n) {
    const size_t space = line.find(' ', 2);
    if (space == std::string_view::npos || !EqualsNoCase(line.substr(space + 1), upperWord))
        return false;
    uint64_t value = 0;
    for (const char c : line.substr(2, space - 2)) {
        if (c < '0' || c > '9' || (value = value * 10 + (c - '0')) > UINT32_MAX)
            return false;
    }
    *n = static_cast<uint32_t>(value);
    return space > 2;
}

// Messages named by the set of "* VANISHED [(EARLIER)] set".
uint32_t CountVanished(std::string_view line) {
    uint32_t count = 0;
    const char* p = line.data() + line.rfind(' ') + 1;
    while (*p >= '0' && *p <= '9') {
        char* end = nullptr;
        const unsigned long first = std::strtoul(p, &end, 10);
        const unsigned long last = *end == ':' ? std::strtoul(end + 1, &end, 10) : first;
        count += static_cast<uint32_t>(last >= first ? last - first + 1 : first - last + 1);
        p = *end == ',' ? end + 1 : end;
    }
    return count;
}

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

// Where upperNeedle begins in text, ASCII case ignored; npos when nowhere.
size_t FindNoCase(std::string_view text, std::string_view upperNeedle) {
    for (size_t i = 0; i + upperNeedle.size() <= text.size(); ++i)
        if (StartsWithNoCase(text.substr(i), upperNeedle))
            return i;
    return std::string_view::npos;
}

// Exchange Online refuses a burst with "BAD Request is throttled. Suggested
// Backoff Time: N milliseconds": N (1000 when it names none); 0 for any other
// refusal.
unsigned SuggestedBackoff(std::string_view status) {
    if (!WordIs(status, "BAD") || FindNoCase(status, "THROTTLED") == std::string_view::npos)
        return 0;
    const size_t at = FindNoCase(status, "BACKOFF TIME:");
    if (at == std::string_view::npos)
        return 1000;
    std::string_view digits = status.substr(at + 13);
    digits.remove_prefix(std::min(digits.find_first_not_of(' '), digits.size()));
    uint64_t ms = 0;
    for (size_t i = 0; i < digits.size() && i < 10 && digits[i] >= '0' && digits[i] <= '9'; ++i)
        ms = ms * 10 + static_cast<uint64_t>(digits[i] - '0');
    return static_cast<unsigned>(std::clamp<uint64_t>(ms, 1, UINT32_MAX));
}

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
        case CMD_UNFLAG:
            return "unflagging rejected";
        default:
            return "command rejected";
    }
}
}  // namespace

CImapSocket::CImapSocket(CTranscript& transcript)
    : m_transcript(transcript),
      m_buffer(std::make_unique<char[]>(kReceiveBuffer)),
      m_lastActivity(std::chrono::steady_clock::now()) {}

CImapSocket::~CImapSocket() {
    CImapSocket::Close();
}

// ---------------------------------------------------------------- connection

void CImapSocket::SetSecurity(SecurityMode mode, const std::string& host,
                              const std::string& trustedFingerprint) {
    m_mode = mode;
    m_host = host;
    m_trusted = trustedFingerprint;
    m_bUntrusted = false;
}

bool CImapSocket::ConnectToServer(const std::string& host, unsigned port, SecurityMode mode,
                                  const std::string& trustedFingerprint) {
    SetSecurity(mode, host, trustedFingerprint);
    m_nCommand = CMD_CONNECT;
    m_bConnected = m_bLoggedIn = m_bSelected = m_bSearched = m_bStored = m_bExpunged = 0;
    m_bCapable = m_bChecked = m_bUnflagged = 0;
    m_bCapsKnown = m_bUidPlus = m_bStartTls = m_bLoginDisabled = m_bSaslIr = m_bXoauth2 = false;
    m_selected.clear();
    m_flagged.clear();
    m_nFlagged = m_nDeleted = 0;
    m_bNumbersAtRisk = m_bRenumbered = m_bFlagsUncertain = false;
    m_bFailed = false;
    m_bCompleted = false;
    m_strFailure.clear();
    m_strLost.clear();
    m_commandBytes = 0;
    m_nThrottleMs = 0;
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
    else if (m_mode == SecurityMode::Tls && !StartTls(m_host))
        Fail("TLS could not start", true);
}

void CImapSocket::OnTlsReady(bool ok) {
    CAsyncSocket::OnTlsReady(ok);
    const CTlsPeer& peer = Peer();
    if (!ok) {
        Fail("TLS handshake failed: " + peer.problem, true);
        return;
    }
    std::string fingerprint;
    for (size_t i = 0; i < peer.fingerprint.size(); i += 2)
        fingerprint += (i ? ":" : "") + peer.fingerprint.substr(i, 2);
    const bool pinned = !m_trusted.empty() && peer.fingerprint == m_trusted;
    if (!peer.problem.empty() && !pinned) {
        m_bUntrusted = true;
        Fail("untrusted certificate (" + peer.problem + "), SHA-256 " + fingerprint, true);
        return;
    }
    m_transcript.Append(
        "\nTLS: " + peer.protocol + " " + peer.cipher + ", certificate " + peer.subject +
        (peer.problem.empty() ? ", trusted by the system\n"
                              : ", trusted by its fingerprint " + fingerprint + "\n"));
    // Capabilities told before TLS can't be believed after it.
    m_bCapsKnown = false;
    if (m_nCommand == CMD_STARTTLS)
        ContinueSecure();
}

void CImapSocket::ContinueSecure() {
    if (!m_bCapsKnown) {
        BeginCommand(CMD_CAPABILITY, "CAPABILITY");
        SendCommandLine();
    } else if (!IsTls() && m_mode != SecurityMode::None && m_bStartTls) {
        BeginCommand(CMD_STARTTLS, "STARTTLS");
        SendCommandLine();
    } else if (!IsTls() && m_mode == SecurityMode::StartTls) {
        Fail("server does not offer STARTTLS", true);
    } else if (m_bLoginDisabled && !(m_bTokenSignIn && IsTls())) {
        // Never a password in the clear, never a silent fall back to plain.
        Fail(IsTls() ? "server refuses LOGIN"
                     : "server requires TLS: set the security to starttls or tls",
             true);
    } else {
        m_bConnected = 1;
        m_bCompleted = true;
    }
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

// ---------------------------------------------------------------- composers

void CImapSocket::BeginCommand(int32_t code, std::string verb) {
    m_strTag = NextTag();
    m_strVerb = std::move(verb);
    m_nCommand = code;
    m_bFailed = false;
    m_bCompleted = false;
    m_strFailure.clear();
    m_commandBytes = 0;
    m_nThrottleMs = 0;
}

void CImapSocket::SendCommandLine(std::string args) {
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

void CImapSocket::SendSelect() {
    m_bSelected = 0;
    m_nExists = -1;
    m_nUidNext = 0;
    BeginCommand(CMD_SELECT, "SELECT");
    SendCommandLine("INBOX");
}

void CImapSocket::SendSearch(const std::string& date) {
    m_bSearched = 0;
    m_searchNumbers.clear();
    m_searchProblem.clear();
    m_selected.clear();
    m_flagged.clear();
    m_nFlagged = m_nDeleted = 0;
    m_bRenumbered = m_bFlagsUncertain = false;
    m_nRenumberings = 0;
    m_bNumbersAtRisk = !m_bUidPlus;
    // The mailbox bounds the result, and with it the memory a reply can take.
    m_reader.SetSearchLimit(m_nExists >= 0 ? static_cast<size_t>(m_nExists)
                                           : CResponseReader::kMaxSearchNumbers);
    BeginCommand(CMD_SEARCH, m_bUidPlus ? "UID SEARCH" : "SEARCH");
    if (!IsCutoffDate(date)) {
        // Never let a malformed date (or a line break in it) reach the server.
        Fail("invalid cut-off date", false);
        return;
    }
    SendCommandLine("ALL BEFORE " + date);
}

void CImapSocket::SendStore() {
    m_bStored = 0;
    if (m_bRenumbered) {
        Fail("server renumbered the mailbox", false);
        return;
    }
    if (m_selected.empty()) {
        m_strTag.clear();
        m_bStored = 1;
        m_transcript.Append("\nVUOTA\n");
        return;
    }
    SendSets(CMD_STORE, m_selected);
}

void CImapSocket::SendCheck() {
    m_bChecked = 0;
    m_searchNumbers.clear();
    m_searchProblem.clear();
    BeginCommand(CMD_CHECK, "SEARCH");
    if (m_bRenumbered)
        Fail("server renumbered the mailbox", false);
    else
        SendCommandLine("DELETED");
}

void CImapSocket::SendExpunge() {
    m_bExpunged = 0;
    m_nDeleted = 0;
    if (m_bUidPlus) {
        SendSets(CMD_EXPUNGE, m_flagged);
        return;
    }
    BeginCommand(CMD_EXPUNGE, "EXPUNGE");
    if (m_bRenumbered)
        Fail("server renumbered the mailbox", false);
    else
        SendCommandLine();
}

void CImapSocket::SendUnflag() {
    m_bUnflagged = 0;
    if (m_flagged.empty()) {
        m_strTag.clear();
        m_bUnflagged = 1;
        return;
    }
    SendSets(CMD_UNFLAG, m_flagged);
}

void CImapSocket::SendLogout() {
    BeginCommand(CMD_LOGOUT, "LOGOUT");
    SendCommandLine();
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
    if (m_sets.empty())
        FlagOf(code) = 1;
    else
        SendNextSet();
}

void CImapSocket::SendNextSet() {
    const int32_t code = m_nCommand;
    const std::string uid = m_bUidPlus ? "UID " : "";
    BeginCommand(code, uid + (code == CMD_EXPUNGE ? "EXPUNGE" : "STORE"));
    const std::string& set = m_sets[m_nextSet++];
    if (code == CMD_STORE)
        SendCommandLine(set + (m_bUidPlus ? " +FLAGS (\\Deleted)" : " +FLAGS \\Deleted"));
    else if (code == CMD_UNFLAG)
        SendCommandLine(set + " -FLAGS (\\Deleted)");
    else
        SendCommandLine(set);
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
        m_transcript.Append(std::string_view(buf, n));
        m_commandBytes += n;
        if (!m_reader.Feed(buf, n,
                           [this](const CResponseReader::Response& resp) { OnResponse(resp); })) {
            Fail("response line too long", true);
            return;
        }
        if (m_commandBytes > kMaxCommandBytes) {
            Fail("server flood", true);
            return;
        }
        taken += n;
        if (taken >= kMaxPerNotification)
            return;
    }
}

void CImapSocket::OnResponse(const CResponseReader::Response& r) {
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
        if (m_nCommand == CMD_LOGIN && !m_loginParts.empty()) {
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
    else if (WordIs(rest, "VANISHED") && m_nCommand == CMD_EXPUNGE && !m_bCompleted)
        m_nDeleted += CountVanished(head);
    if (m_bFailed)
        return;
    if (m_nCommand == CMD_CONNECT && m_bConnected != 1) {
        if (WordIs(rest, "OK") || WordIs(rest, "PREAUTH")) {
            if (const size_t caps = rest.find("[CAPABILITY "); caps != std::string_view::npos)
                NoteCapabilities(rest.substr(caps + 1));
            ContinueSecure();
        } else {
            Fail(WordIs(rest, "BYE") ? "server refused the session" : "unexpected greeting", true);
        }
        return;
    }
    if (r.isSearch) {
        if ((m_nCommand != CMD_SEARCH && m_nCommand != CMD_CHECK) || m_bCompleted)
            return;
        if (!r.searchValid ||
            m_searchNumbers.size() + m_reader.SearchNumbers().size() >
                static_cast<uint64_t>(m_nExists >= 0 ? m_nExists
                                                     : CResponseReader::kMaxSearchNumbers)) {
            if (m_searchProblem.empty())
                m_searchProblem = r.searchOverflow || r.searchValid
                                      ? "search names more messages than the mailbox holds"
                                      : "malformed search result";
            return;
        }
        auto& numbers = m_reader.SearchNumbers();
        m_searchNumbers.insert(m_searchNumbers.end(), numbers.begin(), numbers.end());
    } else if (WordIs(rest, "CAPABILITY") &&
               (m_nCommand == CMD_LOGIN || m_nCommand == CMD_CAPABILITY ||
                m_nCommand == CMD_STARTTLS)) {
        NoteCapabilities(rest);
    } else if (StartsWithNoCase(rest, "OK [UIDNEXT ") && m_nCommand == CMD_SELECT) {
        m_nUidNext = static_cast<uint32_t>(std::strtoul(rest.data() + 12, nullptr, 10));
    } else if (WordIs(rest, "BYE") && m_nCommand != CMD_LOGOUT) {
        Fail("server ended the session", true);
    }
}

void CImapSocket::OnExpunged(uint32_t number) {
    if (m_nExists > 0)
        --m_nExists;
    if (m_nCommand == CMD_EXPUNGE && !m_bCompleted) {
        ++m_nDeleted;
        return;
    }
    if (m_bUidPlus)
        return;  // UIDs stay what they are
    if (++m_nRenumberings > kMaxRenumberings) {
        // Following a server that renumbers without end would cost without end.
        m_bFlagsUncertain = true;
        m_flagged.clear();
    }
    // Sequence numbers above the expunged one move down by one.
    const auto at = std::lower_bound(m_flagged.begin(), m_flagged.end(), number);
    auto next = at;
    if (next != m_flagged.end() && *next == number)
        ++next;
    for (auto it = next; it != m_flagged.end(); ++it)
        --*it;
    m_flagged.erase(at, next);
    if (!m_bNumbersAtRisk)
        return;
    // The numbers about to be flagged no longer name what the search found.
    m_bRenumbered = true;
    if (m_nCommand == CMD_STORE && !m_bCompleted)
        m_bFlagsUncertain = true;  // did the server take the STORE before or after?
    if ((m_nCommand == CMD_SEARCH || m_nCommand == CMD_STORE) && !m_bCompleted)
        Fail("server renumbered the mailbox", false);
}

void CImapSocket::NoteCapabilities(std::string_view text) {
    text = text.substr(0, text.find(']'));  // a response code ends there
    m_bCapsKnown = true;
    m_bUidPlus = m_bStartTls = m_bLoginDisabled = m_bSaslIr = m_bXoauth2 = false;
    for (size_t at = text.find(' '); at != std::string_view::npos; at = text.find(' ', at)) {
        ++at;
        const std::string_view word = text.substr(at, text.find(' ', at) - at);
        m_bUidPlus = m_bUidPlus || EqualsNoCase(word, "UIDPLUS");
        m_bStartTls = m_bStartTls || EqualsNoCase(word, "STARTTLS");
        m_bLoginDisabled = m_bLoginDisabled || EqualsNoCase(word, "LOGINDISABLED");
        m_bSaslIr = m_bSaslIr || EqualsNoCase(word, "SASL-IR");
        m_bXoauth2 = m_bXoauth2 || EqualsNoCase(word, "AUTH=XOAUTH2");
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
            Fail("throttled by the server (" + std::to_string(m_nThrottleMs) + " ms)", false);
            return;
        }
        const bool readOnly = m_nCommand == CMD_SELECT && WordIs(status, "OK");
        if (readOnly)
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
            m_bLoggedIn = 1;
            break;
        case CMD_LOGOUT:
            m_bLoggedIn = 0;
            break;
        case CMD_CAPABILITY:
            if (!m_bCapsKnown)  // none listed
                NoteCapabilities("");
            if (m_bConnected != 1) {
                ContinueSecure();  // before LOGIN
                return;
            }
            m_bCapable = 1;
            break;
        case CMD_STARTTLS:
            if (!StartTls(m_host))
                Fail("TLS could not start", true);
            return;  // the handshake goes on; OnTlsReady continues
        case CMD_SELECT:
            m_bSelected = 1;
            break;
        case CMD_SEARCH:
        case CMD_CHECK:
            OnSearchDone();
            break;
        case CMD_STORE:
        case CMD_UNFLAG:
        case CMD_EXPUNGE:
            if (m_nCommand == CMD_STORE) {
                // The set just stored is the next part of the run's set.
                const size_t from = m_nextSet > 1 ? m_setEnds[m_nextSet - 2] : 0;
                m_flagged.insert(m_flagged.end(), m_selected.begin() + from,
                                 m_selected.begin() + m_setEnds[m_nextSet - 1]);
                m_nFlagged = m_flagged.size();
            }
            if (m_nextSet < m_sets.size()) {
                SendNextSet();
                return;
            }
            FlagOf(m_nCommand) = 1;
            m_bNumbersAtRisk = m_bNumbersAtRisk && m_nCommand != CMD_STORE;
            if (m_nCommand == CMD_EXPUNGE || m_nCommand == CMD_UNFLAG)
                m_flagged.clear();
            if (m_nCommand == CMD_EXPUNGE && m_nDeleted > m_nFlagged)
                m_transcript.Append("\nThe server deleted " + std::to_string(m_nDeleted) +
                                    " messages, " + std::to_string(m_nFlagged) + " were flagged\n");
            break;
        default:
            break;
    }
    m_bCompleted = !m_bFailed;
}

void CImapSocket::OnSearchDone() {
    std::vector<uint32_t> numbers;
    numbers.swap(m_searchNumbers);
    const uint32_t bound =
        m_bUidPlus ? m_nUidNext : static_cast<uint32_t>(std::max<int64_t>(m_nExists, 0));
    const bool known = m_bUidPlus ? m_nUidNext > 0 : m_nExists >= 0;
    for (const uint32_t n : numbers)
        if (m_searchProblem.empty() && known && (m_bUidPlus ? n >= bound : n > bound))
            m_searchProblem = "search names a message the mailbox does not hold";
    if (!m_searchProblem.empty()) {
        Fail(m_searchProblem, false);
        return;
    }
    if (m_bRenumbered) {
        Fail("server renumbered the mailbox", false);
        return;
    }
    if (m_nCommand == CMD_CHECK) {
        for (const uint32_t n : numbers)
            if (!std::binary_search(m_flagged.begin(), m_flagged.end(), n)) {
                Fail("other messages are marked deleted", false);
                return;
            }
        m_bChecked = 1;
        return;
    }
    m_selected = SortedDistinct(std::move(numbers));
    m_bSearched = 1;
}

int32_t& CImapSocket::FlagOf(int32_t command) {
    switch (command) {
        case CMD_STORE:
            return m_bStored;
        case CMD_UNFLAG:
            return m_bUnflagged;
        default:
            return m_bExpunged;
    }
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
