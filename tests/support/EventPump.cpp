#include "support/EventPump.h"

#include <memory>

#include <wx/evtloop.h>

namespace {
// Owned here, destroyed by ShutdownEventPump while wxWidgets is still alive.
std::unique_ptr<wxEventLoop> loop;

wxEventLoopBase& Loop() {
    if (!wxEventLoopBase::GetActive()) {
        if (!loop)
            loop = std::make_unique<wxEventLoop>();
        wxEventLoopBase::SetActive(loop.get());
    }
    return *wxEventLoopBase::GetActive();
}
}  // namespace

bool PumpUntil(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    wxEventLoopBase& loop = Loop();
    while (!cond()) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= end)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
        loop.DispatchTimeout(static_cast<unsigned long>(std::min<long long>(left, 20)));
        loop.ProcessIdle();
    }
    return true;
}

void PumpFor(std::chrono::milliseconds duration) {
    PumpUntil([] { return false; }, duration);
}

void ShutdownEventPump() {
    if (loop && wxEventLoopBase::GetActive() == loop.get())
        wxEventLoopBase::SetActive(nullptr);
    loop.reset();
}
