// A session whose server is the test, through a socket pair: each piece of the
// server's bytes arrives as one read of the client's. No timing is involved.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "imap/ImapSocket.h"

class SessionPair {
public:
    // tcp: a connection on the loopback instead of a socket pair (which knows
    // no urgent data). Winsock has no socket pairs: there it is always tcp.
    explicit SessionPair(std::string logPath = {}, bool tcp = false);
    ~SessionPair();  // the session closes its own end

    // Writes bytes in pieces of at most `piece` bytes and lets the session
    // take in each before the next is written.
    void Serve(std::string_view bytes, size_t piece = SIZE_MAX);
    // What the client has sent since the last call.
    std::string Sent();
    // The server closes its end.
    void HangUp();
#ifndef _WIN32
    // Sends one byte of TCP urgent data and waits until the client has it.
    void ServeUrgent();
#endif

    CTranscript transcript;
    CImapSocket imap;

private:
    int m_server = -1;
    int m_client = -1;
};
