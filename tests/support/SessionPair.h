// A session whose server is the test, through a socket pair: each piece of the
// server's bytes arrives as one read of the client's. No timing is involved.
// With tls the pair speaks TLS from the first byte, as IMAPS does: the test's
// end is an OpenSSL server driven from the test's own thread (a self-signed
// certificate the session trusts by its fingerprint); the test still serves
// and reads plain bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "imap/ImapSocket.h"

struct ssl_st;

class SessionPair {
public:
    // tcp: a connection on the loopback instead of a socket pair (which knows
    // no urgent data). Winsock has no socket pairs: there it is always tcp.
    explicit SessionPair(std::string logPath = {}, bool tcp = false, bool tls = false);
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
    // TLS: bytes to the client, and what the client sent so far.
    void Write(std::string_view bytes);
    std::string ReadTls();

    int m_server = -1;
    int m_client = -1;
    ssl_st* m_ssl = nullptr;
};
