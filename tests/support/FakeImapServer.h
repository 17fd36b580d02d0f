// A scripted IMAP server on 127.0.0.1 for session tests. The test writes the
// dialogue as a list of steps (send these bytes, expect this line from the
// client, close, ...), starts it, then drives the client; the server runs the
// steps on its own thread, records every byte the client sends and reports
// any departure from the script as a test failure. Every wait has a deadline
// and destruction stops the script, so no test can hang on it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeImapServer {
public:
    using ms = std::chrono::milliseconds;

    // Listens on 127.0.0.1 at a port chosen by the system.
    FakeImapServer();
    ~FakeImapServer();
    FakeImapServer(const FakeImapServer&) = delete;
    FakeImapServer& operator=(const FakeImapServer&) = delete;

    unsigned Port() const { return m_port; }

    // ---- script steps, in dialogue order; add them before Start.
    // Takes the next connection (the one before it, if any, is closed).
    FakeImapServer& Accept();
    // Writes the bytes in one write.
    FakeImapServer& Send(std::string bytes);
    // Writes each piece separately, with a pause between them so that they
    // normally reach the client in separate reads.
    FakeImapServer& SendPieces(std::vector<std::string> pieces, ms gap = ms(30));
    // Writes unit count times as fast as the client reads; the client hanging
    // up ends the step quietly (a flood the client is expected to refuse).
    FakeImapServer& SendFlood(std::string unit, uint64_t count);
    // The next line from the client (up to and including LF) must be exactly line.
    FakeImapServer& Expect(std::string line);
    // The next line must start with prefix.
    FakeImapServer& ExpectPrefix(std::string prefix);
    // The next line must end in CR LF and, without it, match the regular expression
    // (POSIX extended syntax, matched against the whole line).
    FakeImapServer& ExpectMatch(std::string regex);
    // The client must send nothing for that long.
    FakeImapServer& ExpectSilence(ms quiet);
    // The client must hang up without sending anything more.
    FakeImapServer& ExpectClosed();
    // Waits until the test calls OpenGate: a point where the test looks at the client.
    FakeImapServer& Gate();
    FakeImapServer& Hold(ms pause);
    // Hangs up: an orderly close (FIN) or an abortive one (RST).
    FakeImapServer& Close();
    FakeImapServer& Abort();
    // Marks the end of the script: the connection stays open and nothing more is
    // sent until the server is destroyed. The same holds after the last step anyway.
    FakeImapServer& NeverAnswer();

    // Longest wait of any one step (default 10 s).
    void SetStepTimeout(ms timeout) { m_stepTimeout = timeout; }

    void Start();
    // Lets the script go past the next Gate.
    void OpenGate();
    // The script is waiting at a Gate.
    bool AtGate() const;
    // The script has ended (all steps done, or a mismatch).
    bool Done() const;

    // Pumps the event loop until the script ends, stops the server and reports a
    // mismatch or an unfinished script as a test failure. True when the whole
    // script ran as written.
    bool Finish(ms deadline = std::chrono::seconds(20));

    // Every byte received from the client, on all connections, in order.
    std::string Received() const;
    // The same, cut after each LF.
    std::vector<std::string> ReceivedLines() const;
    // Number of connections accepted so far.
    int Connections() const;

private:
    struct Step {
        std::string what;  // for failure messages
        std::function<bool(std::string& error)> run;
    };

    FakeImapServer& Add(std::string what, std::function<bool(std::string&)> run);
    void Run();
    void Stop();
    void DrainPending();
    // Waits for the connection (or the listener) to be readable/writable;
    // false on deadline or stop.
    bool WaitFd(int fd, short events, std::chrono::steady_clock::time_point deadline);
    bool WriteAll(const char* data, size_t size, bool peerMayClose, std::string& error);
    // Reads what is there into m_pending; 0 on hang-up, -1 on error or nothing yet.
    int ReadSome();
    bool NextLine(std::string& line, std::string& error);
    void CloseConnection();
    bool Stopping() const;

    int m_listen = -1;
    int m_conn = -1;
    int m_wake[2] = {-1, -1};
    unsigned m_port = 0;
    ms m_stepTimeout = std::chrono::seconds(10);
    std::vector<Step> m_steps;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stop = false;
    bool m_done = false;
    bool m_atGate = false;
    int m_gatesOpened = 0;
    int m_gatesPassed = 0;
    int m_connections = 0;
    std::string m_received;
    std::string m_mismatch;
    bool m_reported = false;

    std::string m_pending;    // received on this connection, not yet consumed by a step
    bool m_peerGone = false;  // a flood ended because the client hung up
};

// Bytes with control and 8-bit characters written as C escapes, for messages.
std::string Printable(const std::string& bytes, size_t max = 300);
