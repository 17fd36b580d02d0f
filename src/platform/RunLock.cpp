#include "platform/RunLock.h"

#include <cstdio>
#include <ctime>

#include "platform/DataFolder.h"
#include "platform/FileSystem.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace {
// "quendravalt-cli 4711 02:00": who holds it, for the one who does not get it.
std::string Holder(const std::string& program) {
#ifdef _WIN32
    const unsigned long pid = ::GetCurrentProcessId();
#else
    const unsigned long pid = static_cast<unsigned long>(::getpid());
#endif
    std::tm local{};
    char since[16] = "?";
    if (LocalTime(std::time(nullptr), &local))
        std::strftime(since, sizeof since, "%H:%M", &local);
    return program + " " + std::to_string(pid) + " " + since + "\n";
}

std::string Busy(const std::string& folder, const std::string& holder) {
    char program[64] = "", since[16] = "";
    unsigned long pid = 0;
    if (std::sscanf(holder.c_str(), "%63s %lu %15s", program, &pid, since) != 3)
        return "Another run is using " + folder;
    return "Another run is using " + folder + " (" + program + ", process " + std::to_string(pid) +
           ", since " + since + ")";
}
}  // namespace

#ifdef _WIN32
std::string CRunLock::Acquire(const std::string& folder, const std::string& program) {
    Release();
    EnsureDataFolder(folder);
    const std::string path = DataFilePath(folder, kRunLockFileName);
    HANDLE file = ::CreateFileW(WidePath(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "the lock file " + path + " cannot be made";
    // A byte far beyond the text is locked: the holder's line stays readable.
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFF0u;
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        char text[128] = "";
        DWORD read = 0;
        ::ReadFile(file, text, sizeof text - 1, &read, nullptr);
        ::CloseHandle(file);
        return Busy(folder, std::string(text, read));
    }
    const std::string holder = Holder(program);
    DWORD wrote = 0;
    ::SetEndOfFile(file);
    ::WriteFile(file, holder.data(), static_cast<DWORD>(holder.size()), &wrote, nullptr);
    ::SetEndOfFile(file);
    m_handle = reinterpret_cast<intptr_t>(file);
    return "";
}

void CRunLock::Release() {
    if (m_handle == kNone)
        return;
    ::CloseHandle(reinterpret_cast<HANDLE>(m_handle));  // the lock goes with the handle
    m_handle = kNone;
}
#else
std::string CRunLock::Acquire(const std::string& folder, const std::string& program) {
    Release();
    EnsureDataFolder(folder);
    const std::string path = DataFilePath(folder, kRunLockFileName);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return "the lock file " + path + " cannot be made";
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        char text[128] = "";
        const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        ::close(fd);
        return Busy(folder, std::string(text, n > 0 ? static_cast<size_t>(n) : 0));
    }
    const std::string holder = Holder(program);
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, holder.data(), holder.size(), 0) < 0) {
        // Held all the same: only the name of the holder is missing.
    }
    m_handle = fd;
    return "";
}

void CRunLock::Release() {
    if (m_handle == kNone)
        return;
    ::close(static_cast<int>(m_handle));  // the lock goes with the descriptor
    m_handle = kNone;
}
#endif
