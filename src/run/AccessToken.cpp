#include "run/AccessToken.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <utility>

#include <wx/timer.h>

#include "platform/FlatJson.h"
#include "platform/HttpsPost.h"
#include "settings/OAuthSettings.h"

namespace {
std::string FormEscape(const std::string& value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : value) {
        if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
    }
    return out;
}

// One line of at most 300 bytes: what the endpoint says goes into a status line.
std::string OneLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](unsigned char c) { return c < ' ' || c == 0x7F; }, ' ');
    if (text.size() > 300)
        text = text.substr(0, 300) + "...";
    return text;
}
}  // namespace

// Holds a request back until its turn.
class CAccessToken::Delay : public wxTimer {
public:
    std::function<void()> fire;
    void Notify() override { std::exchange(fire, nullptr)(); }
};

CAccessToken::CAccessToken() : m_delay(std::make_unique<Delay>()) {}
CAccessToken::~CAccessToken() = default;

void CAccessToken::Request(const COAuthSettings& oauth,
                           std::function<void(const std::string&)> done) {
    m_token.clear();
    Cancel();
    const auto now = std::chrono::steady_clock::now();
    const auto wait = m_requested ? m_lastRequest + kMinSpacing - now : now - now;
    if (wait.count() > 0) {
        m_delay->fire = [this, oauth, done = std::move(done)]() mutable {
            Send(oauth, std::move(done));
        };
        m_delay->StartOnce(static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(wait).count() + 1));
        return;
    }
    Send(oauth, std::move(done));
}

void CAccessToken::Send(const COAuthSettings& oauth, std::function<void(const std::string&)> done) {
    m_requested = true;
    m_lastRequest = std::chrono::steady_clock::now();
    if (!m_post)
        m_post = std::make_unique<CHttpsPost>();
    const std::string scope = oauth.m_strScope.empty() ? kDefaultOAuthScope : oauth.m_strScope;
    const std::string body =
        "grant_type=client_credentials&client_id=" + FormEscape(oauth.m_strClientId) +
        "&client_secret=" + FormEscape(oauth.m_strClientSecret) + "&scope=" + FormEscape(scope);
    m_post->Start(oauth.m_strTokenUrl, body, oauth.m_strCaFile,
                  [this, secret = oauth.m_strClientSecret,
                   done = std::move(done)](const CHttpsResult& reply) {
                      std::string token;
                      long lifetime = 0;
                      const std::string failure =
                          ReadReply(reply, secret, &token, &lifetime, m_nMinLifetime);
                      if (failure.empty()) {
                          m_token = std::move(token);
                          m_nLifetime = lifetime;
                          // Renewed five minutes before it runs out, or at half
                          // its life when that is shorter.
                          m_renewAt = std::chrono::steady_clock::now() +
                                      std::chrono::seconds(std::max(lifetime - 300, lifetime / 2));
                      }
                      done(failure);
                  });
}

bool CAccessToken::Pending() const {
    return (m_post && m_post->Busy()) || m_delay->IsRunning();
}

void CAccessToken::Cancel() {
    m_delay->Stop();
    m_delay->fire = nullptr;
    if (m_post)
        m_post->Cancel();
}

std::string CAccessToken::Valid() const {
    return std::chrono::steady_clock::now() < m_renewAt ? m_token : std::string();
}

std::string CAccessToken::ReadReply(const CHttpsResult& reply, const std::string& secret,
                                    std::string* token, long* lifetime, long minLifetime) {
    std::string failure;
    const auto members = ParseFlatJson(reply.body);
    const auto member = [&members](const char* name) -> std::string {
        if (!members)
            return {};
        const auto it = members->find(name);
        return it == members->end() ? std::string() : it->second;
    };
    if (!reply.error.empty()) {
        failure = "token endpoint not reached: " + reply.error;
    } else if (reply.status != 200) {
        const std::string error = member("error"), description = member("error_description");
        failure = "token endpoint refused: " +
                  (error.empty() ? "HTTP " + std::to_string(reply.status)
                                 : error + (description.empty() ? "" : ": " + description));
    } else {
        *token = member("access_token");
        const std::string type = member("token_type");
        const bool bearer = type.empty() || type == "Bearer" || type == "bearer";
        // A token is base64url with dots: anything else would break the SASL line.
        const bool plain = !token->empty() && token->size() <= 16384 &&
                           std::all_of(token->begin(), token->end(),
                                       [](unsigned char c) { return c > ' ' && c < 0x7F; });
        if (!bearer || !plain) {
            failure = "token endpoint answered without a bearer token";
        } else {
            const std::string expires = member("expires_in");
            *lifetime = expires.empty()
                            ? 3600
                            : std::clamp(std::strtol(expires.c_str(), nullptr, 10), 0L, 86400L);
            if (*lifetime < minLifetime)
                failure = "token endpoint granted a token for " + std::to_string(*lifetime) +
                          " s, too short to use (at least " + std::to_string(minLifetime) + " s)";
        }
    }
    if (failure.empty())
        return "";
    token->clear();
    // Whatever the endpoint says, the secret never goes further: masked as it
    // is and as the form sent it, before anything is cut.
    for (const std::string& form : {secret, FormEscape(secret)})
        for (size_t at = 0; !form.empty() && (at = failure.find(form, at)) != std::string::npos;
             at += 4)
            failure.replace(at, form.size(), "****");
    return OneLine(std::move(failure));
}
