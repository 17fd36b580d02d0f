// Blocking TCP on 127.0.0.1 for the tests' own peers, the same on POSIX and on
// Winsock (which has no socket pairs and no pipes to poll).
#pragma once

#include "platform/SocketApi.h"

namespace loopback {

// A listening socket on a free port, -1 on failure.
int Listen(unsigned& port, int backlog = 4);
int Accept(int listener);
// Two connected ends: fds[0] connected, fds[1] accepted.
bool Pair(int fds[2]);
// close() then sends RST instead of FIN.
void ResetOnClose(int fd);

}  // namespace loopback
