// The run sequencer's window services without a window: wxTimers in the
// console event loop, and a record of every status line shown.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include <wx/event.h>
#include <wx/timer.h>

#include "frame/RunHost.h"
#include "frame/RunSequencer.h"
#include "imap/ImapSocket.h"
#include "imap/Transcript.h"
#include "settings/Settings.h"
#include "settings/UserList.h"

class HeadlessRunHost : public wxEvtHandler, public IRunHost {
public:
    HeadlessRunHost();
    ~HeadlessRunHost() override;

    void SetSequencer(CRunSequencer* sequencer) { m_sequencer = sequencer; }
    void SetTimer(int id, int elapseMs) override;
    void KillTimer(int id) override;
    void ShowStatus(const std::string& text) override { statuses.push_back(text); }
    bool IsArmed(int id) const;

    std::vector<std::string> statuses;
    std::vector<int> elapses;  // every elapse armed, in order

private:
    CRunSequencer* m_sequencer = nullptr;
    std::map<int, std::unique_ptr<wxTimer>> m_timers;
};

// Everything a run needs, wired together as the main window wires it.
struct HeadlessRun {
    explicit HeadlessRun(std::string logPath = {})
        : transcript(std::move(logPath)),
          socket(transcript),
          sequencer(host, socket, transcript, settings, users) {
        host.SetSequencer(&sequencer);
    }
    ~HeadlessRun() { socket.Close(); }

    // Pumps the event loop until the run has ended or the deadline passed.
    bool WaitForEnd(std::chrono::milliseconds deadline = std::chrono::seconds(60));

    CTranscript transcript;
    CSettings settings;
    CUserList users;
    HeadlessRunHost host;
    CImapSocket socket;
    CRunSequencer sequencer;
};
