// The settings (pause between run steps, server address, server port, how the
// connection is secured, the certificate trusted on purpose, accounts at once,
// how accounts sign in, the Google key file, the manifest, the archive folder)
// and their configuration file: one a line, in that order; the last seven may
// be missing.
#pragma once

#include <string>

#include "imap/SecurityMode.h"
#include "settings/KnownServers.h"
#include "settings/OAuthSettings.h"

// A fixed private-network address, used when there is no configuration file.
inline constexpr const char* kDefaultServerIP = "192.168.1.10";
inline constexpr int kMinPauseMs = 100;
inline constexpr int kMaxPauseMs = 30000;
// How many accounts a run may have in progress at once.
inline constexpr int kMaxParallel = 16;

// The word of line 4 for mode, and back: case and surrounding blanks do not
// count; false for a word that is none of them.
const char* SecurityModeName(SecurityMode mode);
bool ParseSecurityMode(const std::string& word, SecurityMode& mode);

// A SHA-256 fingerprint as 64 upper-case hex digits, colons and case ignored
// on input; "" when text is not one.
std::string NormalizeFingerprint(const std::string& text);
// A fingerprint as an administrator pastes it: blanks, colons, case and the
// "sha256 Fingerprint=" that `openssl x509 -fingerprint -sha256` prints do not
// count; empty text trusts none. False when text is no SHA-256 fingerprint.
bool ParseFingerprintText(const std::string& text, std::string& fingerprint);
// The 64 hex digits of a SHA-256 fingerprint as colon-separated pairs, the way
// `openssl x509 -fingerprint` prints them; other text is returned as it is.
std::string GroupFingerprint(const std::string& hex);

// How accounts sign in: LOGIN with their password, or AUTHENTICATE XOAUTH2
// with the app's access token (Microsoft 365) or with a token of the user's
// own that a Google service account obtains (line 7: "password", "oauth2" or
// "google"). The Configuration form lists them in this order.
enum class AuthMode { Password, OAuth2, Google };

// Accounts sign in with a token: no password is asked or read, and the user
// list's "account;" names an account.
inline bool TokenSignIn(AuthMode auth) {
    return auth != AuthMode::Password;
}

// How the configuration file was found at load. Invalid: read, but a value
// of lines 4 to 7 (or the known-servers file) is none the program knows.
enum class ConfigLoad { Missing, Loaded, Unreadable, NotOurs, Invalid };

struct CSettings {
    // Elapse of both run timers, kMinPauseMs ... kMaxPauseMs when loaded or set
    // in the Configuration dialog.
    int m_nPauseMs = 1000;
    std::string m_strServerIP;
    // Decimal text; converted with atoi when a connection opens.
    std::string m_strPort = "143";
    SecurityMode m_security = SecurityMode::Auto;
    // Normalized (see NormalizeFingerprint); "" when none is trusted.
    std::string m_strTrustedFingerprint;
    // Accounts in progress at once, 1 ... kMaxParallel; 1 is one after another.
    int m_nParallel = 1;
    AuthMode m_auth = AuthMode::Password;
    // With OAuth2: the OAuth file, and why it cannot be used ("" when it can).
    // With Google the file is read only when it exists, for its CA file.
    COAuthSettings m_oauth;
    std::string m_strOAuthProblem;
    // The Google service account's key file (line 8); LoadSettings makes it
    // kGoogleKeyFileName in the data folder when the line is empty.
    std::string m_strGoogleKeyFile;
    // Each run's manifest in the data folder's audit/ (line 9: "off" for none),
    // and the folder a verified copy of each message goes to before it is
    // deleted (line 10, a full path; "" for none).
    bool m_bManifest = true;
    std::string m_strArchiveFolder;
    // The servers met before (see KnownServers.h).
    CKnownServers m_known;
    // What the load had to put right, for the transcript of each run.
    std::string m_strNotice;
    // Why these settings must not steer a run ("" when they may): a line the
    // program does not know, naming the line and its value. Which line (4 to
    // 7; 0 for the known-servers file), for the form that mends it.
    std::string m_strConfigError;
    int m_nConfigErrorLine = 0;

    // The server the settings name, as the known-servers file names it.
    std::string Server() const { return HostPort(m_strServerIP, m_strPort); }
    // The fingerprint trusted for the configured server: line 5, else the
    // known-servers file's.
    std::string Pin() const;
};

// "" when settings may steer a run; else why not (m_strConfigError, or a
// combination no run may use: an access token without TLS).
std::string ConfigurationProblem(const CSettings& settings);

// Reads the configuration file of folder, and the known-servers file. A
// missing file, one that can't be read, and one that is not this program's
// (larger than a few KiB, a line over 1,000 characters, control bytes) give
// the defaults (1000, kDefaultServerIP, "143", auto, none). In a file that is
// read, a missing line reads as empty, the pause is clamped to kMinPauseMs ...
// kMaxPauseMs and a port outside 1 ... 65535 becomes "143" (m_strNotice says
// so). Lines 4 to 7 are trimmed and read without case; empty, they are auto,
// none, 1 and password; any other value they do not know (a security mode, a
// fingerprint, 1 ... kMaxParallel, password, oauth2 or google) makes the load
// Invalid, m_strConfigError naming the line. Line 8 is trimmed; line 9 is on
// (or empty) or off, line 10 empty or a full path, else the load is Invalid. With OAuth2
// the OAuth file is read too (see LoadOAuthSettings), with Google when it
// exists; the Google key is read by each run.
ConfigLoad LoadSettings(const std::string& folder, CSettings& settings);

// Writes the configuration file, creating the folder when it is missing; line 6
// only when more than one account runs at once or line 7 follows, line 7 only
// for OAuth2 and Google or when line 8 follows, line 8 only when the key file
// is not kGoogleKeyFileName in folder or lines 9 and 10 follow, those only when
// the manifest is off or an archive folder is set, so that files stay as they
// were. The OAuth file is written too when any of its values is set. A file is replaced only once
// the new one is complete on disk: on any failure the old file stays as it was and false is
// returned.
bool SaveSettings(const std::string& folder, const CSettings& settings);

// What the Configuration dialog stores on Set: the pause as atoi of its text
// clamped to 100 ... 30000, the address without trailing white space, the port
// as atoi of its text formatted back ("00993" -> "993", "" -> "0"), the
// accounts at once clamped to 1 ... kMaxParallel. The security mode and the
// fingerprint are set by the dialog directly.
void ApplyConfiguration(CSettings& settings, const std::string& pauseText,
                        const std::string& addressText, const std::string& portText,
                        const std::string& parallelText = "1");

// Removes blanks, tabs and line breaks at the end of text only.
std::string TrimRight(std::string text);
// ... at both ends.
std::string Trim(const std::string& text);
