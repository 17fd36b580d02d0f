#include "run/AccessToken.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

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

CAccessToken::CAccessToken() = default;
CAccessToken::~CAccessToken() = default;

void CAccessToken::Request(const COAuthSettings& oauth,
                           std::function<void(const std::string&)> done) {
    m_token.clear();
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
                      const std::string failure = ReadReply(reply, secret, &token, &lifetime);
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
    return m_post && m_post->Busy();
}

void CAccessToken::Cancel() {
    if (m_post)
        m_post->Cancel();
}

std::string CAccessToken::Valid() const {
    return std::chrono::steady_clock::now() < m_renewAt ? m_token : std::string();
}

std::string CAccessToken::ReadReply(const CHttpsResult& reply, const std::string& secret,
                                    std::string* token, long* lifetime) {
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
                            : std::clamp(std::strtol(expires.c_str(), nullptr, 10), 1L, 86400L);
        }
    }
    if (failure.empty())
        return "";
    token->clear();
    // Whatever the endpoint says, the secret never goes further.
    failure = OneLine(std::move(failure));
    for (size_t at = 0; !secret.empty() && (at = failure.find(secret, at)) != std::string::npos;
         at += 4)
        failure.replace(at, secret.size(), "****");
    return failure;
}
