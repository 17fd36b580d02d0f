// A TCP server on 127.0.0.1 for run tests. Every command line the client sends
// is answered by the test's responder: bytes, after a delay, then the
// connection stays, is closed or is reset. The client must wait for each
// answer (the greeting included): a line that comes earlier is marked.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct Reply {
    enum End { Stay, Close, Reset };
    std::string bytes;
    std::chrono::milliseconds delay{0};
    End end = Stay;
};

class ScriptedServer {
public:
    // connection counts from 1; command is the line after the tag, without CR LF.
    using Responder =
        std::function<Reply(int connection, const std::string& tag, const std::string& command)>;

    explicit ScriptedServer(Responder responder, Reply greeting = {"* OK ready\r\n"});
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    unsigned Port() const { return m_port; }
    // Every line received, as "connection: line" without CR LF, and " (early)"
    // after a line that came before the previous answer.
    std::vector<std::string> Received() const;

private:
    void Converse(int fd, int connection);

    Responder m_responder;
    Reply m_greeting;
    int m_listener = -1;
    int m_wake[2] = {-1, -1};
    unsigned m_port = 0;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_received;
    std::thread m_thread;
};
