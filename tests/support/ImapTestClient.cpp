#include "support/ImapTestClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {
// Milliseconds left before the deadline, at least 0.
int MsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// Size of the literal announced at the end of line ("{n}" or "{n+}"), or -1.
long long LiteralSize(const std::string& line) {
    if (line.empty() || line.back() != '}')
        return -1;
    const size_t open = line.rfind('{');
    if (open == std::string::npos)
        return -1;
    std::string digits = line.substr(open + 1, line.size() - open - 2);
    if (!digits.empty() && digits.back() == '+')
        digits.pop_back();
    if (digits.empty() || digits.size() > 12 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return std::stoll(digits);
}
}  // namespace

ImapTestClient::ImapTestClient(std::chrono::milliseconds timeout) : m_timeout(timeout) {}

ImapTestClient::~ImapTestClient() {
    Disconnect();
}

void ImapTestClient::Disconnect() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    m_buffer.clear();
}

std::string ImapTestClient::Quote(const std::string& text) {
    // 8-bit bytes do not belong in a quoted string: a non-synchronising
    // literal (LITERAL+, which Dovecot offers) needs no round trip.
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return "{" + std::to_string(text.size()) + "+}\r\n" + text;
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + '"';
}

bool ImapTestClient::Connect(unsigned port) {
    Disconnect();
    m_deadline = std::chrono::steady_clock::now() + m_timeout;
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_fd < 0) {
        m_error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (errno != EINPROGRESS) {
            m_error = std::string("connect: ") + std::strerror(errno);
            Disconnect();
            return false;
        }
        pollfd p{m_fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        if (::poll(&p, 1, MsLeft(m_deadline)) != 1 ||
            ::getsockopt(m_fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
            m_error = std::string("connect: ") + (err ? std::strerror(err) : "timed out");
            Disconnect();
            return false;
        }
    }
    if (!ReadResponse(m_greeting)) {
        Disconnect();
        return false;
    }
    if (m_greeting.rfind("* OK", 0) != 0) {
        m_error = "unexpected greeting: " + m_greeting;
        Disconnect();
        return false;
    }
    return true;
}

bool ImapTestClient::Run(const std::string& command, std::vector<std::string>* untagged) {
    if (m_fd < 0) {
        m_error = "not connected";
        return false;
    }
    m_deadline = std::chrono::steady_clock::now() + m_timeout;
    const std::string tag = "t" + std::to_string(++m_tag);
    if (!SendAll(tag + ' ' + command + "\r\n"))
        return false;
    for (;;) {
        std::string response;
        if (!ReadResponse(response))
            return false;
        if (response.rfind(tag + ' ', 0) == 0) {
            m_error = response;
            return response.compare(tag.size() + 1, 3, "OK ") == 0;
        }
        if (untagged)
            untagged->push_back(std::move(response));
    }
}

bool ImapTestClient::SendAll(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{m_fd, POLLOUT, 0};
            if (::poll(&p, 1, MsLeft(m_deadline)) == 1)
                continue;
            m_error = "send timed out";
            return false;
        }
        m_error = std::string("send: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool ImapTestClient::Fill() {
    char chunk[16384];
    for (;;) {
        const ssize_t n = ::recv(m_fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            m_buffer.append(chunk, static_cast<size_t>(n));
            return true;
        }
        if (n == 0) {
            m_error = "server closed the connection";
            return false;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            m_error = std::string("recv: ") + std::strerror(errno);
            return false;
        }
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, MsLeft(m_deadline)) != 1) {
            m_error = "no reply within the deadline";
            return false;
        }
    }
}

bool ImapTestClient::ReadLine(std::string& line) {
    size_t crlf;
    while ((crlf = m_buffer.find("\r\n")) == std::string::npos)
        if (!Fill())
            return false;
    line.assign(m_buffer, 0, crlf);
    m_buffer.erase(0, crlf + 2);
    return true;
}

bool ImapTestClient::ReadResponse(std::string& out) {
    out.clear();
    for (;;) {
        std::string line;
        if (!ReadLine(line))
            return false;
        out += line;
        const long long literal = LiteralSize(line);
        if (literal < 0)
            return true;
        while (m_buffer.size() < static_cast<unsigned long long>(literal))
            if (!Fill())
                return false;
        out.append(m_buffer, 0, static_cast<size_t>(literal));
        m_buffer.erase(0, static_cast<size_t>(literal));
    }
}
