// Throughput and memory of the IMAP intake on the two big replies of a run: a
// SEARCH result of 100,000 numbers and the 100,000 untagged FETCH lines a
// STORE of 100,000 messages brings back. The bytes go through the real path:
// a socketpair end attached to a CImapSocket, its OnReceive draining the
// socket into the transcript (with and without the log file), the response
// reader and the recognition.
//
// Only the OnReceive calls are timed (wall clock; cpu_MB_per_s is the same on
// CPU time); filling the socket is the server's work. Heap use is
// counted by replacing the global operator new/delete: the peak of live bytes
// during an intake, above what was live before it, as peak_heap_bytes and as a
// ratio to the reply's size. That is the first intake; warm_peak_* are the
// later ones. What fopen takes through malloc is not counted.

#include <malloc.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <new>
#include <string>
#include <string_view>

#include <benchmark/benchmark.h>

#include "imap/ImapSocket.h"

// ------------------------------------------------------------- heap counting

namespace {
std::atomic<size_t> g_liveBytes{0};
std::atomic<size_t> g_peakBytes{0};

// Usable sizes on both sides, so that every free takes back exactly what its
// allocation added.
void* Counted(void* p) {
    if (p) {
        const size_t live =
            g_liveBytes.fetch_add(malloc_usable_size(p), std::memory_order_relaxed) +
            malloc_usable_size(p);
        size_t peak = g_peakBytes.load(std::memory_order_relaxed);
        while (live > peak &&
               !g_peakBytes.compare_exchange_weak(peak, live, std::memory_order_relaxed)) {
        }
    }
    return p;
}

void Release(void* p) noexcept {
    if (p) {
        g_liveBytes.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
        std::free(p);
    }
}

void* Allocate(size_t n) {
    if (void* p = Counted(std::malloc(n ? n : 1)))
        return p;
    throw std::bad_alloc();
}

void* AllocateAligned(size_t n, std::align_val_t al) {
    const auto a = static_cast<size_t>(al);
    const size_t rounded = (std::max<size_t>(n, 1) + a - 1) / a * a;
    if (void* p = Counted(std::aligned_alloc(a, rounded)))
        return p;
    throw std::bad_alloc();
}

void* AllocateNoThrow(size_t n) noexcept {
    return Counted(std::malloc(n ? n : 1));
}
}  // namespace

void* operator new(size_t n) {
    return Allocate(n);
}
void* operator new[](size_t n) {
    return Allocate(n);
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    return AllocateNoThrow(n);
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
    return AllocateNoThrow(n);
}
void* operator new(size_t n, std::align_val_t a) {
    return AllocateAligned(n, a);
}
void* operator new[](size_t n, std::align_val_t a) {
    return AllocateAligned(n, a);
}
void operator delete(void* p) noexcept {
    Release(p);
}
void operator delete[](void* p) noexcept {
    Release(p);
}
void operator delete(void* p, size_t) noexcept {
    Release(p);
}
void operator delete[](void* p, size_t) noexcept {
    Release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    Release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    Release(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    Release(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    Release(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
    Release(p);
}
void operator delete[](void* p, size_t, std::align_val_t) noexcept {
    Release(p);
}

// ------------------------------------------------------------- the intake

namespace {

constexpr uint32_t kMessages = 100000;
// What the "server" puts on the wire before each receive notification.
constexpr size_t kBurst = 256 * 1024;

struct Probe : CImapSocket {
    using CImapSocket::CImapSocket;
    using CImapSocket::OnReceive;
};

const std::string& SearchReply() {
    static const std::string reply = [] {
        std::string r = "* SEARCH";
        for (uint32_t i = 1; i <= kMessages; ++i)
            r += ' ' + std::to_string(i);
        r += "\r\na000000 OK SEARCH completed\r\n";
        return r;
    }();
    return reply;
}

const std::string& FetchReply() {
    static const std::string reply = [] {
        std::string r;
        for (uint32_t i = 1; i <= kMessages; ++i)
            r += "* " + std::to_string(i) + " FETCH (FLAGS (\\Deleted \\Recent))\r\n";
        r += "a000001 OK STORE completed\r\n";
        return r;
    }();
    return reply;
}

class TempLog {
public:
    TempLog() {
        char tmpl[] = "/tmp/qd-bench-XXXXXX";
        if (::mkdtemp(tmpl))
            m_folder = tmpl;
    }
    ~TempLog() {
        std::error_code ec;
        if (!m_folder.empty())
            std::filesystem::remove_all(m_folder, ec);
    }
    std::string Path() const { return m_folder.empty() ? "" : m_folder + "/LOG_QUEN_DRAVALT.TXT"; }

private:
    std::string m_folder;
};

// Process CPU time: the benchmark runs on one thread and nothing else works meanwhile.
double CpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

void DrainPeer(int peer) {
    char buf[4096];
    while (::recv(peer, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

// Fills the socket with up to kBurst more bytes of the reply; returns the new position.
size_t Push(int peer, std::string_view reply, size_t pos) {
    const size_t end = std::min(reply.size(), pos + kBurst);
    while (pos < end) {
        const ssize_t n = ::send(peer, reply.data() + pos, end - pos, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n <= 0)
            break;
        pos += static_cast<size_t>(n);
    }
    return pos;
}

enum class Kind { Search, Fetch };

void RunIntake(benchmark::State& state, Kind kind) {
    const bool withLog = state.range(0) != 0;
    const std::string& reply = kind == Kind::Search ? SearchReply() : FetchReply();
    TempLog log;
    if (withLog && log.Path().empty()) {
        state.SkipWithError("no temporary folder for the log");
        return;
    }
    CTranscript transcript(withLog ? log.Path() : std::string());
    size_t peakCold = 0;  // first intake
    size_t peakWarm = 0;  // later ones, as in a long run
    size_t retained = 0;
    double cpuSeconds = 0;
    size_t intakes = 0;

    for (auto _ : state) {
        transcript.StartNew();  // an empty log file, the last one kept beside it
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
            state.SkipWithError("socketpair failed");
            return;
        }
        const int peer = sv[1];
        const int buffer = 2 * kBurst;
        ::setsockopt(peer, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
        bool ok = true;
        double seconds = 0;
        {
            Probe s(transcript);
            s.Attach(sv[0]);
            const std::string greeting = "* OK [CAPABILITY IMAP4rev1] ready\r\n";
            ::send(peer, greeting.data(), greeting.size(), MSG_NOSIGNAL);
            s.OnReceive(0);
            if (kind == Kind::Search) {
                s.SendSearch("01-Jan-2020");
            } else {
                // The STORE takes what a search found: search first.
                s.SendSearch("01-Jan-2020");
                for (size_t at = 0; at < SearchReply().size() && s.m_bSearched == 0;) {
                    at = Push(peer, SearchReply(), at);
                    s.OnReceive(0);
                }
                s.SendStore();
            }
            DrainPeer(peer);

            const size_t base = g_liveBytes.load(std::memory_order_relaxed);
            g_peakBytes.store(base, std::memory_order_relaxed);
            size_t pos = 0;
            int stalled = 0;  // rounds in which the intake left the socket full
            while (pos < reply.size() && s.IsOpen() && stalled < 100) {
                const size_t before = pos;
                pos = Push(peer, reply, pos);
                stalled = pos == before ? stalled + 1 : 0;
                const double c0 = CpuSeconds();
                const auto t0 = std::chrono::steady_clock::now();
                s.OnReceive(0);
                seconds +=
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
                cpuSeconds += CpuSeconds() - c0;
            }
            const size_t peak = g_peakBytes.load(std::memory_order_relaxed) - base;
            if (intakes++ == 0)
                peakCold = peak;
            else
                peakWarm = std::max(peakWarm, peak);
            retained = g_liveBytes.load(std::memory_order_relaxed) - base;

            ok = pos == reply.size();
            if (kind == Kind::Search)
                ok = ok && s.m_bSearched == 1 && s.FoundCount() == kMessages;
            else
                ok = ok && s.m_bStored == 1;
            ok = ok && !s.HasFailed();
        }
        ::close(peer);
        if (!ok) {
            state.SkipWithError("the reply was not recognised");
            return;
        }
        state.SetIterationTime(seconds);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reply.size()));
    state.counters["reply_bytes"] = static_cast<double>(reply.size());
    state.counters["peak_heap_bytes"] = static_cast<double>(peakCold);
    state.counters["peak_per_reply_byte"] =
        static_cast<double>(peakCold) / static_cast<double>(reply.size());
    if (state.iterations() > 1) {
        state.counters["warm_peak_heap_bytes"] = static_cast<double>(peakWarm);
        state.counters["warm_peak_per_reply_byte"] =
            static_cast<double>(peakWarm) / static_cast<double>(reply.size());
    }
    state.counters["retained_heap_bytes"] = static_cast<double>(retained);
    state.counters["MB_per_s"] = benchmark::Counter(
        static_cast<double>(state.iterations() * reply.size()) / 1e6, benchmark::Counter::kIsRate);
    // The same on CPU time: steadier than the wall clock on a busy machine.
    if (cpuSeconds > 0)
        state.counters["cpu_MB_per_s"] =
            static_cast<double>(state.iterations() * reply.size()) / 1e6 / cpuSeconds;
}

void BM_IntakeSearch100k(benchmark::State& state) {
    RunIntake(state, Kind::Search);
}
void BM_IntakeFetch100k(benchmark::State& state) {
    RunIntake(state, Kind::Fetch);
}

}  // namespace

// Argument: 0 transcript in memory only, 1 transcript appended to a log file too.
BENCHMARK(BM_IntakeSearch100k)
    ->ArgName("log")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IntakeFetch100k)
    ->ArgName("log")
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
