#include "settings/Settings.h"

#include <cctype>
#include <cstdio>

#include "platform/DataFolder.h"
#include "platform/SafeAtoi.h"
#include "platform/StdioFile.h"

namespace {
constexpr const char* kModeNames[] = {"auto", "starttls", "tls", "none"};
}

const char* SecurityModeName(SecurityMode mode) {
    return kModeNames[static_cast<int>(mode)];
}

SecurityMode ParseSecurityMode(const std::string& word) {
    for (int i = 0; i < 4; ++i)
        if (word == kModeNames[i])
            return static_cast<SecurityMode>(i);
    return SecurityMode::Auto;
}

std::string NormalizeFingerprint(const std::string& text) {
    std::string hex;
    for (const char c : text) {
        if (c == ':')
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return {};
        hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return hex.size() == 64 ? hex : std::string();
}

void LoadSettings(const std::string& folder, CSettings& settings) {
    settings = CSettings();
    settings.m_strServerIP = kDefaultServerIP;
    CStdioFile file;
    if (!file.Open(DataFilePath(folder, kConfigFileName), CStdioFile::modeRead))
        return;
    std::string lines[5];
    for (std::string& line : lines)
        if (!file.ReadString(line))
            line.clear();
    settings.m_nPauseMs = SafeAtoi(lines[0]);
    settings.m_strServerIP = lines[1];
    settings.m_strPort = lines[2];
    settings.m_security = ParseSecurityMode(lines[3]);
    settings.m_strTrustedFingerprint = NormalizeFingerprint(lines[4]);
    file.Close();
}

bool SaveSettings(const std::string& folder, const CSettings& settings) {
    EnsureDataFolder(folder);
    const std::string path = DataFilePath(folder, kConfigFileName);
    const std::string temp = path + ".new";
    CStdioFile file;
    if (!file.Open(temp, CStdioFile::modeWrite | CStdioFile::modeCreate))
        return false;
    const std::string text = std::to_string(settings.m_nPauseMs) + "\n" + settings.m_strServerIP +
                             "\n" + settings.m_strPort + "\n" +
                             SecurityModeName(settings.m_security) + "\n" +
                             settings.m_strTrustedFingerprint + "\n";
    bool ok = file.WriteString(text);
    ok = file.Flush(true) && ok;
    ok = file.Close() && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

void ApplyConfiguration(CSettings& settings, const std::string& pauseText,
                        const std::string& addressText, const std::string& portText) {
    int pause = SafeAtoi(pauseText);
    if (pause < kMinPauseMs)
        pause = kMinPauseMs;
    if (pause > kMaxPauseMs)
        pause = kMaxPauseMs;
    settings.m_nPauseMs = pause;
    settings.m_strServerIP = TrimRight(addressText);
    settings.m_strPort = std::to_string(SafeAtoi(portText));
}

std::string TrimRight(std::string text) {
    const size_t end = text.find_last_not_of(" \t\r\n");
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text;
}
