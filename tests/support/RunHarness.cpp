#include "support/RunHarness.h"

#include "support/Harness.h"

TestRun::TestRun(unsigned port, int pauseMs) {
    for (int id = TIMER_STEP; id < kTimerIdEnd; ++id)  // every lane's pair
        timers[id].SetOwner(this, id);
    Bind(wxEVT_TIMER, [this](wxTimerEvent& e) { sequencer.OnTimer(e.GetId()); });
    settings.m_nPauseMs = pauseMs;
    settings.m_strServerIP = "127.0.0.1";
    settings.m_strPort = std::to_string(port);
}

bool TestRun::WaitForEnd(std::chrono::milliseconds deadline) {
    return PumpUntil([this] { return !sequencer.IsRunning(); }, deadline);
}
