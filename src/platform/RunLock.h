// One run at a time per data folder, across processes and programs: a lock on
// a file in the folder, held for the run's whole length and released by the
// system if the process dies (flock on POSIX, LockFileEx on Windows). The file
// says who holds it, so that another run can name the holder.
#pragma once

#include <cstdint>
#include <string>

inline constexpr const char* kRunLockFileName = "RUN_QUEN_DRAVALT.LCK";

class CRunLock {
public:
    CRunLock() = default;
    ~CRunLock() { Release(); }
    CRunLock(const CRunLock&) = delete;
    CRunLock& operator=(const CRunLock&) = delete;

    // Takes the lock of folder for program ("quendravalt-cli"). "" when taken;
    // else why not: "Another run is using FOLDER (PROGRAM, process N, since
    // HH:MM)", or that the lock file cannot be made.
    std::string Acquire(const std::string& folder, const std::string& program);
    void Release();
    bool Held() const { return m_handle != kNone; }

private:
    // The descriptor, or on Windows the HANDLE.
    static constexpr intptr_t kNone = -1;
    intptr_t m_handle = kNone;
};
