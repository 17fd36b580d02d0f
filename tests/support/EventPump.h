// Runs the console event loop in tests until a condition holds or time is up.
#pragma once

#include <chrono>
#include <functional>

// Dispatches events until cond() is true; false when the deadline passed first.
bool PumpUntil(const std::function<bool()>& cond,
               std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Dispatches events for the given time.
void PumpFor(std::chrono::milliseconds duration);

// Destroys the loop PumpUntil made; call before wxWidgets is cleaned up.
void ShutdownEventPump();
