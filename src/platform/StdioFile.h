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
        // With modeWrite: written at its end (made owner-only when missing),
        // never through a link.
        modeWrite = 0x2,
        modeAppend = 0x8,
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

// text with every LF as CR LF.
std::string ToCrLf(std::string_view text);

// Replaces path with text in CR LF lines, owner-only (see ReplaceFileAtomically).
bool ReplaceTextFile(const std::string& path, std::string_view text);
