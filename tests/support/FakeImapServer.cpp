#include "support/FakeImapServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <regex.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "support/EventPump.h"

using Clock = std::chrono::steady_clock;

std::string Printable(const std::string& bytes, size_t max) {
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < max; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        switch (c) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '"':
                out += "\\\"";
                break;
            default:
                if (c < 0x20 || c >= 0x7F) {
                    char hex[8];
                    std::snprintf(hex, sizeof hex, "\\x%02X", c);
                    out += hex;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    if (bytes.size() > max)
        out += "... (" + std::to_string(bytes.size()) + " bytes)";
    return '"' + out + '"';
}

FakeImapServer::FakeImapServer() {
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (m_listen < 0 || ::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0)
        throw std::runtime_error("fake IMAP server: no socket");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(m_listen, 4) != 0 ||
        ::getsockname(m_listen, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        throw std::runtime_error("fake IMAP server: cannot listen on 127.0.0.1");
    m_port = ntohs(addr.sin_port);
}

FakeImapServer::~FakeImapServer() {
    Stop();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_reported && !m_mismatch.empty())
            ADD_FAILURE() << "fake IMAP server: " << m_mismatch;
    }
    for (int fd : {m_listen, m_wake[0], m_wake[1]})
        if (fd >= 0)
            ::close(fd);
}

// ---------------------------------------------------------------- script

FakeImapServer& FakeImapServer::Add(std::string what, std::function<bool(std::string&)> run) {
    m_steps.push_back(Step{std::move(what), std::move(run)});
    return *this;
}

FakeImapServer& FakeImapServer::Accept() {
    return Add("Accept", [this](std::string& error) {
        DrainPending();
        CloseConnection();
        m_pending.clear();
        if (!WaitFd(m_listen, POLLIN, Clock::now() + m_stepTimeout)) {
            error = "no connection came";
            return false;
        }
        m_conn = ::accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (m_conn < 0) {
            error = "accept failed";
            return false;
        }
        const int one = 1;
        ::setsockopt(m_conn, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_connections;
        return true;
    });
}

FakeImapServer& FakeImapServer::Send(std::string bytes) {
    return SendPieces({std::move(bytes)}, ms(0));
}

FakeImapServer& FakeImapServer::SendPieces(std::vector<std::string> pieces, ms gap) {
    std::string what = "Send";
    for (const auto& p : pieces)
        what += ' ' + Printable(p, 80);
    return Add(what, [this, pieces = std::move(pieces), gap](std::string& error) {
        for (size_t i = 0; i < pieces.size(); ++i) {
            if (i > 0) {
                std::unique_lock<std::mutex> lock(m_mutex);
                if (m_cv.wait_for(lock, gap, [this] { return m_stop; }))
                    return false;
            }
            if (!WriteAll(pieces[i].data(), pieces[i].size(), false, error))
                return false;
        }
        return true;
    });
}

FakeImapServer& FakeImapServer::SendFlood(std::string unit, uint64_t count) {
    return Add("SendFlood " + Printable(unit, 40) + " x" + std::to_string(count),
               [this, unit = std::move(unit), count](std::string& error) {
                   m_peerGone = false;
                   for (uint64_t i = 0; i < count && !m_peerGone; ++i)
                       if (!WriteAll(unit.data(), unit.size(), true, error))
                           return false;
                   return true;
               });
}

FakeImapServer& FakeImapServer::Expect(std::string want) {
    return Add("Expect " + Printable(want), [this, want](std::string& error) {
        std::string line;
        if (!NextLine(line, error))
            return false;
        if (line == want)
            return true;
        error = "client sent " + Printable(line) + ", expected " + Printable(want);
        return false;
    });
}

FakeImapServer& FakeImapServer::ExpectPrefix(std::string prefix) {
    return Add("ExpectPrefix " + Printable(prefix), [this, prefix](std::string& error) {
        std::string line;
        if (!NextLine(line, error))
            return false;
        if (line.compare(0, prefix.size(), prefix) == 0)
            return true;
        error =
            "client sent " + Printable(line) + ", expected it to start with " + Printable(prefix);
        return false;
    });
}

FakeImapServer& FakeImapServer::ExpectMatch(std::string pattern) {
    return Add("ExpectMatch /" + pattern + "/", [this, pattern](std::string& error) {
        std::string line;
        if (!NextLine(line, error))
            return false;
        // POSIX extended syntax, anchored at both ends.
        regex_t re;
        if (::regcomp(&re, ("^(" + pattern + ")$").c_str(), REG_EXTENDED | REG_NOSUB) != 0) {
            error = "bad regular expression";
            return false;
        }
        const bool crlf = line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0;
        const std::string body = crlf ? line.substr(0, line.size() - 2) : line;
        const bool match = crlf && body.find('\0') == std::string::npos &&
                           ::regexec(&re, body.c_str(), 0, nullptr, 0) == 0;
        ::regfree(&re);
        if (match)
            return true;
        error = "client sent " + Printable(line) + ", which does not match /" + pattern + "/";
        return false;
    });
}

FakeImapServer& FakeImapServer::ExpectSilence(ms quiet) {
    return Add("ExpectSilence " + std::to_string(quiet.count()) + " ms",
               [this, quiet](std::string& error) {
                   const auto end = Clock::now() + quiet;
                   while (m_pending.empty()) {
                       if (!WaitFd(m_conn, POLLIN, end))
                           return !Stopping();
                       if (ReadSome() == 0) {
                           error = "client hung up instead of waiting";
                           return false;
                       }
                   }
                   error = "client sent " + Printable(m_pending) + " where it had to wait";
                   return false;
               });
}

FakeImapServer& FakeImapServer::ExpectClosed() {
    return Add("ExpectClosed", [this](std::string& error) {
        const auto end = Clock::now() + m_stepTimeout;
        while (m_pending.empty()) {
            if (!WaitFd(m_conn, POLLIN, end)) {
                error = "client did not hang up";
                return false;
            }
            const int r = ReadSome();
            if (r == 0 || (r < 0 && errno == ECONNRESET))
                return m_pending.empty();
            if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                error = "receive failed";
                return false;
            }
        }
        error = "client sent " + Printable(m_pending) + " instead of hanging up";
        return false;
    });
}

FakeImapServer& FakeImapServer::Gate() {
    return Add("Gate", [this](std::string& error) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_atGate = true;
        const bool passed = m_cv.wait_for(
            lock, m_stepTimeout, [this] { return m_stop || m_gatesOpened > m_gatesPassed; });
        m_atGate = false;
        if (m_stop)
            return false;
        if (!passed) {
            error = "the test never opened the gate";
            return false;
        }
        ++m_gatesPassed;
        return true;
    });
}

FakeImapServer& FakeImapServer::Hold(ms pause) {
    return Add("Hold " + std::to_string(pause.count()) + " ms", [this, pause](std::string&) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return !m_cv.wait_for(lock, pause, [this] { return m_stop; });
    });
}

FakeImapServer& FakeImapServer::Close() {
    return Add("Close", [this](std::string&) {
        // Half-close: the client reads the end of the stream, and what it still
        // sends is recorded.
        if (m_conn >= 0)
            ::shutdown(m_conn, SHUT_WR);
        return true;
    });
}

FakeImapServer& FakeImapServer::Abort() {
    return Add("Abort", [this](std::string&) {
        if (m_conn >= 0) {
            const linger l{1, 0};
            ::setsockopt(m_conn, SOL_SOCKET, SO_LINGER, &l, sizeof l);
            ::close(m_conn);
            m_conn = -1;
        }
        return true;
    });
}

FakeImapServer& FakeImapServer::NeverAnswer() {
    return Add("NeverAnswer", [](std::string&) { return true; });
}

// ---------------------------------------------------------------- running

void FakeImapServer::Start() {
    if (m_thread.joinable())
        return;
    m_thread = std::thread([this] { Run(); });
}

void FakeImapServer::Run() {
    size_t i = 0;
    for (; i < m_steps.size() && !Stopping(); ++i) {
        std::string error;
        if (!m_steps[i].run(error)) {
            if (Stopping())
                break;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_mismatch = "step " + std::to_string(i + 1) + " (" + m_steps[i].what + "): " + error;
            break;
        }
    }
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (i < m_steps.size() && m_mismatch.empty())
            m_mismatch =
                "script stopped at step " + std::to_string(i + 1) + " (" + m_steps[i].what + ")";
        m_done = true;
        m_cv.notify_all();
        // The connection stays open and silent until the server is stopped.
        m_cv.wait(lock, [this] { return m_stop; });
    }
    DrainPending();
    CloseConnection();
}

void FakeImapServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_cv.notify_all();
    }
    const char c = 0;
    if (::write(m_wake[1], &c, 1) < 0) {
        // The pipe is full only when it was written before: the wake-up is there.
    }
    if (m_thread.joinable())
        m_thread.join();
}

bool FakeImapServer::Stopping() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_stop;
}

void FakeImapServer::OpenGate() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_gatesOpened;
    m_cv.notify_all();
}

bool FakeImapServer::AtGate() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_atGate && m_gatesOpened == m_gatesPassed;
}

bool FakeImapServer::Done() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_done;
}

bool FakeImapServer::Finish(ms deadline) {
    Start();
    PumpUntil([this] { return Done(); }, deadline);
    Stop();
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reported = true;
    if (!m_done) {
        ADD_FAILURE() << "fake IMAP server: script did not end within " << deadline.count()
                      << " ms";
        return false;
    }
    if (!m_mismatch.empty()) {
        ADD_FAILURE() << "fake IMAP server: " << m_mismatch;
        return false;
    }
    return true;
}

std::string FakeImapServer::Received() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

std::vector<std::string> FakeImapServer::ReceivedLines() const {
    const std::string all = Received();
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < all.size()) {
        const size_t lf = all.find('\n', start);
        const size_t end = lf == std::string::npos ? all.size() : lf + 1;
        lines.push_back(all.substr(start, end - start));
        start = end;
    }
    return lines;
}

int FakeImapServer::Connections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections;
}

// ---------------------------------------------------------------- I/O

bool FakeImapServer::WaitFd(int fd, short events, Clock::time_point deadline) {
    if (fd < 0)
        return false;
    for (;;) {
        const auto now = Clock::now();
        if (now >= deadline || Stopping())
            return false;
        pollfd p[2] = {{fd, events, 0}, {m_wake[0], POLLIN, 0}};
        const auto left = std::chrono::duration_cast<ms>(deadline - now).count() + 1;
        const int r = ::poll(p, 2, static_cast<int>(std::min<long long>(left, 1000)));
        if (r < 0 && errno != EINTR)
            return false;
        if (r > 0 && p[1].revents)
            return false;
        if (r > 0 && p[0].revents)
            return true;
    }
}

int FakeImapServer::ReadSome() {
    char buf[64 * 1024];
    const ssize_t n = ::recv(m_conn, buf, sizeof buf, 0);
    if (n > 0) {
        m_pending.append(buf, static_cast<size_t>(n));
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.append(buf, static_cast<size_t>(n));
    }
    return n < 0 ? -1 : static_cast<int>(n);
}

void FakeImapServer::DrainPending() {
    while (m_conn >= 0 && ReadSome() > 0) {
    }
}

bool FakeImapServer::NextLine(std::string& line, std::string& error) {
    const auto end = Clock::now() + m_stepTimeout;
    for (;;) {
        const size_t lf = m_pending.find('\n');
        if (lf != std::string::npos) {
            line = m_pending.substr(0, lf + 1);
            m_pending.erase(0, lf + 1);
            return true;
        }
        if (!WaitFd(m_conn, POLLIN, end)) {
            error = "no line came; received so far " + Printable(m_pending);
            return false;
        }
        const int r = ReadSome();
        if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            error = "client hung up; received so far " + Printable(m_pending);
            return false;
        }
    }
}

bool FakeImapServer::WriteAll(const char* data, size_t size, bool peerMayClose,
                              std::string& error) {
    // The deadline counts from the last progress: a large write may take long
    // while the client keeps reading.
    auto end = Clock::now() + m_stepTimeout;
    size_t done = 0;
    while (done < size) {
        if (m_conn < 0) {
            error = "no connection";
            return false;
        }
        const ssize_t n = ::send(m_conn, data + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            end = Clock::now() + m_stepTimeout;
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!WaitFd(m_conn, POLLOUT, end)) {
                error = "the client stopped reading";
                return false;
            }
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (peerMayClose && (errno == EPIPE || errno == ECONNRESET)) {
            m_peerGone = true;
            return true;
        }
        error = "client hung up while the server was sending";
        return false;
    }
    return true;
}

void FakeImapServer::CloseConnection() {
    if (m_conn >= 0)
        ::close(m_conn);
    m_conn = -1;
}
