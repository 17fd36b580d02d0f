#include "support/SessionPair.h"

#include <algorithm>
#include <stdexcept>

#include "support/Harness.h"
#include "support/Loopback.h"

SessionPair::SessionPair(std::string logPath, bool tcp)
    : transcript(std::move(logPath)), imap(transcript) {
    int fds[2] = {-1, -1};
#ifdef _WIN32
    tcp = true;
#else
    if (!tcp)
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
#endif
    if (tcp)
        loopback::Pair(fds);
    if (fds[1] < 0 || !imap.Attach(fds[0]))
        throw std::runtime_error("no connection for the session");
    m_client = fds[0];
    m_server = fds[1];
}

SessionPair::~SessionPair() {
    if (m_server >= 0)
        sockapi::Close(m_server);
}

// Bytes wait to be read on fd, within ms.
static bool Readable(int fd, int ms) {
    pollfd p = sockapi::PollFor(fd, POLLIN);
    return sockapi::Poll(&p, 1, ms) > 0;
}

void SessionPair::Serve(std::string_view bytes, size_t piece) {
    while (!bytes.empty() && imap.IsOpen()) {
        const size_t n = std::min(piece, bytes.size());
        if (sockapi::Send(m_server, bytes.data(), static_cast<int>(n)) != static_cast<int>(n))
            throw std::runtime_error("socket pair refused bytes");
        bytes.remove_prefix(n);
        // Once the bytes are there (over TCP they take a moment), until the
        // session has read them all.
        Readable(m_client, 5000);
        PumpUntil([&] { return !imap.IsOpen() || !Readable(m_client, 0); });
    }
}

std::string SessionPair::Sent() {
    std::string bytes;
    char buf[4096];
    int n;
    while (m_server >= 0 && Readable(m_server, 0) &&
           (n = sockapi::Recv(m_server, buf, sizeof buf)) > 0)
        bytes.append(buf, static_cast<size_t>(n));
    return bytes;
}

#ifndef _WIN32
void SessionPair::ServeUrgent() {
    ::send(m_server, "!", 1, MSG_OOB | MSG_NOSIGNAL);
    pollfd p{m_client, POLLPRI, 0};
    ::poll(&p, 1, 5000);
}
#endif

void SessionPair::HangUp() {
    Sent();  // a close with unread bytes would be a reset
    if (m_server >= 0)
        sockapi::Close(m_server);
    m_server = -1;
    PumpUntil([&] { return !imap.IsOpen(); }, 1s);
}
