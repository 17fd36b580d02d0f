// BM_IntakeSearch100k's reply of 100,000 numbers through TLS: a server thread
// with a throwaway self-signed certificate writes it on its end of a
// socketpair; a CImapSocket after StartTls takes it in on the event loop.
// MB_per_s counts the time in OnReceive only, as the plain benchmark does
// (decryption included); wall_MB_per_s the whole intake from the SEARCH
// command to the recognised reply, the server's encryption and the loop included.

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "imap/ImapSocket.h"
#include "support/Harness.h"

namespace {

constexpr uint32_t kTlsMessages = 100000;

// A P-256 key and a certificate for "localhost", made in memory once.
SSL_CTX* ServerContext() {
    static SSL_CTX* const ctx = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_server_method());
        EVP_PKEY* key = EVP_EC_gen("P-256");
        X509* cert = X509_new();
        X509_NAME* name = cert ? X509_get_subject_name(cert) : nullptr;
        const auto* cn = reinterpret_cast<const unsigned char*>("localhost");
        const bool ok =
            c && key && name && ASN1_INTEGER_set(X509_get_serialNumber(cert), 1) == 1 &&
            X509_gmtime_adj(X509_getm_notBefore(cert), 0) &&
            X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600) &&
            X509_set_pubkey(cert, key) == 1 &&
            X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, cn, -1, -1, 0) == 1 &&
            X509_set_issuer_name(cert, name) == 1 && X509_sign(cert, key, EVP_sha256()) > 0 &&
            SSL_CTX_use_certificate(c, cert) == 1 && SSL_CTX_use_PrivateKey(c, key) == 1;
        X509_free(cert);
        EVP_PKEY_free(key);
        if (!ok)
            SSL_CTX_free(c);
        return ok ? c : nullptr;
    }();
    return ctx;
}

// The untagged part of the reply; the server adds the tagged line.
const std::string& SearchLines() {
    static const std::string lines = [] {
        std::string r = "* SEARCH";
        for (uint32_t i = 1; i <= kTlsMessages; ++i)
            r += ' ' + std::to_string(i);
        return r + "\r\n";
    }();
    return lines;
}

// Greets, answers "<tag> OK" to whatever comes before the SEARCH, then sends
// the reply with the SEARCH's own tag. Blocking I/O; SIGPIPE blocked on this
// thread, as the client may hang up first.
void Serve(int fd) {
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    SSL* ssl = SSL_new(ServerContext());
    SSL_set_fd(ssl, fd);
    const auto write = [ssl](const std::string& b) {
        return SSL_write(ssl, b.data(), static_cast<int>(b.size())) > 0;
    };
    std::string in;
    char buf[4096];
    bool done = SSL_accept(ssl) != 1 || !write("* OK ready\r\n");
    for (int n; !done && (n = SSL_read(ssl, buf, sizeof buf)) > 0;) {
        in.append(buf, static_cast<size_t>(n));
        for (size_t eol; !done && (eol = in.find("\r\n")) != std::string::npos;) {
            const std::string line = in.substr(0, eol);
            const std::string tag = line.substr(0, line.find(' '));
            in.erase(0, eol + 2);
            done = line.find(" SEARCH ") != std::string::npos;
            if (!write(done ? SearchLines() + tag + " OK SEARCH completed\r\n"
                            : tag + " OK done\r\n"))
                done = true;
        }
    }
    SSL_shutdown(ssl);  // after a failed handshake it does nothing
    SSL_free(ssl);
}

struct TlsProbe : CImapSocket {
    using CImapSocket::CImapSocket;
    int tls = -1;
    double receiveSeconds = 0;
    // The certificate is a throwaway: no trust decision to make.
    void OnTlsReady(bool ok) override { tls = ok ? 1 : 0; }
    void OnReceive(int nErrorCode) override {
        const auto t0 = std::chrono::steady_clock::now();
        CImapSocket::OnReceive(nErrorCode);
        receiveSeconds +=
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    }
};

void BM_TlsIntakeSearch100k(benchmark::State& state) {
    if (!ServerContext()) {
        state.SkipWithError("no server certificate");
        return;
    }
    // As the plain benchmark counts it: its tag has the same length.
    const double replyMB = static_cast<double>(SearchLines().size() + 29) / 1e6;
    CTranscript transcript;
    double wallSeconds = 0;
    for (auto _ : state) {
        transcript.StartNew();
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
            state.SkipWithError("socketpair failed");
            return;
        }
        std::thread server(Serve, sv[1]);
        bool ok = false;
        double seconds = 0;
        {
            TlsProbe s(transcript);
            s.Attach(sv[0]);
            if (s.StartTls("localhost") && PumpUntil([&] { return s.tls >= 0; }) && s.tls == 1) {
                s.receiveSeconds = 0;
                const auto t0 = std::chrono::steady_clock::now();
                s.SendSearch("01-Jan-2020");
                ok = PumpUntil([&] { return s.m_bSearched != 0 || s.HasFailed(); }) &&
                     s.m_bSearched == 1 && s.FoundCount() == kTlsMessages;
                wallSeconds +=
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
                seconds = s.receiveSeconds;
            }
        }  // close_notify, and the server's last write finds no reader
        server.join();
        ::close(sv[1]);
        if (!ok) {
            state.SkipWithError("the reply did not come through TLS");
            return;
        }
        state.SetIterationTime(seconds);
    }
    const double mb = replyMB * static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<int64_t>(mb * 1e6));
    state.counters["MB_per_s"] = benchmark::Counter(mb, benchmark::Counter::kIsRate);
    if (wallSeconds > 0)
        state.counters["wall_MB_per_s"] = mb / wallSeconds;
}

}  // namespace

BENCHMARK(BM_TlsIntakeSearch100k)->UseManualTime()->Unit(benchmark::kMillisecond);
