// What a run needs from the command line: timers in the console event loop,
// one line on standard output per account as soon as it and every account
// before it in the list are done, and the progress on a terminal.
#pragma once

#include <chrono>
#include <cstdio>
#include <map>
#include <string>

#include <wx/event.h>
#include <wx/timer.h>

#include "run/RunHost.h"

class CRunSequencer;
struct CAccountResult;

// The line of one result: account, found, deleted, result, tab-separated;
// "-" for a count not known (deleted, in a dry run).
std::string ResultLine(const CAccountResult& result, bool dryRun);

class CCliHost : public wxEvtHandler, public IRunHost {
public:
    // out: the result lines; progress: a terminal, or nullptr for none.
    CCliHost(std::FILE* out, std::FILE* progress);
    void Attach(CRunSequencer& run) { m_run = &run; }

    void SetTimer(int id, int elapseMs) override;
    void KillTimer(int id) override;
    void ShowStatus(const std::string&) override {}
    void RunStarted() override;
    void ResultChanged(size_t index) override;
    // The progress line gives way to the summary.
    void RunEnded() override;

private:
    void OnTimer(wxTimerEvent& event);
    void ShowProgress();

    std::FILE* m_out;
    std::FILE* m_progress;
    CRunSequencer* m_run = nullptr;
    std::map<int, wxTimer> m_timers;
    size_t m_printed = 0;  // results written to out
    std::chrono::steady_clock::time_point m_start;
};
