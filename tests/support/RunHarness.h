// A run without a window, wired as the main window wires it: wxTimers in the
// test's event loop, and a record of every status line shown.
#pragma once

#include <map>
#include <string>
#include <vector>

#include <wx/timer.h>

#include "imap/ImapSocket.h"
#include "run/RunSequencer.h"
#include "settings/Settings.h"
#include "settings/UserList.h"

struct TestRun : wxEvtHandler, IRunHost {
    // A run against 127.0.0.1:port at a short pause.
    explicit TestRun(unsigned port, int pauseMs = 20);
    // Pumps events until the run has ended; false on the deadline.
    bool WaitForEnd(std::chrono::milliseconds deadline = std::chrono::seconds(20));

    void SetTimer(int id, int elapseMs) override { timers[id].Start(elapseMs); }
    void KillTimer(int id) override { timers[id].Stop(); }
    void ShowStatus(const std::string& text) override { statuses.push_back(text); }
    // Answers with trust, storing the fingerprint when yes.
    void AskTrust(const CTlsPeer& peer, const std::string&, const std::string& pinned,
                  std::function<void(bool)> answer) override {
        changed = !pinned.empty();
        ++asked;
        if (trust)
            settings.m_strTrustedFingerprint = peer.fingerprint;
        answer(trust);
    }
    void ServerSpokeTls(const std::string& server) override {
        settings.m_known.m_servers[server].tls = true;
    }
    int asked = 0;
    bool trust = false;
    bool changed = false;  // the last question was about a certificate that changed

    std::vector<std::string> statuses;
    std::map<int, wxTimer> timers;
    CTranscript transcript;
    CSettings settings;
    CUserList users;
    CRunSequencer sequencer{*this, transcript, settings, users};
};
