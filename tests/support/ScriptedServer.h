// A TCP server on 127.0.0.1 for run tests: the test's responder answers each
// command line with bytes, after a delay, then the connection stays, is closed
// or reset. A line sent before the previous answer (greeting included) is marked.
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
    std::chrono::milliseconds every{0};  // >0: the bytes trickle, one this often
};

class ScriptedServer {
public:
    // connection counts from 1; command is the line after the tag, without CR LF.
    using Responder =
        std::function<Reply(int connection, const std::string& tag, const std::string& command)>;

    explicit ScriptedServer(Responder responder, Reply greeting = {"* OK ready\r\n"});
    ~ScriptedServer();

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

// Each connection's commands, without their tags, on one line:
// "2: CAPABILITY | LOGIN anna pw | SELECT INBOX".
std::vector<std::string> Dialogues(const ScriptedServer& server);
