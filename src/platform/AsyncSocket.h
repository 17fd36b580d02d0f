// Non-blocking TCP client socket whose notifications arrive on the thread that
// runs the wxWidgets event loop (console loop in tests, GTK loop in the program).
#pragma once

#include <memory>
#include <string>

struct sockaddr;

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

    static const char* DescribeError(Error e);

protected:
    // nErrorCode is 0 or an errno value.
    virtual void OnReceive(int nErrorCode);
    virtual void OnSend(int nErrorCode);
    // Called once per connection attempt: 0 on success, else the errno value.
    virtual void OnConnect(int nErrorCode);
    // The peer hung up or the connection broke while nothing was left to read.
    virtual void OnClose(int nErrorCode);

private:
    enum class State { Closed, Created, Connecting, Connected };
    class Watcher;
    friend class Watcher;

    void Service();
    void Watch(bool read, bool write);
    void Unwatch();
    void SetError(int err);

    int m_fd = -1;
    State m_state = State::Closed;
    Error m_lastError = Error::None;
    bool m_wantSend = false;
    int m_watchedFlags = 0;
    std::unique_ptr<Watcher> m_watcher;
    std::unique_ptr<class wxEventLoopSource> m_source;
};
