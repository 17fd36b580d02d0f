// What the run sequencer needs from the window it runs in: two timers, a
// status line, and word of each account's outcome. The main window implements
// it; headless tests use wxTimers.
#pragma once

#include <functional>
#include <string>

#include "platform/AsyncSocket.h"

// The first session's timers; session n has TIMER_STEP + 2n and TIMER_NEXT_USER + 2n.
enum : int {
    TIMER_STEP = 101,       // paces the steps of one account
    TIMER_NEXT_USER = 102,  // the pause after a logout
};
// One past the last timer id of a run of kMaxLanes sessions.
inline constexpr int kMaxLanes = 16;
inline constexpr int kTimerIdEnd = TIMER_STEP + 2 * kMaxLanes;

class IRunHost {
public:
    virtual ~IRunHost() = default;
    // Arms timer id (TIMER_STEP ... kTimerIdEnd - 1) with the elapse in
    // milliseconds; arming an armed id restarts it.
    virtual void SetTimer(int id, int elapseMs) = 0;
    virtual void KillTimer(int id) = 0;
    // Shows text in the status line at once.
    virtual void ShowStatus(const std::string& text) = 0;
    // A run started (its results are empty), result index was added or changed,
    // the run ended (completed or stopped).
    virtual void RunStarted() {}
    virtual void ResultChanged(size_t index) { (void)index; }
    virtual void RunEnded() {}
    // The run met a certificate nobody trusts: shows it (server is
    // "host:port"; pinned the fingerprint trusted for it before, "" when this
    // is a first meeting, else the certificate CHANGED) and calls answer(true)
    // when the administrator trusts it, after storing peer.fingerprint as the
    // server's pin; answer may come later, from the event loop. Without anyone
    // to ask: no.
    virtual void AskTrust(const CTlsPeer& peer, const std::string& server,
                          const std::string& pinned, std::function<void(bool)> answer) {
        (void)peer, (void)server, (void)pinned;
        answer(false);
    }
    // server ("host:port") completed TLS: from now on it gets no password in
    // the clear. Hosts with a data folder write the known-servers file at once.
    virtual void ServerSpokeTls(const std::string& server) { (void)server; }
};
