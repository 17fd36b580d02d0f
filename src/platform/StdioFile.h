// Buffered text-mode file: lines are read without their terminator (CR LF or
// LF) and every LF written reaches the disk as CR LF.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

class CStdioFile {
public:
    enum OpenFlags : unsigned {
        modeRead = 0x1,
        modeWrite = 0x2,
        modeCreate = 0x4,  // with modeWrite: create, or truncate to empty
        modeAppend = 0x8,  // with modeWrite: create when missing, write at the end
    };

    CStdioFile() = default;
    ~CStdioFile() { Close(); }
    CStdioFile(const CStdioFile&) = delete;
    CStdioFile& operator=(const CStdioFile&) = delete;

    bool Open(const std::string& path, unsigned flags);
    // Next line without its terminator; false at the end of the file. A last
    // line without a terminator is returned like the others. NUL bytes are kept.
    bool ReadString(std::string& line);
    // False when a write failed; once failed, the file stays failed.
    bool WriteString(std::string_view text);
    // Pushes buffered bytes to the system and, with durable, to the disk.
    bool Flush(bool durable = false);
    // False when anything written since Open did not reach the file.
    bool Close();
    bool IsOpen() const { return m_fp != nullptr; }
    // A read failed (as opposed to reaching the end).
    bool ReadFailed() const { return m_fp && std::ferror(m_fp); }

private:
    std::FILE* m_fp = nullptr;
    char* m_line = nullptr;
    size_t m_lineCap = 0;
    bool m_failed = false;
};

// Writes text (each LF as CR LF) to path + ".new" and puts it in the place of
// path only once it is complete on disk; with ownerOnly the new file is
// readable by its owner alone before anything is in it. False, with path as
// it was, on any failure.
bool ReplaceTextFile(const std::string& path, std::string_view text, bool ownerOnly = false);
