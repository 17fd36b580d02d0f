#include "support/TokenServer.h"

#include <arpa/inet.h>
#include <signal.h>
#include <strings.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>
#include <stdexcept>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "platform/FlatJson.h"

namespace {
constexpr size_t kMaxRequest = 64 * 1024;
using UChar = unsigned char;
constexpr const char* kKeyId = "3f1c0e7d2b9a48c6a1d5e0f7b2c4d6e8f0a1b2c3";
constexpr const char* kServiceAccount = "cleaner@quendravalt-test.iam.gserviceaccount.com";

// application/x-www-form-urlencoded: '&'-separated name=value, %XX and '+' for space.
std::map<std::string, std::string> ParseForm(const std::string& body) {
    std::map<std::string, std::string> form;
    std::string name, value, *to = &name;
    for (size_t i = 0; i <= body.size(); ++i) {
        const char c = i < body.size() ? body[i] : '&';
        if (c == '&') {
            form[name] = value;
            name.clear(), value.clear(), to = &name;
        } else if (c == '=' && to == &name) {
            to = &value;
        } else if (c == '%' && i + 2 < body.size() && std::isxdigit(UChar(body[i + 1])) &&
                   std::isxdigit(UChar(body[i + 2]))) {
            *to += static_cast<char>(std::stoi(body.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            *to += c == '+' ? ' ' : c;
        }
    }
    return form;
}

// base64url, about as long as a real access token (a signed JWT), so that the
// login line is too.
std::string NewToken() {
    unsigned char random[1100];
    unsigned char text[sizeof random * 4 / 3 + 4];
    RAND_bytes(random, sizeof random);
    std::string token(reinterpret_cast<char*>(text), EVP_EncodeBlock(text, random, sizeof random));
    for (char& c : token)
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    return token.substr(0, token.find('='));
}
}  // namespace

std::string Base64UrlDecode(std::string text) {
    for (char& c : text)
        c = c == '-' ? '+' : c == '_' ? '/' : c;
    const size_t pad = (4 - text.size() % 4) % 4;
    text.append(pad, '=');
    std::string bytes(text.size(), '\0');
    const int n =
        EVP_DecodeBlock(reinterpret_cast<UChar*>(bytes.data()),
                        reinterpret_cast<const UChar*>(text.data()), static_cast<int>(text.size()));
    return n < 0 || pad == 3 ? "" : bytes.substr(0, static_cast<size_t>(n) - pad);
}

void TokenServer::WriteServiceAccountKey(const std::string& path, bool genuine) {
    std::lock_guard lock(m_mutex);
    auto& key = m_keys[genuine ? 0 : 1];
    if (!key)
        key.reset(EVP_RSA_gen(2048), EVP_PKEY_free);
    const std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char* pem = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &pem);
    std::string json = R"({"type": "service_account", "private_key_id": ")" + std::string(kKeyId) +
                       R"(", "private_key": ")";
    for (const char c : std::string(pem, static_cast<size_t>(size)))
        json += c == '\n' ? std::string("\\n") : std::string(1, c);
    WriteFile(path, json + R"(", "client_email": ")" + kServiceAccount + R"(", "token_uri": ")" +
                        TokenUrl() + "\"}\n");
    ::chmod(path.c_str(), 0600);
}

std::string TokenServer::CertFingerprint() const {
    std::string hex;
    if (FILE* file = std::fopen(CertFile().c_str(), "r")) {
        if (X509* cert = PEM_read_X509(file, nullptr, nullptr, nullptr)) {
            unsigned char md[EVP_MAX_MD_SIZE];
            unsigned len = 0;
            X509_digest(cert, EVP_sha256(), md, &len);
            for (unsigned i = 0; i < len; ++i) {
                char pair[3];
                std::snprintf(pair, sizeof pair, "%02X", md[i]);
                hex += pair;
            }
            X509_free(cert);
        }
        std::fclose(file);
    }
    return hex;
}

TokenServer::TokenServer(std::string clientId, std::string clientSecret, std::string domain)
    : m_clientId(std::move(clientId)),
      m_clientSecret(std::move(clientSecret)),
      m_domain(std::move(domain)),
      m_ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free) {
    // clang-format off
    const std::string req = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 -subj /CN=";
    const std::string make = "cd " + m_folder.Path() + " && { " +
        req + "CA -keyout ca.key -out ca.pem && " + req + "Other -keyout other.key -out other.pem && " +
        req + "127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -addext basicConstraints=CA:FALSE" +
        " -CA ca.pem -CAkey ca.key -keyout server.key -out server.pem; } >/dev/null 2>&1";
    // clang-format on
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t len = sizeof addr;
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (std::system(make.c_str()) != 0 ||
        SSL_CTX_use_certificate_file(m_ctx.get(), m_folder.File("server.pem").c_str(),
                                     SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_use_PrivateKey_file(m_ctx.get(), m_folder.File("server.key").c_str(),
                                    SSL_FILETYPE_PEM) != 1 ||
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(m_listener, 8) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(m_listener);
        throw std::runtime_error("token server: no certificate or no listener");
    }
    m_port = ntohs(addr.sin_port);
    m_thread = std::thread([this] {
        // A client that hangs up makes our writes fail with EPIPE, not end the tests.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        ::pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        // Until shutdown() in the destructor makes accept() fail.
        for (int fd;
             (fd = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 || errno == EINTR;)
            if (fd >= 0) {
                Serve(fd);
                ::close(fd);
            }
    });
}

TokenServer::~TokenServer() {
    ::shutdown(m_listener, SHUT_RDWR);
    m_thread.join();
    ::close(m_listener);
}

std::string TokenServer::LastTokenRequest() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastTokenRequest;
}

void TokenServer::Serve(int fd) {
    const timeval wait{2, 0};  // a silent client holds up no later one for long
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    const std::unique_ptr<SSL, void (*)(SSL*)> ssl(SSL_new(m_ctx.get()), SSL_free);
    SSL_set_fd(ssl.get(), fd);
    if (SSL_accept(ssl.get()) != 1)
        return;  // e.g. the client did not trust the certificate
    std::string in;
    size_t head = std::string::npos, length = 0;
    char chunk[4096];
    for (int n; in.size() < kMaxRequest && (head == std::string::npos || in.size() < length);) {
        if ((n = SSL_read(ssl.get(), chunk, sizeof chunk)) <= 0)
            return;
        in.append(chunk, static_cast<size_t>(n));
        if (head == std::string::npos && (head = in.find("\r\n\r\n")) != std::string::npos) {
            head += 4;
            length = head;
            for (size_t at = in.find('\n'); at < head; at = in.find('\n', at + 1))
                if (strncasecmp(in.c_str() + at + 1, "content-length:", 15) == 0)
                    length += std::strtoul(in.c_str() + at + 16, nullptr, 10);
        }
    }
    if (head == std::string::npos || in.size() < length)
        return;
    const size_t space = in.find(' ');
    const std::string path = in.compare(0, space, "POST") == 0
                                 ? in.substr(space + 1, in.find(' ', space + 1) - space - 1)
                                 : "";
    const auto [status, json] = Answer(path, in.substr(head, length - head));
    const std::string out =
        "HTTP/1.1 " + status +
        "\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: " +
        std::to_string(json.size()) + "\r\nConnection: close\r\n\r\n" + json;
    SSL_write(ssl.get(), out.data(), static_cast<int>(out.size()));
    SSL_shutdown(ssl.get());
}

std::pair<std::string, std::string> TokenServer::Answer(const std::string& path,
                                                        const std::string& body) {
    auto form = ParseForm(body);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (path == "/introspect") {
        ++m_introspections;
        if (!m_tokens.count(form["token"]))
            return {"200 OK", R"({"active":false})"};
        // Dovecot applies its username_format (%Ld or %Lu) to this name as to the login's.
        const auto user = m_users.find(form["token"]);
        return {"200 OK", R"({"active":true,"username":")" +
                              (user != m_users.end() ? user->second : m_clientId + "@" + m_domain) +
                              "\"}"};
    }
    if (path != "/token")
        return {"404 Not Found", R"({"error":"not_found"})"};
    ++m_tokenRequests;
    m_lastTokenRequest = body;
    if (form["grant_type"] == "urn:ietf:params:oauth:grant-type:jwt-bearer")
        return JwtBearer(form["assertion"]);
    if (form["grant_type"] != "client_credentials")
        return {"400 Bad Request",
                R"({"error":"unsupported_grant_type","error_description":)"
                R"("AADSTS70003: The app requested an unsupported grant type."})"};
    if (form["client_id"] != m_clientId || form["client_secret"] != m_clientSecret)
        return {"401 Unauthorized", R"({"error":"invalid_client","error_description":)"
                                    R"("AADSTS7000215: Invalid client secret provided."})"};
    const std::string token = *m_tokens.insert(NewToken()).first;
    return {"200 OK", R"({"token_type":"Bearer","expires_in":)" + std::to_string(lifetime) +
                          R"(,"access_token":")" + token + "\"}"};
}

// As Google answers: a signature by another key first, then a JWT out of
// date, a scope the delegation does not grant, a user outside the domain.
std::pair<std::string, std::string> TokenServer::JwtBearer(const std::string& jwt) {
    const auto refuse = [](const char* status, const char* error, const char* why) {
        return std::pair<std::string, std::string>(
            status,
            std::string(R"({"error":")") + error + R"(","error_description":")" + why + "\"}");
    };
    const size_t dot = jwt.find('.'), last = jwt.rfind('.');
    const std::string signature = Base64UrlDecode(jwt.substr(last + 1));
    auto claims = ParseFlatJson(Base64UrlDecode(jwt.substr(dot + 1, last - dot - 1)));
    const std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (dot == last || !claims || !m_keys[0] ||
        EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr, m_keys[0].get()) != 1 ||
        EVP_DigestVerify(ctx.get(), reinterpret_cast<const UChar*>(signature.data()),
                         signature.size(), reinterpret_cast<const UChar*>(jwt.data()), last) != 1)
        return refuse("400 Bad Request", "invalid_grant", "Invalid JWT Signature.");
    auto& claim = *claims;
    const long iat = std::atol(claim["iat"].c_str()), exp = std::atol(claim["exp"].c_str());
    const long now = static_cast<long>(std::time(nullptr));
    if (claim["aud"] != TokenUrl() || exp - iat > 3600 || exp <= now || iat > now + 60)
        return refuse("400 Bad Request", "invalid_grant",
                      "Invalid JWT: Token must be a short-lived token");
    if (claim["scope"] != "https://mail.google.com/")
        return refuse("401 Unauthorized", "unauthorized_client",
                      "Client is unauthorized to retrieve access tokens using this method");
    const std::string& user = claim["sub"];
    if (user.size() <= m_domain.size() ||
        user.substr(user.size() - m_domain.size() - 1) != "@" + m_domain)
        return refuse("400 Bad Request", "invalid_grant", "Invalid email or User ID");
    const std::string token = *m_tokens.insert(NewToken()).first;
    m_users[token] = user;
    return {"200 OK",
            R"({"access_token":")" + token + R"(","expires_in":3599,"token_type":"Bearer"})"};
}
