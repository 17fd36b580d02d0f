#include "support/ScriptedServer.h"

#include <algorithm>
#include <stdexcept>

#include "support/Loopback.h"

using Clock = std::chrono::steady_clock;

ScriptedServer::ScriptedServer(Responder responder, Reply greeting)
    : m_responder(std::move(responder)), m_greeting(std::move(greeting)) {
    m_listener = loopback::Listen(m_port);
    if (m_listener < 0 || !loopback::Pair(m_wake))
        throw std::runtime_error("scripted server: no listener");
    m_thread = std::thread([this] {
        for (int connection = 1;; ++connection) {
            pollfd p[2] = {sockapi::PollFor(m_wake[0], POLLIN),
                           sockapi::PollFor(m_listener, POLLIN)};
            if (sockapi::Poll(p, 2, -1) < 0 || (p[0].revents & POLLIN))
                return;
            const int fd = loopback::Accept(m_listener);
            Converse(fd, connection);
            sockapi::Close(fd);
        }
    });
}

ScriptedServer::~ScriptedServer() {
    sockapi::Send(m_wake[1], "x", 1);
    m_thread.join();
    for (int fd : {m_listener, m_wake[0], m_wake[1]})
        sockapi::Close(fd);
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
        pollfd p[2] = {sockapi::PollFor(m_wake[0], POLLIN), sockapi::PollFor(fd, POLLIN)};
        if (sockapi::Poll(p, 2, answering ? std::max(0, int(wait.count())) : -1) < 0 ||
            p[0].revents)
            return;
        if (p[1].revents) {
            char chunk[4096];
            const int n = sockapi::Recv(fd, chunk, sizeof chunk);
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
            if (answer.every.count() > 0 && answer.bytes.size() > 1) {
                sockapi::Send(fd, answer.bytes.data(), 1);  // a trickle: a byte at a time
                answer.bytes.erase(0, 1);
                due = Clock::now() + answer.every;
                continue;
            }
            answering = false;
            sockapi::Send(fd, answer.bytes.data(), static_cast<int>(answer.bytes.size()));
            if (answer.end == Reply::Reset)
                loopback::ResetOnClose(fd);
            if (answer.end != Reply::Stay)
                return;
        }
    }
}

std::vector<std::string> Dialogues(const ScriptedServer& server) {
    std::vector<std::string> lines;
    for (const std::string& line : server.Received()) {
        const size_t connection = std::stoul(line);
        if (lines.size() < connection)
            lines.emplace_back(line.substr(0, line.find(' ')));
        lines.back() += (lines.back().back() == ':' ? " " : " | ") +
                        line.substr(line.find(' ', line.find(": ") + 2) + 1);
    }
    return lines;
}
