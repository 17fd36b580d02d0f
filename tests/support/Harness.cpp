#include "support/Harness.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include <wx/evtloop.h>

TempFolder::TempFolder() {
    char name[] = "/tmp/qdt-XXXXXX";  // short: Dovecot's socket paths must stay short
    if (!::mkdtemp(name))
        throw std::runtime_error("mkdtemp failed");
    m_path = name;
}

TempFolder::~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool PumpUntil(const std::function<bool()>& cond, std::chrono::milliseconds deadline) {
    // The test's own loop unless one runs already (a GUI test inside a modal form).
    static wxEventLoop* const own = new wxEventLoop;  // kept: wx outlives the tests
    if (!wxEventLoopBase::GetActive())
        wxEventLoopBase::SetActive(own);
    wxEventLoopBase& loop = *wxEventLoopBase::GetActive();
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        loop.DispatchTimeout(10);
        loop.ProcessIdle();
    }
    return true;
}
