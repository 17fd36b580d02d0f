// The OpenSSL side of a TLS client connection on a non-blocking descriptor.
// CAsyncSocket decides when to call in (on the descriptor's readiness); this
// class makes the call and says what OpenSSL wants next.
#pragma once

#include <memory>
#include <string>

struct ssl_st;
struct CTlsPeer;

class CTlsSession {
public:
    enum class Result {
        Done,
        WantRead,   // call again once the descriptor is readable
        WantWrite,  // call again once the descriptor is writable
        Closed,     // the peer ended the connection
        Failed      // broken for good: SystemError or Failure tells why
    };

    // A client session on the connected descriptor fd, checking the
    // certificate against host (a DNS name, also sent as SNI, or an IP
    // address). Null when OpenSSL refused or host is empty.
    static std::unique_ptr<CTlsSession> Start(int fd, const std::string& host);
    ~CTlsSession();
    CTlsSession(const CTlsSession&) = delete;
    CTlsSession& operator=(const CTlsSession&) = delete;

    Result Handshake();
    // On Done, *count holds the bytes read or accepted (partial writes allowed;
    // a retry after WantWrite may pass the same bytes from another address).
    Result Read(void* buf, int len, int* count);
    Result Write(const void* buf, int len, int* count);
    // Decrypted bytes wait inside OpenSSL: the descriptor may never signal them.
    bool HasPending() const;
    // After a completed handshake: the server's certificate and the verdict on it.
    void DescribePeer(CTlsPeer* peer) const;
    // Sends close_notify without waiting; nothing after a fatal error.
    void Shutdown();

    // After Failed: the errno of the failed send or recv (0 when none), and
    // OpenSSL's reason.
    int SystemError() const { return m_link.err; }
    const std::string& Failure() const { return m_failure; }

    // What the descriptor BIO works with.
    struct Link {
        int fd = -1;
        int err = 0;
        bool eof = false;
    };

private:
    CTlsSession() = default;
    Result Outcome(int ret);

    ssl_st* m_ssl = nullptr;
    Link m_link;
    bool m_broken = false;
    std::string m_failure;
};
