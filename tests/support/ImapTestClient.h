// A tiny blocking IMAP client for tests: lets a test look at a mailbox through
// a path that shares nothing with CImapSocket. Only 127.0.0.1; every read and
// write has a deadline, so a silent server fails the call instead of hanging.
#pragma once

#include <chrono>
#include <string>
#include <vector>

class ImapTestClient {
public:
    explicit ImapTestClient(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    ~ImapTestClient();
    ImapTestClient(const ImapTestClient&) = delete;
    ImapTestClient& operator=(const ImapTestClient&) = delete;

    // Connects to 127.0.0.1:port and reads the greeting; true on "* OK".
    bool Connect(unsigned port);
    // Sends "<tag> <command>" CR LF and reads up to the tagged reply; true when
    // it is OK. Untagged responses (literals inlined) go to *untagged.
    bool Run(const std::string& command, std::vector<std::string>* untagged = nullptr);
    void Disconnect();

    // Why the last call failed, or the last tagged reply.
    const std::string& Error() const { return m_error; }
    const std::string& Greeting() const { return m_greeting; }

    // An IMAP string argument: quoted ('"' and '\' escaped), or a LITERAL+
    // literal when the text holds 8-bit bytes.
    static std::string Quote(const std::string& text);

private:
    bool SendAll(const std::string& bytes);
    // One response: the line, with each announced literal and the line part
    // after it inlined; without the final CR LF.
    bool ReadResponse(std::string& out);
    bool ReadLine(std::string& line);
    bool Fill();

    std::chrono::milliseconds m_timeout;
    std::chrono::steady_clock::time_point m_deadline;
    int m_fd = -1;
    int m_tag = 0;
    std::string m_buffer;
    std::string m_error;
    std::string m_greeting;
};
