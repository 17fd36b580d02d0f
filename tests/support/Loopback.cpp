#include "support/Loopback.h"

namespace loopback {

namespace {
#ifdef _WIN32
using Length = int;
int NewSocket() {
    if (!sockapi::Startup())
        return -1;
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, 0);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
}
#else
using Length = socklen_t;
// Not inherited by the Dovecot the suite starts.
int NewSocket() {
    return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
}
#endif

sockaddr_in Loopback(unsigned port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<unsigned short>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}
}  // namespace

int Listen(unsigned& port, int backlog) {
    sockaddr_in addr = Loopback(0);
    Length len = sizeof addr;
    const int fd = NewSocket();
    if (fd < 0)
        return -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        sockapi::Close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

int Accept(int listener) {
#ifdef _WIN32
    const SOCKET s = ::accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? -1 : static_cast<int>(s);
#else
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#endif
}

bool Pair(int fds[2]) {
    unsigned port = 0;
    const int listener = Listen(port, 1);
    if (listener < 0)
        return false;
    const sockaddr_in addr = Loopback(port);
    fds[0] = NewSocket();
    fds[1] = -1;
    if (fds[0] >= 0 &&
        ::connect(fds[0], reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
        fds[1] = Accept(listener);
    sockapi::Close(listener);
    if (fds[1] < 0 && fds[0] >= 0)
        sockapi::Close(fds[0]);
    return fds[1] >= 0;
}

void ResetOnClose(int fd) {
    const linger abort{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof abort);
}

}  // namespace loopback
