#include "platform/TlsSession.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "platform/AsyncSocket.h"
#include "platform/SocketApi.h"
#ifdef _WIN32
#include "platform/WindowsRoots.h"
#endif

namespace {

// OpenSSL's own socket BIO writes with write(): a server that went away would
// raise SIGPIPE and end the program. This one sends with MSG_NOSIGNAL.
int BioWrite(BIO* b, const char* in, int len) {
    auto* link = static_cast<CTlsSession::Link*>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    int n, e = 0;
    do {
        n = sockapi::Send(link->fd, in, len);
    } while (n < 0 && sockapi::Classify(e = sockapi::LastErrno()) == sockapi::Failure::Interrupted);
    if (n < 0) {
        if (sockapi::Classify(e) == sockapi::Failure::WouldBlock)
            BIO_set_retry_write(b);
        else
            link->err = e;
        return -1;
    }
    return n;
}

int BioRead(BIO* b, char* out, int len) {
    auto* link = static_cast<CTlsSession::Link*>(BIO_get_data(b));
    BIO_clear_retry_flags(b);
    int n, e = 0;
    do {
        n = sockapi::Recv(link->fd, out, len);
    } while (n < 0 && sockapi::Classify(e = sockapi::LastErrno()) == sockapi::Failure::Interrupted);
    if (n < 0) {
        if (sockapi::Classify(e) == sockapi::Failure::WouldBlock)
            BIO_set_retry_read(b);
        else
            link->err = e;
        return -1;
    }
    if (n == 0)
        link->eof = true;
    return n;
}

long BioCtrl(BIO* b, int cmd, long, void*) {
    switch (cmd) {
        case BIO_CTRL_FLUSH:
            return 1;  // nothing is buffered here
        case BIO_CTRL_EOF:
            return static_cast<CTlsSession::Link*>(BIO_get_data(b))->eof ? 1 : 0;
        default:
            return 0;
    }
}

const BIO_METHOD* SocketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quendravalt socket");
        if (m && (BIO_meth_set_write(m, BioWrite) != 1 || BIO_meth_set_read(m, BioRead) != 1 ||
                  BIO_meth_set_ctrl(m, BioCtrl) != 1)) {
            BIO_meth_free(m);
            m = nullptr;
        }
        return m;
    }();
    return method;
}

std::string EnvOrNone(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string("=") + v : std::string();
}

// One context for the process, built again when SSL_CERT_FILE or SSL_CERT_DIR
// changed: OpenSSL reads them only when the context loads its trusted store.
// Sessions hold their own reference, so dropping an old context is safe.
SSL* NewClientSsl() {
    static std::mutex lock;
    static SSL_CTX* ctx = nullptr;
    static std::string ctxPaths;
    const std::string paths = EnvOrNone(X509_get_default_cert_file_env()) + '\n' +
                              EnvOrNone(X509_get_default_cert_dir_env());
    std::lock_guard<std::mutex> hold(lock);
    if (!ctx || paths != ctxPaths) {
        SSL_CTX* fresh = SSL_CTX_new(TLS_client_method());
        if (!fresh)
            return nullptr;
        // The verdict goes to Peer().problem and the caller decides, so the
        // handshake completes whatever the certificate. A server that closes
        // without close_notify (common after LOGOUT) reads as a plain close.
        SSL_CTX_set_verify(fresh, SSL_VERIFY_NONE, nullptr);
        if (SSL_CTX_set_min_proto_version(fresh, TLS1_2_VERSION) != 1 ||
            SSL_CTX_set_default_verify_paths(fresh) != 1) {
            SSL_CTX_free(fresh);
            return nullptr;
        }
#ifdef _WIN32
        // SSL_CERT_FILE, when set, is the whole trust, as on Linux.
        if (EnvOrNone(X509_get_default_cert_file_env()).empty())
            AddWindowsRoots(SSL_CTX_get_cert_store(fresh));
#endif
        // A renegotiation could bring another certificate after the one checked.
        SSL_CTX_set_options(fresh, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
        SSL_CTX_set_mode(fresh,
                         SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        SSL_CTX_free(ctx);
        ctx = fresh;
        ctxPaths = paths;
    }
    return SSL_new(ctx);
}

// The first queued error is the cause; the rest are the callers that passed it on.
std::string TakeErrorText(const char* fallback) {
    const unsigned long e = ERR_get_error();
    std::string text = fallback;
    if (e != 0) {
        if (const char* reason = ERR_reason_error_string(e)) {
            text = reason;
        } else {
            char buf[256];
            ERR_error_string_n(e, buf, sizeof buf);
            text = buf;
        }
    }
    ERR_clear_error();
    return text;
}

std::string Printed(BIO* bio) {
    char* data = nullptr;
    const long len = BIO_get_mem_data(bio, &data);
    std::string text = len > 0 ? std::string(data, static_cast<size_t>(len)) : std::string();
    (void)BIO_reset(bio);
    return text;
}

// One line, UTF-8 kept as it is (the display takes UTF-8), control characters escaped.
std::string NameLine(BIO* bio, const X509_NAME* name) {
    if (X509_NAME_print_ex(bio, name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) >= 0)
        return Printed(bio);
    (void)BIO_reset(bio);
    X509_NAME_print_ex(bio, name, 0, XN_FLAG_ONELINE);  // not valid UTF-8: all escaped
    return Printed(bio);
}

std::string TimeLine(BIO* bio, const ASN1_TIME* t) {
    ASN1_TIME_print(bio, t);
    return Printed(bio);
}

}  // namespace

std::unique_ptr<CTlsSession> CTlsSession::Start(int fd, const std::string& host) {
    // Without a name nothing could be checked, and any trusted certificate would pass.
    if (fd < 0 || host.empty() || host.find('\0') != std::string::npos || !SocketMethod())
        return nullptr;
    ERR_clear_error();
    std::unique_ptr<CTlsSession> s(new CTlsSession);
    s->m_link.fd = fd;
    s->m_ssl = NewClientSsl();
    if (!s->m_ssl)
        return nullptr;
    BIO* bio = BIO_new(SocketMethod());
    if (!bio)
        return nullptr;
    BIO_set_data(bio, &s->m_link);
    BIO_set_init(bio, 1);
    SSL_set_bio(s->m_ssl, bio, bio);

    X509_VERIFY_PARAM* param = SSL_get0_param(s->m_ssl);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    in_addr a4;
    in6_addr a6;
    const bool ip = ::inet_pton(AF_INET, host.c_str(), &a4) == 1 ||
                    ::inet_pton(AF_INET6, host.c_str(), &a6) == 1;
    // SNI carries DNS names only.
    const bool named = ip ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) == 1
                          : SSL_set_tlsext_host_name(s->m_ssl, host.c_str()) == 1 &&
                                X509_VERIFY_PARAM_set1_host(param, host.c_str(), 0) == 1;
    ERR_clear_error();
    if (!named)
        return nullptr;
    SSL_set_connect_state(s->m_ssl);
    return s;
}

CTlsSession::~CTlsSession() {
    SSL_free(m_ssl);
}

CTlsSession::Result CTlsSession::Outcome(int ret) {
    switch (SSL_get_error(m_ssl, ret)) {
        case SSL_ERROR_NONE:
            return Result::Done;
        case SSL_ERROR_WANT_READ:
            return Result::WantRead;
        case SSL_ERROR_WANT_WRITE:
            return Result::WantWrite;
        case SSL_ERROR_ZERO_RETURN:
            ERR_clear_error();
            return Result::Closed;
        case SSL_ERROR_SYSCALL:
            m_broken = true;
            m_failure = TakeErrorText(m_link.eof ? "connection closed" : "network error");
            return Result::Failed;
        default:
            m_broken = true;
            m_failure = TakeErrorText("TLS protocol error");
            return Result::Failed;
    }
}

CTlsSession::Result CTlsSession::Handshake() {
    if (m_broken)
        return Result::Failed;
    ERR_clear_error();
    m_link.err = 0;
    return Outcome(SSL_do_handshake(m_ssl));
}

CTlsSession::Result CTlsSession::Read(void* buf, int len, int* count) {
    *count = 0;
    if (m_broken)
        return Result::Failed;
    ERR_clear_error();
    m_link.err = 0;
    const int n = SSL_read(m_ssl, buf, len);
    if (n > 0) {
        *count = n;
        return Result::Done;
    }
    return Outcome(n);
}

CTlsSession::Result CTlsSession::Write(const void* buf, int len, int* count) {
    *count = 0;
    if (m_broken)
        return Result::Failed;
    ERR_clear_error();
    m_link.err = 0;
    const int n = SSL_write(m_ssl, buf, len);
    if (n > 0) {
        *count = n;
        return Result::Done;
    }
    return Outcome(n);
}

bool CTlsSession::HasPending() const {
    // SSL_has_pending would also count a record still arriving, and the
    // socket would then be served in a loop until the rest came.
    return !m_broken && SSL_pending(m_ssl) > 0;
}

void CTlsSession::Shutdown() {
    if (m_broken || !SSL_is_init_finished(m_ssl))
        return;
    ERR_clear_error();
    (void)SSL_shutdown(m_ssl);
    ERR_clear_error();
}

void CTlsSession::DescribePeer(CTlsPeer* peer) const {
    peer->protocol = SSL_get_version(m_ssl);
    peer->cipher = SSL_CIPHER_get_name(SSL_get_current_cipher(m_ssl));
    const X509* cert = SSL_get0_peer_certificate(m_ssl);
    if (!cert) {
        // The verify result stays X509_V_OK when there was nothing to verify.
        peer->problem = "no certificate";
        return;
    }
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio) {
        peer->subject = NameLine(bio, X509_get_subject_name(cert));
        peer->issuer = NameLine(bio, X509_get_issuer_name(cert));
        peer->notBefore = TimeLine(bio, X509_get0_notBefore(cert));
        peer->notAfter = TimeLine(bio, X509_get0_notAfter(cert));
        BIO_free(bio);
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (X509_digest(cert, EVP_sha256(), md, &mdLen) == 1) {
        static const char kHex[] = "0123456789ABCDEF";
        for (unsigned int i = 0; i < mdLen; ++i) {
            peer->fingerprint += kHex[md[i] >> 4];
            peer->fingerprint += kHex[md[i] & 15];
        }
    }
    const long verdict = SSL_get_verify_result(m_ssl);
    peer->problem = verdict == X509_V_OK ? "" : X509_verify_cert_error_string(verdict);
#ifdef _WIN32
    // What Windows was told never to trust is trusted by no root here either.
    if (peer->problem.empty() && ChainDisallowedByWindows(SSL_get_peer_cert_chain(m_ssl)))
        peer->problem = "certificate in Windows' Disallowed store";
#endif
    ERR_clear_error();
}
