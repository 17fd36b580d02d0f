#include "support/SessionPair.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <stdexcept>

#include "support/Harness.h"
#include "support/Loopback.h"

namespace {
// One self-signed certificate for the process: its server context, and its
// SHA-256 fingerprint as the session's pins hold it.
struct TestCertificate {
    SSL_CTX* ctx = nullptr;
    std::string fingerprint;

    TestCertificate() {
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* cert = X509_new();
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("imap.test"), -1, -1, 0);
        X509_set_issuer_name(cert, name);
        X509_sign(cert, key, EVP_sha256());
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned len = 0;
        X509_digest(cert, EVP_sha256(), md, &len);
        static const char kHex[] = "0123456789ABCDEF";
        for (unsigned i = 0; i < len; ++i)
            fingerprint += std::string{kHex[md[i] >> 4], kHex[md[i] & 15]};
        ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(ctx, cert);
        SSL_CTX_use_PrivateKey(ctx, key);
        X509_free(cert);
        EVP_PKEY_free(key);
    }
};

const TestCertificate& Certificate() {
    static const TestCertificate certificate;
    return certificate;
}
}  // namespace

SessionPair::SessionPair(std::string logPath, bool tcp, bool tls)
    : transcript(std::move(logPath)), imap(transcript) {
    int fds[2] = {-1, -1};
#ifdef _WIN32
    tcp = true;
#else
    if (!tcp)
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds);
#endif
    if (tcp)
        loopback::Pair(fds);
    if (fds[1] < 0 || !imap.Attach(fds[0]))
        throw std::runtime_error("no connection for the session");
    m_client = fds[0];
    m_server = fds[1];
    if (!tls)
        return;
    CSecurityPolicy policy;
    policy.mode = SecurityMode::Tls;
    policy.pin = Certificate().fingerprint;
    imap.SetSecurity(policy, "127.0.0.1");
    sockapi::SetNonBlocking(m_server);
    m_ssl = SSL_new(Certificate().ctx);
    SSL_set_fd(m_ssl, m_server);
    SSL_set_accept_state(m_ssl);
    imap.StartTls("127.0.0.1");
    // Both ends take turns until each has finished its half.
    if (!PumpUntil([&] { return SSL_do_handshake(m_ssl) == 1 && !imap.Peer().protocol.empty(); },
                   5s))
        throw std::runtime_error("no TLS handshake");
}

SessionPair::~SessionPair() {
    if (m_ssl)
        SSL_free(m_ssl);
    if (m_server >= 0)
        sockapi::Close(m_server);
}

void SessionPair::Write(std::string_view bytes) {
    if (!m_ssl) {
        if (sockapi::Send(m_server, bytes.data(), static_cast<int>(bytes.size())) !=
            static_cast<int>(bytes.size()))
            throw std::runtime_error("socket pair refused bytes");
        return;
    }
    if (SSL_write(m_ssl, bytes.data(), static_cast<int>(bytes.size())) !=
        static_cast<int>(bytes.size()))
        throw std::runtime_error("TLS refused bytes");
}

std::string SessionPair::ReadTls() {
    std::string bytes;
    char buf[4096];
    for (int n; (n = SSL_read(m_ssl, buf, sizeof buf)) > 0;)
        bytes.append(buf, static_cast<size_t>(n));
    return bytes;
}

// Bytes wait to be read on fd, within ms.
static bool Readable(int fd, int ms) {
    pollfd p = sockapi::PollFor(fd, POLLIN);
    return sockapi::Poll(&p, 1, ms) > 0;
}

void SessionPair::Serve(std::string_view bytes, size_t piece) {
    while (!bytes.empty() && imap.IsOpen()) {
        const size_t n = std::min(piece, bytes.size());
        const auto before = imap.LastActivity();
        Write(bytes.substr(0, n));
        bytes.remove_prefix(n);
        // Once the bytes are there (over TCP they take a moment), until the
        // session has read them all; Wine's select() may not see them on a
        // socket that posts its notices as messages, so the session's own
        // word that it read counts too.
        Readable(m_client, 5000);
        PumpUntil([&] {
            return !imap.IsOpen() || (imap.LastActivity() != before && !Readable(m_client, 0));
        });
    }
}

std::string SessionPair::Sent() {
    if (m_ssl)
        return m_server >= 0 ? ReadTls() : std::string();
    std::string bytes;
    char buf[4096];
    int n;
    while (m_server >= 0 && Readable(m_server, 0) &&
           (n = sockapi::Recv(m_server, buf, sizeof buf)) > 0)
        bytes.append(buf, static_cast<size_t>(n));
    return bytes;
}

#ifndef _WIN32
void SessionPair::ServeUrgent() {
    ::send(m_server, "!", 1, MSG_OOB | MSG_NOSIGNAL);
    pollfd p{m_client, POLLPRI, 0};
    ::poll(&p, 1, 5000);
}
#endif

void SessionPair::HangUp() {
    Sent();  // a close with unread bytes would be a reset
    if (m_server >= 0)
        sockapi::Close(m_server);
    m_server = -1;
    PumpUntil([&] { return !imap.IsOpen(); }, 1s);
}
