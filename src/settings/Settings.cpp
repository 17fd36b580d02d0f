#include "settings/Settings.h"

#include <cstdio>

#include "platform/DataFolder.h"
#include "platform/SafeAtoi.h"
#include "platform/StdioFile.h"

void LoadSettings(const std::string& folder, CSettings& settings) {
    CStdioFile file;
    if (!file.Open(DataFilePath(folder, kConfigFileName), CStdioFile::modeRead)) {
        settings.m_nPauseMs = 1000;
        settings.m_strServerIP = kDefaultServerIP;
        settings.m_strPort = "143";
        return;
    }
    std::string pause;
    if (!file.ReadString(pause))
        pause.clear();
    if (!file.ReadString(settings.m_strServerIP))
        settings.m_strServerIP.clear();
    if (!file.ReadString(settings.m_strPort))
        settings.m_strPort.clear();
    settings.m_nPauseMs = SafeAtoi(pause);
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
                             "\n" + settings.m_strPort + "\n";
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
