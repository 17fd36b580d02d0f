#include "platform/StdioFile.h"

#include <cstdio>
#include <cstdlib>

#include "platform/FileSystem.h"

bool CStdioFile::Open(const std::string& path, unsigned flags) {
    Close();
    if (path.find('\0') != std::string::npos)
        return false;
    m_fp = (flags & modeWrite) ? OpenForAppend(path) : OpenFile(path, "rb");
    m_failed = false;
    return m_fp != nullptr;
}

bool CStdioFile::ReadString(std::string& line) {
    if (!m_fp)
        return false;
    // Byte by byte from stdio's buffer: NUL bytes stay, lines may be any length.
    size_t len = 0;
    for (int c; (c = std::getc(m_fp)) != EOF;) {
        if (len + 1 >= m_lineCap) {
            const size_t cap = m_lineCap ? 2 * m_lineCap : 256;
            char* grown = static_cast<char*>(std::realloc(m_line, cap));
            if (!grown)
                return false;
            m_line = grown;
            m_lineCap = cap;
        }
        m_line[len++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    if (len == 0)
        return false;
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
    if (durable && !m_failed && !SyncFile(m_fp))
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
    std::free(m_line);  // from realloc
    m_line = nullptr;
    m_lineCap = 0;
    m_failed = false;
    return ok;
}

std::string ToCrLf(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() + text.size() / 16);
    for (const char c : text) {
        if (c == '\n')
            bytes += '\r';
        bytes += c;
    }
    return bytes;
}

bool ReplaceTextFile(const std::string& path, std::string_view text) {
    return ReplaceFileAtomically(path, ToCrLf(text), FileAccess::OwnerOnly);
}
