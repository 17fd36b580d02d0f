#include "support/Harness.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include <wx/evtloop.h>

TempFolder::TempFolder() {
#ifdef _WIN32
    // No mkdtemp: a random name that create_directory made and nobody had.
    std::random_device random;
    const auto base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100 && m_path.empty(); ++attempt) {
        const auto dir = base / ("qdt-" + std::to_string(random()));
        if (std::filesystem::create_directory(dir))
            m_path = dir.u8string();
    }
    if (m_path.empty())
        throw std::runtime_error("no temporary folder");
#else
    char name[] = "/tmp/qdt-XXXXXX";  // short: Dovecot's socket paths must stay short
    if (!::mkdtemp(name))
        throw std::runtime_error("mkdtemp failed");
    m_path = name;
#endif
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
