#include "run/UserToken.h"

#include <cstdio>
#include <utility>

#include <openssl/evp.h>

#include "platform/FlatJson.h"
#include "platform/HttpsPost.h"
#include "run/AccessToken.h"
#include "settings/GoogleKey.h"

namespace {
std::string Base64Url(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                  reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    text.resize(static_cast<size_t>(n));
    while (!text.empty() && text.back() == '=')
        text.pop_back();
    for (char& c : text)
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    return text;
}

// A JSON string: an account named `x","sub":"admin@...` must stay one value.
std::string JsonString(const std::string& value) {
    std::string out = "\"";
    for (const unsigned char c : value) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}
}  // namespace

CUserToken::CUserToken() = default;
CUserToken::~CUserToken() = default;

std::string CUserToken::Assertion(const CGoogleKey& key, const std::string& account,
                                  std::time_t now) {
    const std::string header =
        R"({"alg":"RS256","typ":"JWT","kid":)" + JsonString(key.privateKeyId) + "}";
    const std::string claims =
        "{\"iss\":" + JsonString(key.clientEmail) + ",\"scope\":" + JsonString(kGoogleMailScope) +
        ",\"aud\":" + JsonString(key.tokenUri) + ",\"sub\":" + JsonString(account) +
        ",\"iat\":" + std::to_string(now) + ",\"exp\":" + std::to_string(now + 3600) + "}";
    const std::string input = Base64Url(header) + "." + Base64Url(claims);
    std::string signature;
    const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    size_t size = 0;
    const auto* data = reinterpret_cast<const unsigned char*>(input.data());
    if (!key.privateKey || !ctx ||
        EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key.privateKey.get()) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &size, data, input.size()) != 1)
        return "";
    signature.resize(size);
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(signature.data()), &size, data,
                       input.size()) != 1)
        return "";
    signature.resize(size);
    return input + "." + Base64Url(signature);
}

void CUserToken::Request(const CGoogleKey& key, const std::string& caFile,
                         const std::string& account, std::function<void(const std::string&)> done) {
    m_token.clear();
    if (!m_post)
        m_post = std::make_unique<CHttpsPost>();
    const std::string assertion = Assertion(key, account, std::time(nullptr));
    // base64url and dots need no form escaping.
    m_post->Start(
        key.tokenUri,
        "grant_type=urn%3Aietf%3Aparams%3Aoauth%3Agrant-type%3Ajwt-bearer&assertion=" + assertion,
        caFile, [this, assertion, done = std::move(done)](const CHttpsResult& reply) {
            const std::string failure = ReadReply(reply, assertion, &m_token);
            done(failure);
        });
}

void CUserToken::Cancel() {
    m_token.clear();
    if (m_post)
        m_post->Cancel();
}

std::string CUserToken::Take() {
    return std::exchange(m_token, std::string());
}

std::string CUserToken::ReadReply(const CHttpsResult& reply, const std::string& assertion,
                                  std::string* token) {
    if (reply.error.empty() && reply.status != 200) {
        // What Google answers when the Admin console or the Cloud console
        // needs mending, said so that the administrator knows where.
        const auto members = ParseFlatJson(reply.body);
        const auto member = [&members](const char* name) {
            if (!members)
                return std::string();
            const auto it = members->find(name);
            return it == members->end() ? std::string() : it->second;
        };
        const std::string error = member("error");
        if (error == "unauthorized_client")
            return "domain-wide delegation is not granted for this scope (Admin console › "
                   "Security › API controls)";
        const std::string description = member("error_description");
        if (error == "invalid_grant" &&
            description.find("Invalid JWT Signature") != std::string::npos)
            return "the service account's key was refused (deleted or replaced in the Cloud "
                   "console)";
        // "Invalid JWT: Token must be a short-lived token ...": a clock that is
        // off, which Google's own words say better.
        if (error == "invalid_grant" && description.rfind("Invalid JWT", 0) != 0)
            return "account not found in the domain or not allowed";
    }
    long lifetime = 0;
    return CAccessToken::ReadReply(reply, assertion, token, &lifetime);
}
