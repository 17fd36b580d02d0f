#include "platform/AsyncSocket.h"

#include <cstring>
#include <utility>

#include <wx/evtloop.h>
#include <wx/evtloopsrc.h>

#include "platform/SocketApi.h"
#include "platform/SocketNotifier.h"
#include "platform/TlsSession.h"

#ifndef _WIN32
// The console loop calls only one of the three callbacks per wake-up (on a
// refused connect it is the read one), so every callback does the same work:
// look at the descriptor and act on whatever state it is in.
class CAsyncSocket::Watcher : public wxEventLoopSourceHandler {
public:
    explicit Watcher(CAsyncSocket& owner) : m_owner(owner) {}
    void OnReadWaiting() override { m_owner.Service(); }
    void OnWriteWaiting() override { m_owner.Service(); }
    void OnExceptionWaiting() override { m_owner.Service(); }

private:
    CAsyncSocket& m_owner;
};

CAsyncSocket::CAsyncSocket() : m_watcher(std::make_unique<Watcher>(*this)) {}
#else
CAsyncSocket::CAsyncSocket()
    : m_notifier(std::make_unique<CSocketNotifier>([this](int, int error) {
          if (error != 0 && m_state == State::Connecting)
              m_connectError = error;
          Service();
      })) {}
#endif

CAsyncSocket::~CAsyncSocket() {
    CAsyncSocket::Close();
}

bool CAsyncSocket::Create() {
    Close();
    m_fd = sockapi::NewStream();
    if (m_fd < 0) {
        m_lastError = Error::NotCreated;
        return false;
    }
    m_state = State::Created;
    m_lastError = Error::None;
    return true;
}

bool CAsyncSocket::Attach(int fd) {
    Close();
    if (!sockapi::SetNonBlocking(fd))
        return false;
    m_fd = fd;
    m_state = State::Connected;
    m_lastError = Error::None;
    Watch(true, m_wantSend);
    return true;
}

void CAsyncSocket::SetError(int err) {
    using F = sockapi::Failure;
    switch (sockapi::Classify(err)) {
        case F::None:
            m_lastError = Error::None;
            break;
        case F::WouldBlock:
            m_lastError = Error::WouldBlock;
            break;
        case F::Refused:
            m_lastError = Error::Refused;
            break;
        case F::Unreachable:
            m_lastError = Error::Unreachable;
            break;
        case F::TimedOut:
            m_lastError = Error::TimedOut;
            break;
        case F::Reset:
            m_lastError = Error::Reset;
            break;
        default:
            m_lastError = Error::Other;
            break;
    }
}

bool CAsyncSocket::Connect(const std::string& host, unsigned port) {
    if (m_state != State::Created) {
        m_lastError = Error::NotCreated;
        return false;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        // A name: resolved here, synchronously, as the system resolver does it.
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        if (host.empty() || host.find('\0') != std::string::npos ||
            ::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || res == nullptr) {
            m_lastError = Error::NotResolved;
            return false;
        }
        addr.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
        ::freeaddrinfo(res);
    }
    const auto pending = [](int e) {
        const auto f = sockapi::Classify(e);
        return f == sockapi::Failure::InProgress || f == sockapi::Failure::WouldBlock;
    };
    if (::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
        m_state = State::Connecting;  // completion is still reported through OnConnect
    } else if (const int e = sockapi::LastErrno(); pending(e)) {
        m_state = State::Connecting;
    } else {
        SetError(e);
        return false;
    }
    Watch(true, true);
    return true;
}

void CAsyncSocket::Close() {
    Unwatch();
    if (m_tls) {
        if (m_tlsState == TlsState::Ready)
            m_tls->Shutdown();  // close_notify, once, without waiting
        m_tls.reset();
    }
    m_tlsState = TlsState::None;
    m_readWantsWrite = m_writeWantsRead = false;
    if (m_fd >= 0)
        sockapi::Close(m_fd);
    m_fd = -1;
    m_state = State::Closed;
    m_wantSend = false;
}

int CAsyncSocket::SendToHelper(const void* buf, int len, const sockaddr*, int, int flags) {
    if (m_fd < 0 || m_state != State::Connected) {
        m_lastError = m_fd < 0 ? Error::NotCreated : Error::WouldBlock;
        return -1;
    }
    if (m_tls)
        return SendTls(buf, len);
    if (len <= 0)
        return 0;
    int n, e = 0;
    do {
        n = sockapi::Send(m_fd, buf, len, flags);
    } while (n < 0 && sockapi::Classify(e = sockapi::LastErrno()) == sockapi::Failure::Interrupted);
    if (n < 0) {
        SetError(e);
        return -1;
    }
    return n;
}

int CAsyncSocket::ReceiveFromHelper(void* buf, int len, sockaddr*, int*, int flags) {
    if (m_fd < 0) {
        m_lastError = Error::NotCreated;
        return -1;
    }
    if (m_tls)
        return ReceiveTls(buf, len);
    int n, e = 0;
    do {
        n = sockapi::Recv(m_fd, buf, len, flags);
    } while (n < 0 && sockapi::Classify(e = sockapi::LastErrno()) == sockapi::Failure::Interrupted);
    if (n < 0) {
        SetError(e);
        return -1;
    }
    return n;
}

void CAsyncSocket::RequestSendNotification(bool on) {
    if (m_wantSend == on)
        return;
    m_wantSend = on;
    if (m_state == State::Connected)
        Rewatch();
}

void CAsyncSocket::Rewatch() {
    if (m_fd < 0)
        return;
    if (!m_tls) {
        Watch(true, m_wantSend);
        return;
    }
    switch (m_tlsState) {
        case TlsState::Handshaking:
            Watch(!m_handshakeWrite, m_handshakeWrite);
            break;
        case TlsState::Ready:
            // While SSL_read waits to write, readability would only bring the
            // same WANT_WRITE back in a loop. Bytes OpenSSL already decrypted
            // never make the descriptor readable: writability, nearly always
            // there, brings Service back for them.
            Watch(!m_readWantsWrite,
                  m_readWantsWrite || (m_wantSend && !m_writeWantsRead) || m_tls->HasPending());
            break;
        default:
            Unwatch();
            break;
    }
}

void CAsyncSocket::Watch(bool read, bool write) {
#ifdef _WIN32
    // Winsock notices only changes: reading is always watched, and a notice
    // that finds nothing to do costs one look at the socket.
    (void)read;
    m_notifier->Watch(m_fd, write);
    m_watchedFlags = 1;
#else
    const int flags = (read ? wxEVENT_SOURCE_INPUT : 0) | (write ? wxEVENT_SOURCE_OUTPUT : 0) |
                      wxEVENT_SOURCE_EXCEPTION;
    if (m_source && flags == m_watchedFlags)
        return;
    // The loop cannot change the events of a source: drop it before adding the new one.
    m_source.reset();
    m_source.reset(wxEventLoopBase::AddSourceForFD(m_fd, m_watcher.get(), flags));
    m_watchedFlags = flags;
#endif
}

void CAsyncSocket::Unwatch() {
#ifdef _WIN32
    if (m_fd >= 0)
        m_notifier->Unwatch(m_fd);
#else
    m_source.reset();
#endif
    m_watchedFlags = 0;
}

void CAsyncSocket::Service() {
    if (m_fd < 0)
        return;
    if (m_state == State::Connecting) {
        int err = sockapi::PendingError(m_fd);
        if (err == 0)
            err = std::exchange(m_connectError, 0);
        if (err == 0) {
            sockaddr_in peer{};
            socklen_t plen = sizeof peer;
            if (::getpeername(m_fd, reinterpret_cast<sockaddr*>(&peer), &plen) != 0)
                return;  // still under way
        }
        if (err != 0) {
            SetError(err);
            Unwatch();
            m_state = State::Created;
            OnConnect(err);
            return;
        }
        m_state = State::Connected;
        Watch(true, m_wantSend);
        OnConnect(0);
        if (m_fd < 0)
            return;
    }
    if (m_state != State::Connected)
        return;
    // TCP urgent data is no part of IMAP: it is read and dropped, else the
    // descriptor stays exceptional and the loop comes back to it at once, again
    // and again.
    if (sockapi::UrgentWaiting(m_fd)) {
        char byte;
        sockapi::Recv(m_fd, &byte, 1, MSG_OOB);  // the socket does not block
    }
    if (m_tls) {
        ServiceTls();
        return;
    }
    pollfd p = sockapi::PollFor(m_fd, POLLIN | (m_wantSend ? POLLOUT : 0));
    if (sockapi::Poll(&p, 1, 0) <= 0)
        return;
    if (p.revents & POLLIN) {
        OnReceive(0);
    } else if (p.revents & (POLLHUP | POLLERR)) {
        const int err = sockapi::PendingError(m_fd);
        Unwatch();
        OnClose(err);
        return;
    }
    if (m_tls)
        return;  // STARTTLS went through OnReceive: the handshake owns the watch now
    if (m_fd >= 0 && m_wantSend && (p.revents & POLLOUT)) {
        m_wantSend = false;
        Watch(true, false);
        OnSend(0);
    }
}

// ---------------------------------------------------------------- TLS

bool CAsyncSocket::StartTls(const std::string& host) {
    if (m_fd < 0 || m_state != State::Connected || m_tls) {
        m_lastError = m_fd < 0 ? Error::NotCreated : Error::Other;
        return false;
    }
    m_peer = CTlsPeer();
    m_tls = CTlsSession::Start(m_fd, host);
    if (!m_tls) {
        m_lastError = Error::Other;
        return false;
    }
    m_tlsState = TlsState::Handshaking;
    m_tlsError = Error::None;
    // The first step comes from the loop (the socket is writable at once),
    // never from here: OnTlsReady must not run inside the caller's StartTls.
    m_handshakeWrite = true;
    m_readWantsWrite = m_writeWantsRead = false;
    Rewatch();
    return true;
}

bool CAsyncSocket::IsTls() const {
    return m_tls != nullptr;
}

const CTlsPeer& CAsyncSocket::Peer() const {
    return m_peer;
}

void CAsyncSocket::StepHandshake() {
    const CTlsSession::Result r = m_tls->Handshake();
    if (r == CTlsSession::Result::WantRead || r == CTlsSession::Result::WantWrite) {
        m_handshakeWrite = r == CTlsSession::Result::WantWrite;
        Rewatch();
        return;
    }
    if (r == CTlsSession::Result::Done) {
        m_tls->DescribePeer(&m_peer);
        m_tlsState = TlsState::Ready;
        Rewatch();
        OnTlsReady(true);
        if (m_fd >= 0 && m_tls)
            Rewatch();
        return;
    }
    if (const int err = m_tls->SystemError()) {
        SetError(err);
        m_peer.problem = DescribeError(m_lastError);
    } else {
        m_lastError = Error::Other;
        m_peer.problem =
            r == CTlsSession::Result::Closed ? "connection closed by the server" : m_tls->Failure();
    }
    m_tlsError = m_lastError;
    m_tlsState = TlsState::Failed;
    Unwatch();
    OnTlsReady(false);
}

// After a fatal error OpenSSL must not be called again, not even for close_notify.
void CAsyncSocket::BreakTls() {
    const int err = m_tls->SystemError();
    if (err != 0)
        SetError(err);
    else
        m_lastError = Error::Other;
    m_tlsError = m_lastError;
    m_tlsState = TlsState::Failed;
    Unwatch();  // a broken descriptor stays ready: it would be served in a loop
}

int CAsyncSocket::SendTls(const void* buf, int len) {
    if (m_tlsState != TlsState::Ready) {
        m_lastError = m_tlsState == TlsState::Handshaking ? Error::WouldBlock : m_tlsError;
        return -1;
    }
    if (len <= 0)
        return 0;
    m_writeWantsRead = false;
    int n = 0;
    switch (m_tls->Write(buf, len, &n)) {
        case CTlsSession::Result::Done:
            return n;
        case CTlsSession::Result::WantWrite:
            m_lastError = Error::WouldBlock;
            return -1;
        case CTlsSession::Result::WantRead:
            // Writability would not help: OnSend follows readability instead.
            m_writeWantsRead = true;
            m_lastError = Error::WouldBlock;
            Rewatch();
            return -1;
        case CTlsSession::Result::Closed:
            m_lastError = Error::Reset;
            return -1;
        case CTlsSession::Result::Failed:
            break;
    }
    BreakTls();
    return -1;
}

int CAsyncSocket::ReceiveTls(void* buf, int len) {
    if (m_tlsState != TlsState::Ready) {
        m_lastError = m_tlsState == TlsState::Handshaking ? Error::WouldBlock : m_tlsError;
        return -1;
    }
    if (len <= 0)
        return 0;
    m_readWantsWrite = false;
    int n = 0;
    switch (m_tls->Read(buf, len, &n)) {
        case CTlsSession::Result::Done:
            return n;
        case CTlsSession::Result::WantRead:
            m_lastError = Error::WouldBlock;
            return -1;
        case CTlsSession::Result::WantWrite:
            // OnReceive comes again once the socket takes OpenSSL's bytes.
            m_readWantsWrite = true;
            m_lastError = Error::WouldBlock;
            Rewatch();
            return -1;
        case CTlsSession::Result::Closed:
            return 0;  // close_notify, or a close without it: the same to the caller
        case CTlsSession::Result::Failed:
            break;
    }
    BreakTls();
    return -1;
}

void CAsyncSocket::ServiceTls() {
    if (m_tlsState == TlsState::Handshaking) {
        StepHandshake();
        return;
    }
    if (m_tlsState != TlsState::Ready)
        return;
    pollfd p = sockapi::PollFor(m_fd, POLLIN | POLLOUT);
    if (sockapi::Poll(&p, 1, 0) < 0)
        p.revents = 0;
    const bool readable = (p.revents & POLLIN) != 0;
    const bool writable = (p.revents & POLLOUT) != 0;
    if ((m_readWantsWrite ? writable : readable) || m_tls->HasPending()) {
        OnReceive(0);
    } else if (p.revents & (POLLHUP | POLLERR)) {
        const int err = sockapi::PendingError(m_fd);
        Unwatch();
        OnClose(err);
        return;
    }
    if (m_fd < 0 || !m_tls || m_tlsState != TlsState::Ready)
        return;
    if (m_wantSend && (m_writeWantsRead ? readable : writable)) {
        m_wantSend = false;
        m_writeWantsRead = false;
        Rewatch();
        OnSend(0);
        if (m_fd < 0 || !m_tls)
            return;
    }
    Rewatch();
}

void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnClose(int) {}
void CAsyncSocket::OnTlsReady(bool) {}

const char* CAsyncSocket::DescribeError(Error e) {
    switch (e) {
        case Error::None:
            return "no error";
        case Error::WouldBlock:
            return "would block";
        case Error::NotCreated:
            return "socket could not be created";
        case Error::NotResolved:
            return "server name not resolved";
        case Error::Refused:
            return "connection refused";
        case Error::Unreachable:
            return "server unreachable";
        case Error::TimedOut:
            return "connection timed out";
        case Error::Reset:
            return "connection reset";
        case Error::Other:
            return "network error";
    }
    return "network error";
}
