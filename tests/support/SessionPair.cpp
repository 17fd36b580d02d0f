#include "support/SessionPair.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "support/Harness.h"

SessionPair::SessionPair(std::string logPath, bool tcp)
    : transcript(std::move(logPath)), imap(transcript) {
    int fds[2] = {-1, -1};
    if (tcp) {
        sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
        socklen_t len = sizeof addr;
        const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::bind(listener, reinterpret_cast<sockaddr*>(&addr), len);
        ::listen(listener, 1);
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
        fds[0] = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ::connect(fds[0], reinterpret_cast<sockaddr*>(&addr), len);
        fds[1] = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ::close(listener);
    } else {
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
    }
    if (fds[1] < 0 || !imap.Attach(fds[0]))
        throw std::runtime_error("no connection for the session");
    m_client = fds[0];
    m_server = fds[1];
}

void SessionPair::Serve(std::string_view bytes, size_t piece) {
    while (!bytes.empty() && imap.IsOpen()) {
        const size_t n = std::min(piece, bytes.size());
        if (::send(m_server, bytes.data(), n, MSG_NOSIGNAL) != static_cast<ssize_t>(n))
            throw std::runtime_error("socket pair refused bytes");
        bytes.remove_prefix(n);
        // Once the bytes are there (over TCP they take a moment), until the
        // session has read them all.
        pollfd readable{m_client, POLLIN, 0};
        ::poll(&readable, 1, 5000);
        PumpUntil([&] { return !imap.IsOpen() || (::poll(&readable, 1, 0) == 0); });
    }
}

std::string SessionPair::Sent() {
    std::string bytes;
    char buf[4096];
    ssize_t n;
    while (m_server >= 0 && (n = ::recv(m_server, buf, sizeof buf, MSG_DONTWAIT)) > 0)
        bytes.append(buf, static_cast<size_t>(n));
    return bytes;
}

void SessionPair::ServeUrgent() {
    ::send(m_server, "!", 1, MSG_OOB | MSG_NOSIGNAL);
    pollfd p{m_client, POLLPRI, 0};
    ::poll(&p, 1, 5000);
}

void SessionPair::HangUp() {
    Sent();  // a close with unread bytes would be a reset
    if (m_server >= 0)
        ::close(m_server);
    m_server = -1;
    PumpUntil([&] { return !imap.IsOpen(); }, 1s);
}
