// Windows only: word from Winsock that a socket may have become readable or
// writable, may have connected or closed, on the thread that runs the event
// loop. wxWidgets watches descriptors only on Unix; here Winsock posts to a
// hidden message-only window (WSAAsyncSelect) whose messages whichever wx loop
// runs dispatches. A notice only says "look": the owner checks the socket.
#pragma once

#include <functional>
#include <set>

class CSocketNotifier {
public:
    // ready(socket, error): error is what Winsock said came of a connect (0: it
    // did, or the notice is of something else).
    explicit CSocketNotifier(std::function<void(int socket, int error)> ready);
    ~CSocketNotifier();  // watches nothing after it
    CSocketNotifier(const CSocketNotifier&) = delete;
    CSocketNotifier& operator=(const CSocketNotifier&) = delete;

    // Reading, urgent data, connecting and closing are always watched;
    // writing when write, with one notice at once for a socket that is
    // already writable (Winsock tells only of a change).
    void Watch(int socket, bool write);
    void Unwatch(int socket);

    // For the window: the socket's owner, or nullptr for one nobody watches.
    static CSocketNotifier* Owner(int socket);
    void Notify(int socket, int error) { m_ready(socket, error); }

private:
    std::function<void(int, int)> m_ready;
    std::set<int> m_sockets;
};
