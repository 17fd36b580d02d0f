#include "support/HeadlessRunHost.h"

#include "support/EventPump.h"

HeadlessRunHost::HeadlessRunHost() {
    Bind(wxEVT_TIMER, [this](wxTimerEvent& e) {
        if (m_sequencer)
            m_sequencer->OnTimer(e.GetId());
    });
}

HeadlessRunHost::~HeadlessRunHost() {
    for (auto& [id, timer] : m_timers)
        timer->Stop();
}

void HeadlessRunHost::SetTimer(int id, int elapseMs) {
    auto& timer = m_timers[id];
    if (!timer)
        timer = std::make_unique<wxTimer>(this, id);
    elapses.push_back(elapseMs);
    timer->Start(elapseMs);
}

void HeadlessRunHost::KillTimer(int id) {
    auto it = m_timers.find(id);
    if (it != m_timers.end())
        it->second->Stop();
}

bool HeadlessRunHost::IsArmed(int id) const {
    auto it = m_timers.find(id);
    return it != m_timers.end() && it->second->IsRunning();
}

bool HeadlessRun::WaitForEnd(std::chrono::milliseconds deadline) {
    return PumpUntil([this] { return !sequencer.IsRunning(); }, deadline);
}
