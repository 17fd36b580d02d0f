#include "imap/ImapSocket.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "imap/AsciiCase.h"
#include "imap/LoginArgument.h"
#include "imap/MessageSet.h"

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

bool CImapSocket::ConnectToServer(const std::string& host, unsigned port) {
    m_nCommand = CMD_CONNECT;
    m_bConnected = m_bLoggedIn = m_bSelected = m_bSearched = m_bStored = m_bExpunged = 0;
    m_bFailed = false;
    m_bCompleted = false;
    m_strFailure.clear();
    m_strLost.clear();
    m_commandBytes = 0;
    m_reader.Reset();
    m_lastActivity = std::chrono::steady_clock::now();
    Close();
    if (!Create()) {
        Fail(DescribeError(GetLastError()), false);
        return false;
    }
    if (!Connect(host, port))
        Fail(DescribeError(GetLastError()), true);
    return true;
}

void CImapSocket::Close() {
    CAsyncSocket::Close();
    m_pendingOut.clear();
    m_loginParts.clear();
}

void CImapSocket::OnConnect(int nErrorCode) {
    CAsyncSocket::OnConnect(nErrorCode);
    if (nErrorCode != 0)
        Fail(DescribeError(GetLastError()), true);
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
}

void CImapSocket::SendCommandLine(bool withArgs) {
    std::string line = m_strTag + m_strVerb;
    if (withArgs)
        line += ' ' + m_strArgs;
    line += "\r\n";
    m_transcript.Append(line);
    SendRaw(std::move(line));
}

void CImapSocket::SendRaw(std::string bytes) {
    m_lastActivity = std::chrono::steady_clock::now();
    if (!IsConnected()) {
        Fail(m_strLost.empty() ? "not connected" : m_strLost, true);
        return;
    }
    if (!m_pendingOut.empty()) {
        m_pendingOut += bytes;
        return;
    }
    int n = SendToHelper(bytes.data(), static_cast<int>(bytes.size()), nullptr, 0, 0);
    if (n < 0 && GetLastError() == Error::WouldBlock)
        n = 0;
    if (n < 0) {
        Fail("send failed", true);
        return;
    }
    if (static_cast<size_t>(n) < bytes.size()) {
        // The rest goes out as the socket drains: a line is never cut short.
        m_pendingOut.assign(bytes, static_cast<size_t>(n), std::string::npos);
        RequestSendNotification(true);
    }
}

void CImapSocket::FlushOutput() {
    if (m_pendingOut.empty())
        return;
    std::string rest;
    rest.swap(m_pendingOut);
    SendRaw(std::move(rest));
}

void CImapSocket::OnSend(int nErrorCode) {
    CAsyncSocket::OnSend(nErrorCode);
    FlushOutput();
}

int CImapSocket::SendLogin(const std::string& account, const std::string& password) {
    m_strTag.clear();
    m_strVerb.clear();
    m_arrFound.RemoveAll();
    m_bLoggedIn = 0;
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
    // The transcript and the log never see the password.
    std::string logged;
    for (const auto& p : parts)
        logged += p;
    logged += current + " ****\r\n";
    current += ' ';
    add(password, passwordForm);
    current += "\r\n";
    parts.push_back(std::move(current));

    m_transcript.Append(logged);
    for (size_t i = 1; i < parts.size(); ++i)
        m_loginParts.push_back(std::move(parts[i]));
    SendRaw(std::move(parts[0]));
    return m_bFailed ? 0 : 1;
}

void CImapSocket::SendSelect() {
    m_arrFound.RemoveAll();
    m_bSelected = 0;
    BeginCommand(CMD_SELECT, "SELECT");
    m_strArgs = "INBOX";
    SendCommandLine(true);
}

void CImapSocket::SendSearch(const std::string& date) {
    m_arrFound.RemoveAll();
    m_bSearched = 0;
    m_searchNumbers.clear();
    m_searchMalformed = false;
    BeginCommand(CMD_SEARCH, "SEARCH");
    m_strArgs = "ALL BEFORE " + date;
    if (!IsCutoffDate(date)) {
        // Never let a malformed date (or a line break in it) reach the server.
        Fail("invalid cut-off date", false);
        return;
    }
    SendCommandLine(true);
}

void CImapSocket::SendStore() {
    m_strTag.clear();
    m_strVerb.clear();
    if (m_arrFound.IsEmpty()) {
        m_bStored = 1;
        m_transcript.Append("\nVUOTA\n");
        return;
    }
    // Room for the tag, the verb and the flags around the set.
    constexpr size_t kAround = 64;
    m_storeSets = FormatMessageSets(m_arrFound.Values(), kMaxStoreLine - kAround);
    m_storeNext = 0;
    SendNextStore();
}

void CImapSocket::SendNextStore() {
    m_bStored = 0;
    BeginCommand(CMD_STORE, "STORE");
    m_strArgs = m_storeSets[m_storeNext++] + " +FLAGS \\Deleted";
    SendCommandLine(true);
}

void CImapSocket::SendExpunge() {
    m_arrFound.RemoveAll();
    m_bExpunged = 0;
    BeginCommand(CMD_EXPUNGE, "EXPUNGE");
    SendCommandLine(false);
}

void CImapSocket::SendLogout() {
    m_arrFound.RemoveAll();
    BeginCommand(CMD_LOGOUT, "LOGOUT");
    SendCommandLine(false);
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
    if (m_bFailed)
        return;  // nothing raises a flag once the command has failed
    const std::string_view head = r.head;
    if (m_nCommand == CMD_CONNECT && m_bConnected != 1) {
        if (StartsWithNoCase(head, "* ") &&
            (WordIs(head.substr(2), "OK") || WordIs(head.substr(2), "PREAUTH"))) {
            m_bConnected = 1;
            m_bCompleted = true;
        } else if (StartsWithNoCase(head, "* ") && WordIs(head.substr(2), "BYE"))
            Fail("server refused the session", true);
        else
            Fail("unexpected greeting", true);
        return;
    }
    if (!head.empty() && head[0] == '+') {
        if (m_nCommand == CMD_LOGIN && !m_loginParts.empty()) {
            std::string part = std::move(m_loginParts.front());
            m_loginParts.pop_front();
            SendRaw(std::move(part));
        }
        return;
    }
    if (StartsWithNoCase(head, "* ")) {
        if (r.isSearch) {
            if (m_nCommand != CMD_SEARCH || m_strTag.empty())
                return;
            if (!r.searchValid) {
                m_searchMalformed = true;
                return;
            }
            auto& numbers = m_reader.SearchNumbers();
            if (m_searchNumbers.empty())
                m_searchNumbers.swap(numbers);
            else
                m_searchNumbers.insert(m_searchNumbers.end(), numbers.begin(), numbers.end());
        } else if (WordIs(head.substr(2), "BYE") && m_nCommand != CMD_LOGOUT) {
            Fail("server ended the session", true);
        }
        return;
    }
    if (!m_strTag.empty() && head.substr(0, m_strTag.size()) == m_strTag)
        OnTagged(head);
}

void CImapSocket::OnTagged(std::string_view line) {
    const ReplyMatch match = MatchReply(line, m_strTag, m_strVerb);
    if (match == ReplyMatch::None)
        return;
    // The command is over: a repeated tagged line, or SEARCH lines after it,
    // must not change its outcome (STORE uses the result as it is now).
    const std::string_view status = line.substr(m_strTag.size());
    m_strTag.clear();
    if (match == ReplyMatch::Failed) {
        const bool readOnly = m_nCommand == CMD_SELECT && WordIs(status, "OK");
        Fail(readOnly ? "mailbox is read-only" : RejectedReason(m_nCommand), false);
        return;
    }
    switch (m_nCommand) {
        case CMD_LOGIN:
            m_bLoggedIn = 1;
            break;
        case CMD_LOGOUT:
            m_bLoggedIn = 0;
            break;
        case CMD_SELECT:
            m_bSelected = 1;
            break;
        case CMD_SEARCH:
            if (m_searchMalformed) {
                Fail("malformed search result", false);
                break;
            }
            m_arrFound.Values().swap(m_searchNumbers);
            m_searchNumbers.clear();
            m_bSearched = 1;
            break;
        case CMD_STORE:
            if (m_storeNext < m_storeSets.size())
                SendNextStore();
            else
                m_bStored = 1;
            break;
        case CMD_EXPUNGE:
            m_bExpunged = 1;
            break;
        default:
            break;
    }
    m_bCompleted = !m_bFailed && (m_nCommand != CMD_STORE || m_bStored == 1);
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
