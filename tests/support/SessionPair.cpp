#include "support/SessionPair.h"

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "support/Harness.h"

SessionPair::SessionPair(std::string logPath) : transcript(std::move(logPath)), imap(transcript) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0 || !imap.Attach(fds[0]))
        throw std::runtime_error("socketpair failed");
    m_client = fds[0];
    m_server = fds[1];
}

void SessionPair::Serve(std::string_view bytes, size_t piece) {
    while (!bytes.empty() && imap.IsOpen()) {
        const size_t n = std::min(piece, bytes.size());
        if (::send(m_server, bytes.data(), n, MSG_NOSIGNAL) != static_cast<ssize_t>(n))
            throw std::runtime_error("socket pair refused bytes");
        bytes.remove_prefix(n);
        PumpUntil([&] {
            int unread = 0;
            return !imap.IsOpen() || (::ioctl(m_client, FIONREAD, &unread) == 0 && unread == 0);
        });
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

void SessionPair::HangUp() {
    Sent();  // a close with unread bytes would be a reset
    if (m_server >= 0)
        ::close(m_server);
    m_server = -1;
    PumpUntil([&] { return !imap.IsOpen(); }, 1s);
}
