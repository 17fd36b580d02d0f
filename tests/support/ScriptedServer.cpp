#include "support/ScriptedServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <stdexcept>

using Clock = std::chrono::steady_clock;

ScriptedServer::ScriptedServer(Responder responder, Reply greeting)
    : m_responder(std::move(responder)), m_greeting(std::move(greeting)) {
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(m_listener, 4) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
        ::pipe2(m_wake, O_CLOEXEC) != 0)
        throw std::runtime_error("scripted server: no listener");
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] {
        for (int connection = 1;; ++connection) {
            pollfd p[2] = {{m_wake[0], POLLIN, 0}, {m_listener, POLLIN, 0}};
            if (::poll(p, 2, -1) < 0 || (p[0].revents & POLLIN))
                return;
            const int fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            Converse(fd, connection);
            ::close(fd);
        }
    });
}

ScriptedServer::~ScriptedServer() {
    ::write(m_wake[1], "x", 1);
    m_thread.join();
    for (int fd : {m_listener, m_wake[0], m_wake[1]})
        ::close(fd);
}

std::vector<std::string> ScriptedServer::Received() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

// One connection: lines in, answers out, until either side hangs up.
void ScriptedServer::Converse(int fd, int connection) {
    Reply answer = m_greeting;
    bool answering = true;
    auto due = Clock::now() + answer.delay;
    std::string input;
    for (;;) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
        pollfd p[2] = {{m_wake[0], POLLIN, 0}, {fd, POLLIN, 0}};
        if (::poll(p, 2, answering ? std::max(0, int(wait.count())) : -1) < 0 || p[0].revents)
            return;
        if (p[1].revents) {
            char chunk[4096];
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0)
                return;
            input.append(chunk, static_cast<size_t>(n));
            for (size_t lf; (lf = input.find("\r\n")) != std::string::npos;
                 input.erase(0, lf + 2)) {
                const std::string line = input.substr(0, lf);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_received.push_back(std::to_string(connection) + ": " + line +
                                     (answering ? " (early)" : ""));
                if (answering)
                    continue;
                const size_t space = std::min(line.find(' '), line.size());
                answer = m_responder(connection, line.substr(0, space),
                                     line.substr(std::min(space + 1, line.size())));
                answering = true;
                due = Clock::now() + answer.delay;
            }
        } else if (answering && Clock::now() >= due) {
            answering = false;
            ::send(fd, answer.bytes.data(), answer.bytes.size(), MSG_NOSIGNAL);
            if (answer.end == Reply::Reset) {
                const linger abort{1, 0};  // close() then sends RST
                ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
            }
            if (answer.end != Reply::Stay)
                return;
        }
    }
}
