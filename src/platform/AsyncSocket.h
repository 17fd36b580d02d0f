// Non-blocking TCP client socket whose notifications arrive on the thread that
// runs the wxWidgets event loop (console loop in tests, GTK loop in the program).
#pragma once

#include <memory>
#include <string>

struct sockaddr;
class CTlsSession;

// What a TLS handshake learned of the server and its certificate.
struct CTlsPeer {
    std::string protocol, cipher;     // "TLSv1.3", "TLS_AES_256_GCM_SHA384"
    std::string subject, issuer;      // one-line names, e.g. "CN = mail.example.com"
    std::string notBefore, notAfter;  // e.g. "Dec  7 01:00:00 2026 GMT"
    std::string fingerprint;          // SHA-256 of the certificate: 64 upper-case hex digits
    // "" when the chain and the name check out; else why not, in OpenSSL's
    // words ("self-signed certificate", "certificate has expired", "hostname
    // mismatch", ...), or why the handshake failed.
    std::string problem;
};

class CAsyncSocket {
public:
    // What went wrong in the last failed call, kept apart from errno so that
    // callers can turn it into a short reason.
    enum class Error {
        None,
        WouldBlock,
        NotCreated,
        NotResolved,
        Refused,
        Unreachable,
        TimedOut,
        Reset,
        Other
    };

    CAsyncSocket();
    virtual ~CAsyncSocket();
    CAsyncSocket(const CAsyncSocket&) = delete;
    CAsyncSocket& operator=(const CAsyncSocket&) = delete;

    // Creates the non-blocking stream socket. False when the system refuses one.
    bool Create();
    // Starts connecting to host (dotted IPv4 text or a name) and port. True when
    // the connection is under way or made; false when it failed at once
    // (GetLastError tells why). The outcome arrives later through OnConnect.
    bool Connect(const std::string& host, unsigned port);
    // Stops notifications and closes the handle; harmless when nothing is open.
    virtual void Close();

    // Sends up to len bytes; returns the count accepted, or -1 (see GetLastError).
    int SendToHelper(const void* buf, int len, const sockaddr* to, int toLen, int flags);
    // Reads up to len bytes: > 0 bytes read, 0 peer closed, -1 would block or
    // failed (GetLastError tells which).
    int ReceiveFromHelper(void* buf, int len, sockaddr* from, int* fromLen, int flags);

    Error GetLastError() const { return m_lastError; }
    bool IsOpen() const { return m_fd >= 0; }
    bool IsConnected() const { return m_state == State::Connected; }

    // Asks for one OnSend as soon as the socket can take more bytes.
    void RequestSendNotification(bool on);

    // For tests: adopts an already connected descriptor (e.g. one end of a socketpair).
    bool Attach(int fd);

    // Starts a TLS client handshake on the connected socket; it runs on the
    // event loop and OnTlsReady follows. The certificate is checked against
    // the system's trusted certificates (OpenSSL's default paths; SSL_CERT_FILE
    // and SSL_CERT_DIR are honoured) and its names against host (a DNS name or
    // an IP address), but the handshake completes either way: Peer().problem
    // reports the check, and the caller decides before it sends anything.
    // From then on the Send/Receive helpers go through TLS. False when TLS
    // could not start (no connection, OpenSSL refused).
    bool StartTls(const std::string& host);
    // TLS has been started on this connection (handshake done or under way).
    bool IsTls() const;
    const CTlsPeer& Peer() const;

    static const char* DescribeError(Error e);

protected:
    // nErrorCode is 0 or an errno value.
    virtual void OnReceive(int nErrorCode);
    virtual void OnSend(int nErrorCode);
    // Called once per connection attempt: 0 on success, else the errno value.
    virtual void OnConnect(int nErrorCode);
    // The peer hung up or the connection broke while nothing was left to read.
    virtual void OnClose(int nErrorCode);
    // The TLS handshake ended; ok false when it failed (Peer().problem says
    // why, the connection is then closed for sending).
    virtual void OnTlsReady(bool ok);

private:
    enum class State { Closed, Created, Connecting, Connected };
    class Watcher;
    friend class Watcher;

    enum class TlsState { None, Handshaking, Ready, Failed };

    void Service();
    void ServiceTls();
    void StepHandshake();
    int SendTls(const void* buf, int len);
    int ReceiveTls(void* buf, int len);
    void BreakTls();
    // Watches for what the connection waits for now (plain or TLS).
    void Rewatch();
    void Watch(bool read, bool write);
    void Unwatch();
    void SetError(int err);

    int m_fd = -1;
    State m_state = State::Closed;
    Error m_lastError = Error::None;
    bool m_wantSend = false;
    int m_watchedFlags = 0;
    int m_connectError = 0;  // Windows: a failed connect, as Winsock told it
#ifdef _WIN32
    std::unique_ptr<class CSocketNotifier> m_notifier;
#else
    std::unique_ptr<Watcher> m_watcher;
    std::unique_ptr<class wxEventLoopSource> m_source;
#endif

    std::unique_ptr<CTlsSession> m_tls;
    TlsState m_tlsState = TlsState::None;
    Error m_tlsError = Error::None;  // what every call reports once TLS broke
    bool m_handshakeWrite = false;   // the handshake waits to write, else to read
    bool m_readWantsWrite = false;   // SSL_read must send first (renegotiation, key update)
    bool m_writeWantsRead = false;   // SSL_write must receive first (renegotiation)
    CTlsPeer m_peer;                 // kept after Close: the caller asks about it then
};
