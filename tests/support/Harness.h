// What every test shares: a private folder, whole-file bytes, and the event
// loop pumped until a condition holds (sockets and timers are served by it).
#pragma once

#include <chrono>
#include <functional>
#include <string>

using namespace std::chrono_literals;

class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

std::string ReadFile(const std::string& path);  // "" when missing
void WriteFile(const std::string& path, const std::string& bytes);

// Dispatches events until cond() holds; false when the deadline came first.
bool PumpUntil(const std::function<bool()>& cond, std::chrono::milliseconds deadline = 10s);
