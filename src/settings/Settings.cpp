#include "settings/Settings.h"

#include <wx/filename.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/DataFolder.h"
#include "platform/FileSystem.h"
#include "platform/SafeAtoi.h"
#include "platform/StdioFile.h"
#include "settings/GoogleKey.h"

namespace {
constexpr const char* kModeNames[] = {"auto", "starttls", "tls", "none"};
}

const char* SecurityModeName(SecurityMode mode) {
    return kModeNames[static_cast<int>(mode)];
}

namespace {
std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}
}  // namespace

bool ParseSecurityMode(const std::string& word, SecurityMode& mode) {
    const std::string lower = Lower(Trim(word));
    for (int i = 0; i < 4; ++i)
        if (lower == kModeNames[i]) {
            mode = static_cast<SecurityMode>(i);
            return true;
        }
    return false;
}

bool ParseFingerprintText(const std::string& text, std::string& fingerprint) {
    std::string rest = Trim(text);
    // As `openssl x509 -noout -fingerprint -sha256` prints it.
    for (const char* prefix : {"sha256 fingerprint=", "sha2-256 fingerprint="})
        if (Lower(rest.substr(0, std::strlen(prefix))) == prefix)
            rest.erase(0, std::strlen(prefix));
    std::string hex;
    for (const char c : rest)
        if (c != ' ' && c != '\t')
            hex += c;
    fingerprint = NormalizeFingerprint(hex);
    return hex.empty() || !fingerprint.empty();
}

std::string CSettings::Pin() const {
    if (!m_strTrustedFingerprint.empty())
        return m_strTrustedFingerprint;
    const CKnownServer* known = m_known.Find(Server());
    return known ? known->fingerprint : std::string();
}

std::string ConfigurationProblem(const CSettings& settings) {
    if (!settings.m_strConfigError.empty())
        return settings.m_strConfigError;
    if (TokenSignIn(settings.m_auth) && settings.m_security == SecurityMode::None)
        return std::string(
                   "an access token is never sent without TLS: the security (line 4) "
                   "must be auto, starttls or tls for ") +
               (settings.m_auth == AuthMode::Google ? "Google" : "OAuth2") + " sign-in";
    return "";
}

std::string GroupFingerprint(const std::string& hex) {
    if (hex.size() != 64)
        return hex;
    std::string grouped;
    for (size_t i = 0; i < hex.size(); i += 2)
        grouped += (i ? ":" : "") + hex.substr(i, 2);
    return grouped;
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

ConfigLoad LoadSettings(const std::string& folder, CSettings& settings) {
    settings = CSettings();
    settings.m_strServerIP = kDefaultServerIP;
    settings.m_strGoogleKeyFile = DataFilePath(folder, kGoogleKeyFileName);
    settings.m_strConfigError = LoadKnownServers(folder, settings.m_known);
    const std::string path = DataFilePath(folder, kConfigFileName);
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return errno == ENOENT ? ConfigLoad::Missing : ConfigLoad::Unreadable;
    if (!S_ISREG(st.st_mode))
        return ConfigLoad::Unreadable;
    if (st.st_size > 16 * 1024)
        return ConfigLoad::NotOurs;
    CStdioFile file;
    if (!file.Open(path, CStdioFile::modeRead))
        return ConfigLoad::Unreadable;
    std::string lines[10];
    for (std::string& line : lines)
        if (!file.ReadString(line))
            line.clear();
    if (file.ReadFailed())
        return ConfigLoad::Unreadable;
    for (const std::string& line : lines)
        if (line.size() > 1000 || std::any_of(line.begin(), line.end(), [](unsigned char c) {
                return (c < ' ' && c != '\t') || c == 0x7F;
            }))
            return ConfigLoad::NotOurs;
    settings.m_nPauseMs = std::clamp(SafeAtoi(lines[0]), kMinPauseMs, kMaxPauseMs);
    settings.m_strServerIP = lines[1];
    settings.m_strPort = lines[2];
    const int port = SafeAtoi(lines[2]);
    if (port < 1 || port > 65535) {
        // A port that would wrap reaches another service: never connect there.
        settings.m_strNotice =
            "The configured port \"" + lines[2] + "\" is not one of 1 to 65535: port 143 is used.";
        settings.m_strPort = "143";
    }
    // Beyond the first three lines a value the program does not know is an
    // error, never a default: "STARTTLS " must not end up as auto. Every line
    // is read all the same, so that the form mending one keeps the others.
    const auto invalid = [&](int line, const std::string& expected) {
        if (settings.m_nConfigErrorLine != 0)
            return;  // the first one is named
        std::string value = Trim(lines[line - 1]);
        if (value.size() > 80)
            value = value.substr(0, 80) + "...";
        settings.m_strConfigError = "line " + std::to_string(line) + " of " + path + " is \"" +
                                    value + "\", not " + expected;
        settings.m_nConfigErrorLine = line;
    };
    if (!Trim(lines[3]).empty() && !ParseSecurityMode(lines[3], settings.m_security))
        invalid(4, "one of auto, starttls, tls and none");
    if (!ParseFingerprintText(lines[4], settings.m_strTrustedFingerprint))
        invalid(5, "a SHA-256 fingerprint");
    const std::string parallel = Trim(lines[5]);
    if (!parallel.empty()) {
        const int n = SafeAtoi(parallel);
        if (std::to_string(n) != parallel || n < 1 || n > kMaxParallel)
            invalid(6, "a number of accounts at once from 1 to " + std::to_string(kMaxParallel));
        else
            settings.m_nParallel = n;
    }
    const std::string auth = Lower(Trim(lines[6]));
    if (auth == "oauth2") {
        settings.m_auth = AuthMode::OAuth2;
        settings.m_strOAuthProblem = LoadOAuthSettings(folder, settings.m_oauth);
    } else if (auth == "google") {
        settings.m_auth = AuthMode::Google;
        // Its CA line, when the file is there, is whom the token endpoint must prove it is.
        if (InspectFile(DataFilePath(folder, kOAuthFileName)).exists)
            settings.m_strOAuthProblem = LoadOAuthSettings(folder, settings.m_oauth);
    } else if (!auth.empty() && auth != "password") {
        invalid(7, "password, oauth2 or google");
    }
    if (const std::string key = Trim(lines[7]); !key.empty())
        settings.m_strGoogleKeyFile = key;
    // The record of each run is kept unless the file says "off" in so many words.
    const std::string manifest = Lower(Trim(lines[8]));
    if (manifest == "off")
        settings.m_bManifest = false;
    else if (!manifest.empty() && manifest != "on")
        invalid(9, "on or off");
    settings.m_strArchiveFolder = Trim(lines[9]);
    if (!settings.m_strArchiveFolder.empty() &&
        !wxFileName(settings.m_strArchiveFolder).IsAbsolute())
        invalid(10, "a folder's full path");
    return settings.m_strConfigError.empty() ? ConfigLoad::Loaded : ConfigLoad::Invalid;
}

bool SaveSettings(const std::string& folder, const CSettings& settings) {
    EnsureDataFolder(folder);
    if (!settings.m_oauth.IsEmpty() && !SaveOAuthSettings(folder, settings.m_oauth))
        return false;
    const bool key = !settings.m_strGoogleKeyFile.empty() &&
                     settings.m_strGoogleKeyFile != DataFilePath(folder, kGoogleKeyFileName);
    const bool records = !settings.m_bManifest || !settings.m_strArchiveFolder.empty();
    const bool auth = TokenSignIn(settings.m_auth) || key || records;
    std::string text = std::to_string(settings.m_nPauseMs) + "\n" + settings.m_strServerIP + "\n" +
                       settings.m_strPort + "\n" + SecurityModeName(settings.m_security) + "\n" +
                       settings.m_strTrustedFingerprint + "\n";
    if (settings.m_nParallel > 1 || auth)
        text += std::to_string(settings.m_nParallel) + "\n";
    if (auth)
        text += settings.m_auth == AuthMode::OAuth2   ? "oauth2\n"
                : settings.m_auth == AuthMode::Google ? "google\n"
                                                      : "password\n";
    if (key || records)
        text += (key ? settings.m_strGoogleKeyFile : std::string()) + "\n";
    if (records)
        text += std::string(settings.m_bManifest ? "on" : "off") + "\n" +
                settings.m_strArchiveFolder + "\n";
    return ReplaceTextFile(DataFilePath(folder, kConfigFileName), text);
}

void ApplyConfiguration(CSettings& settings, const std::string& pauseText,
                        const std::string& addressText, const std::string& portText,
                        const std::string& parallelText) {
    int pause = SafeAtoi(pauseText);
    if (pause < kMinPauseMs)
        pause = kMinPauseMs;
    if (pause > kMaxPauseMs)
        pause = kMaxPauseMs;
    settings.m_nPauseMs = pause;
    settings.m_strServerIP = TrimRight(addressText);
    settings.m_strPort = std::to_string(SafeAtoi(portText));
    settings.m_nParallel = std::clamp(SafeAtoi(parallelText), 1, kMaxParallel);
}

std::string Trim(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t\r\n");
    return begin == std::string::npos ? std::string() : TrimRight(text.substr(begin));
}

std::string TrimRight(std::string text) {
    const size_t end = text.find_last_not_of(" \t\r\n");
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text;
}
