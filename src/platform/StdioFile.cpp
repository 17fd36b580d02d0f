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
    size_t start = 0;
    while (start < text.size()) {
        const size_t lf = text.find('\n', start);
        const size_t end = lf == std::string_view::npos ? text.size() : lf;
        if (end > start && std::fwrite(text.data() + start, 1, end - start, m_fp) != end - start)
            m_failed = true;
        if (lf == std::string_view::npos)
            break;
        if (std::fwrite("\r\n", 1, 2, m_fp) != 2)
            m_failed = true;
        start = lf + 1;
    }
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
