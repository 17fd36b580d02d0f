// The socket calls the platform layer makes, the same on POSIX and on Winsock.
// Handles are kept as int: Winsock's are small kernel handle values.
#pragma once

#ifdef _WIN32
// Without wincrypt.h, whose X509_NAME and friends would shadow OpenSSL's.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace sockapi {

// What went wrong, independent of errno and WSAGetLastError.
enum class Failure {
    None,
    WouldBlock,
    Interrupted,
    InProgress,
    Refused,
    Unreachable,
    TimedOut,
    Reset,
    Other
};

#ifdef _WIN32
// WSAStartup, once a process.
inline bool Startup() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}
inline int LastErrno() {
    return ::WSAGetLastError();
}
inline Failure Classify(int e) {
    switch (e) {
        case 0:
            return Failure::None;
        case WSAEWOULDBLOCK:
            return Failure::WouldBlock;
        case WSAEINTR:
            return Failure::Interrupted;
        case WSAEINPROGRESS:
        case WSAEALREADY:
            return Failure::InProgress;
        case WSAECONNREFUSED:
            return Failure::Refused;
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH:
        case WSAEADDRNOTAVAIL:
            return Failure::Unreachable;
        case WSAETIMEDOUT:
            return Failure::TimedOut;
        case WSAECONNRESET:
        case WSAECONNABORTED:
        case WSAESHUTDOWN:
            return Failure::Reset;
        default:
            return Failure::Other;
    }
}
inline int NewStream() {
    if (!Startup())
        return -1;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return -1;
    u_long on = 1;
    ::ioctlsocket(s, FIONBIO, &on);
    return static_cast<int>(s);
}
inline bool SetNonBlocking(int s) {
    u_long on = 1;
    return ::ioctlsocket(static_cast<SOCKET>(s), FIONBIO, &on) == 0;
}
inline void Close(int s) {
    ::closesocket(static_cast<SOCKET>(s));
}
inline int Send(int s, const void* buf, int len, int flags = 0) {
    return ::send(static_cast<SOCKET>(s), static_cast<const char*>(buf), len, flags);
}
inline int Recv(int s, void* buf, int len, int flags = 0) {
    return ::recv(static_cast<SOCKET>(s), static_cast<char*>(buf), len, flags);
}
inline int Poll(pollfd* fds, unsigned n, int ms) {
    return ::WSAPoll(fds, n, ms);
}
inline pollfd PollFor(int s, int events) {
    return pollfd{static_cast<SOCKET>(s), static_cast<short>(events), 0};
}
inline int PendingError(int s) {
    int err = 0;
    int len = sizeof err;
    if (::getsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err),
                     &len) != 0)
        return LastErrno();
    return err;
}
// Urgent data waits to be read (TCP urgent data is no part of IMAP).
inline bool UrgentWaiting(int s) {
    u_long atMark = 1;
    return ::ioctlsocket(static_cast<SOCKET>(s), SIOCATMARK, &atMark) == 0 && !atMark;
}
#else
inline bool Startup() {
    return true;
}
inline int LastErrno() {
    return errno;
}
inline Failure Classify(int e) {
    switch (e) {
        case 0:
            return Failure::None;
        case EAGAIN:
#if EWOULDBLOCK != EAGAIN
        case EWOULDBLOCK:
#endif
            return Failure::WouldBlock;
        case EINTR:
            return Failure::Interrupted;
        case EINPROGRESS:
            return Failure::InProgress;
        case ECONNREFUSED:
            return Failure::Refused;
        case ENETUNREACH:
        case EHOSTUNREACH:
        case EADDRNOTAVAIL:
            return Failure::Unreachable;
        case ETIMEDOUT:
            return Failure::TimedOut;
        case ECONNRESET:
        case EPIPE:
            return Failure::Reset;
        default:
            return Failure::Other;
    }
}
inline int NewStream() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}
inline bool SetNonBlocking(int s) {
    const int fl = ::fcntl(s, F_GETFL);
    return fl >= 0 && ::fcntl(s, F_SETFL, fl | O_NONBLOCK) == 0;
}
inline void Close(int s) {
    ::close(s);
}
// A server that went away must not raise SIGPIPE and end the program.
inline int Send(int s, const void* buf, int len, int flags = 0) {
    return static_cast<int>(::send(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL));
}
inline int Recv(int s, void* buf, int len, int flags = 0) {
    return static_cast<int>(::recv(s, buf, static_cast<size_t>(len), flags));
}
inline int Poll(pollfd* fds, unsigned n, int ms) {
    return ::poll(fds, n, ms);
}
inline pollfd PollFor(int s, int events) {
    return pollfd{s, static_cast<short>(events), 0};
}
inline int PendingError(int s) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return errno;
    return err;
}
inline bool UrgentWaiting(int s) {
    pollfd urgent{s, POLLPRI, 0};
    return ::poll(&urgent, 1, 0) > 0 && (urgent.revents & POLLPRI);
}
#endif

}  // namespace sockapi
