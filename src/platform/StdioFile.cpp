#include "platform/StdioFile.h"

#include <stdio.h>
#include <unistd.h>

#include <cstdlib>

bool CStdioFile::Open(const std::string& path, unsigned flags) {
    Close();
    const char* mode = "rb";
    if (flags & modeWrite)
        mode = (flags & modeAppend) ? "ab" : "wb";
    if (path.find('\0') != std::string::npos)
        return false;
    m_fp = std::fopen(path.c_str(), mode);
    m_failed = false;
    return m_fp != nullptr;
}

bool CStdioFile::ReadString(std::string& line) {
    if (!m_fp)
        return false;
    // getline keeps NUL bytes and grows its buffer for lines of any length.
    const ssize_t n = ::getline(&m_line, &m_lineCap, m_fp);
    if (n <= 0)
        return false;
    size_t len = static_cast<size_t>(n);
    if (m_line[len - 1] == '\n') {
        --len;
        if (len > 0 && m_line[len - 1] == '\r')
            --len;
    }
    line.assign(m_line, len);
    return true;
}

bool CStdioFile::WriteString(std::string_view text) {
    if (!m_fp || m_failed)
        return false;
    // LF becomes CR LF through a local buffer: one fwrite per buffer, not per line.
    char buf[16 * 1024];
    size_t used = 0;
    for (const char c : text) {
        if (used + 2 > sizeof buf) {
            if (std::fwrite(buf, 1, used, m_fp) != used)
                m_failed = true;
            used = 0;
        }
        if (c == '\n')
            buf[used++] = '\r';
        buf[used++] = c;
    }
    if (used > 0 && std::fwrite(buf, 1, used, m_fp) != used)
        m_failed = true;
    return !m_failed;
}

bool CStdioFile::Flush(bool durable) {
    if (!m_fp)
        return false;
    if (std::fflush(m_fp) != 0)
        m_failed = true;
    if (durable && !m_failed && ::fsync(fileno(m_fp)) != 0)
        m_failed = true;
    return !m_failed;
}

bool CStdioFile::Close() {
    bool ok = !m_failed;
    if (m_fp) {
        if (std::fclose(m_fp) != 0)
            ok = false;
        m_fp = nullptr;
    }
    std::free(m_line);  // getline's buffer comes from malloc
    m_line = nullptr;
    m_lineCap = 0;
    m_failed = false;
    return ok;
}
