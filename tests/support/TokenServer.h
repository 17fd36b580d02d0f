// An OAuth2 identity provider for sign-in tests, on https://127.0.0.1 in a
// thread of its own: the client-credentials grant and, as Google has it for a
// service account, the JWT-bearer grant on /token, and token introspection on
// /introspect as Dovecot's oauth2 passdb asks for it. Each grant issues a
// fresh random token; introspection names the client in the domain
// ("app-id@example.com"), which Dovecot takes for any mailbox there, or for a
// JWT-bearer token the user it was granted for. One request per connection.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <openssl/types.h>

#include "support/Harness.h"

// base64url without padding, decoded; "" when text is none.
std::string Base64UrlDecode(std::string text);

class TokenServer {
public:
    // Makes a test CA and a certificate for 127.0.0.1 from it; throws when
    // that or listening fails.
    TokenServer(std::string clientId, std::string clientSecret, std::string domain = "example.com");
    ~TokenServer();

    unsigned Port() const { return m_port; }
    std::string TokenUrl() const { return Base() + "/token"; }
    std::string IntrospectionUrl() const { return Base() + "/introspect"; }
    // PEM files: the CA that signed the server's certificate, and one that did not.
    std::string CaFile() const { return m_folder.File("ca.pem"); }
    std::string OtherCaFile() const { return m_folder.File("other.pem"); }
    // The server's certificate and key, for an IMAP server that speaks TLS
    // beside it, and the certificate's SHA-256 fingerprint (64 hex digits).
    std::string CertFile() const { return m_folder.File("server.pem"); }
    std::string KeyFile() const { return m_folder.File("server.key"); }
    std::string CertFingerprint() const;

    int TokenRequests() const { return m_tokenRequests; }
    int Introspections() const { return m_introspections; }
    // The form of the last POST /token, as sent.
    std::string LastTokenRequest() const;
    // Seconds each token is granted for.
    std::atomic<int> lifetime{3599};
    // Every token granted so far.
    std::set<std::string> Issued() const {
        std::lock_guard lock(m_mutex);
        return m_tokens;
    }

    // Writes a service account's JSON key for this endpoint, owner-only: with
    // the key the JWT-bearer grant checks signatures against, or with another
    // one (a key replaced in the Cloud console).
    void WriteServiceAccountKey(const std::string& path, bool genuine = true);

private:
    std::string Base() const { return "https://127.0.0.1:" + std::to_string(m_port); }
    void Serve(int fd);
    // The status ("200 OK") and JSON body for one request.
    std::pair<std::string, std::string> Answer(const std::string& path, const std::string& body);
    std::pair<std::string, std::string> JwtBearer(const std::string& assertion);

    const std::string m_clientId, m_clientSecret, m_domain;
    TempFolder m_folder;
    std::unique_ptr<SSL_CTX, void (*)(SSL_CTX*)> m_ctx;
    int m_listener = -1;
    unsigned m_port = 0;
    std::atomic<int> m_tokenRequests{0}, m_introspections{0};
    mutable std::mutex m_mutex;
    std::string m_lastTokenRequest;
    std::set<std::string> m_tokens;              // issued
    std::map<std::string, std::string> m_users;  // a JWT-bearer token's user
    std::shared_ptr<EVP_PKEY> m_keys[2];         // the genuine key, another one
    std::thread m_thread;
};
