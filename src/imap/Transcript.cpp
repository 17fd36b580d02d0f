#include "imap/Transcript.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/FileSystem.h"
#include "platform/StdioFile.h"

void CTranscript::Append(std::string_view text) {
    if (text.empty() || m_logPath.empty())
        return;
    if (m_bHold) {
        m_held += text;
        if (m_held.size() >= kHoldLimit) {
            if (!m_spilledAt)
                m_spilledAt = Size();
            Write(m_held);
            m_held.clear();
        }
        return;
    }
    Write(text);
}

void CTranscript::AppendServerText(std::string_view text) {
    const uint64_t before = m_serverBytes;
    m_serverBytes += text.size();
    if (before >= kServerTextCap)
        return;
    text = text.substr(
        0, static_cast<size_t>(std::min<uint64_t>(text.size(), kServerTextCap - before)));
    const auto control = [](unsigned char c) {
        return (c < ' ' && c != '\r' && c != '\n' && c != '\t') || c == 0x7F;
    };
    if (std::none_of(text.begin(), text.end(), control)) {
        Append(text);
        return;
    }
    static const char kHex[] = "0123456789ABCDEF";
    std::string shown;
    shown.reserve(text.size() + 16);
    for (const unsigned char c : text) {
        if (control(c)) {
            shown += "\\x";
            shown += kHex[c >> 4];
            shown += kHex[c & 15];
        } else {
            shown += static_cast<char>(c);
        }
    }
    Append(shown);
}

void CTranscript::EndAccount() {
    if (m_serverBytes > kServerTextCap)
        Append("\n[" + std::to_string(m_serverBytes - kServerTextCap) +
               " more bytes from the server were not logged]\n");
    m_serverBytes = 0;
}

void CTranscript::Write(std::string_view text) const {
    // Opened and closed per append: no file stays open between two events. A
    // log that cannot be written (folder missing, disk full) never stops a run.
    CStdioFile file;
    if (file.Open(m_logPath, CStdioFile::modeWrite | CStdioFile::modeAppend)) {
        file.WriteString(text);
        file.Close();
    }
}

std::string CTranscript::KeptLogPath(const std::string& logPath, int n) {
    const size_t slash = logPath.rfind('/');
    const size_t dot = logPath.rfind('.');
    const size_t at = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                          ? logPath.size()
                          : dot;
    return logPath.substr(0, at) + "." + std::to_string(n) + logPath.substr(at);
}

void CTranscript::StartNew() {
    if (m_logPath.empty())
        return;
    std::error_code error;
    if (std::filesystem::exists(m_logPath, error)) {
        for (int n = kKeptLogs - 1; n >= 1; --n) {
            const std::string older = KeptLogPath(m_logPath, n);
            if (std::filesystem::exists(older, error))
                MoveReplacing(older, KeptLogPath(m_logPath, n + 1));
        }
        if (!MoveReplacing(m_logPath, KeptLogPath(m_logPath, 1)))
            return;  // appended to rather than lost
    }
    // Made anew for its owner only; a link planted in its place is not followed.
    std::remove(m_logPath.c_str());
    CreateExclusive(m_logPath);
}

uint64_t CTranscript::Size() const {
    std::error_code error;
    const auto size = std::filesystem::file_size(m_logPath, error);
    return error ? 0 : static_cast<uint64_t>(size);
}

std::string CTranscript::Read(uint64_t begin, uint64_t end, size_t limit) const {
    std::ifstream in(m_logPath, std::ios::binary);
    if (!in || end <= begin)
        return {};
    const auto read = [&in](uint64_t from, uint64_t length) {
        std::string bytes(static_cast<size_t>(length), '\0');
        in.seekg(static_cast<std::streamoff>(from));
        in.read(bytes.data(), static_cast<std::streamsize>(length));
        bytes.resize(static_cast<size_t>(std::max<std::streamsize>(in.gcount(), 0)));
        in.clear();
        return bytes;
    };
    if (end - begin <= limit)
        return read(begin, end - begin);
    const uint64_t half = limit / 2;
    return read(begin, half) + "\r\n[... " + std::to_string(end - begin - 2 * half) +
           " bytes left out ...]\r\n" + read(end - half, half);
}
