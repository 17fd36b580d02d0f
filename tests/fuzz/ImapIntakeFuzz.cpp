// libFuzzer target: arbitrary server bytes, cut into reads at arbitrary points,
// go through the real intake of a CImapSocket (one end of a socketpair stands
// in for the server) with the session in each command state. Beyond crashes and
// undefined behaviour it checks what the session promises its sequencer: flags
// are 0 or 1, a failed command never shows its flag raised, a completed SEARCH
// holds only valid message numbers, a closed socket means a failure (or a
// LOGOUT), and how the bytes happened to be cut into reads changes nothing.
//
// Input layout:
//   byte 0    where the session stands: (b - '0') % 10, see Start
//   byte 1    o = b - '0'; o & 15 cut points, except 15: reads of a fixed size,
//             the next byte + 1; o & 16: the server hangs up after its last byte
//   then      2 bytes per cut point (little-endian, modulo the reply length + 1)
//   the rest  the server's bytes
// A plain text file starting with "40" is thus a SELECT reply read in one go.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include <wx/init.h>
#include <wx/string.h>

#include "imap/ImapSocket.h"

namespace {

enum Start : uint8_t {
    kGreeting,       // connection open, greeting not yet seen
    kLoginAtom,      // LOGIN with plain atoms
    kLoginQuoted,    // LOGIN with quoted strings
    kLoginLiteral,   // LOGIN with 8-bit literals: waits for "+" twice
    kSelect,         // SELECT INBOX
    kSearch,         // SEARCH ALL BEFORE ...
    kStoreOneSet,    // STORE of a few numbers: one tagged command
    kStoreManySets,  // STORE of thousands of numbers: several tagged commands in turn
    kExpunge,
    kLogout,
    kStartCount
};

// Bigger inputs add nothing the cuts cannot reach, and one write must always
// fit the socketpair's buffer.
constexpr size_t kMaxInput = 64 * 1024;

void DumpSession();

#define QD_CHECK(cond)                                                                         \
    do {                                                                                       \
        if (!(cond)) {                                                                         \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
            DumpSession();                                                                     \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

struct Probe : CImapSocket {
    using CImapSocket::CImapSocket;
    using CImapSocket::OnReceive;
};

// The session under test, for the report when an invariant breaks.
const Probe* g_session = nullptr;

void DumpSession() {
    if (const Probe* s = g_session)
        std::fprintf(stderr,
                     "session: connected %d loggedIn %d selected %d searched %d stored %d "
                     "expunged %d, command %d, tag \"%s\", failed %d (%s), open %d\n",
                     s->m_bConnected, s->m_bLoggedIn, s->m_bSelected, s->m_bSearched, s->m_bStored,
                     s->m_bExpunged, s->m_nCommand, s->m_strTag.c_str(), s->HasFailed(),
                     s->FailureReason().c_str(), s->IsOpen());
}

struct Outcome {
    int32_t flags[6] = {};
    int32_t command = 0;
    bool failed = false;
    bool open = false;
    std::string reason;
    std::vector<uint32_t> found;
    std::string sent;  // every byte the client wrote
};

bool operator==(const Outcome& a, const Outcome& b) {
    return std::equal(std::begin(a.flags), std::end(a.flags), std::begin(b.flags)) &&
           a.command == b.command && a.failed == b.failed && a.open == b.open &&
           a.reason == b.reason && a.found == b.found && a.sent == b.sent;
}

void Print(const char* label, const Outcome& o) {
    std::string found;
    for (size_t i = 0; i < o.found.size() && i < 12; ++i)
        found += ' ' + std::to_string(o.found[i]);
    if (o.found.size() > 12)
        found += " ...";
    std::fprintf(stderr,
                 "%s: connected %d loggedIn %d selected %d searched %d stored %d expunged %d, "
                 "command %d, failed %d (%s), open %d, found %zu:%s, %zu bytes sent\n",
                 label, o.flags[0], o.flags[1], o.flags[2], o.flags[3], o.flags[4], o.flags[5],
                 o.command, o.failed, o.reason.c_str(), o.open, o.found.size(), found.c_str(),
                 o.sent.size());
}

void Collect(int peer, std::string& out) {
    char buf[16 * 1024];
    for (;;) {
        const ssize_t n = ::recv(peer, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            return;
        out.append(buf, static_cast<size_t>(n));
    }
}

// The whole chunk in one write, so that the client's next read sees all of it
// and nothing more: that is what makes the cut points the reads.
void Deliver(int peer, std::string_view bytes) {
    if (bytes.empty())
        return;
    ssize_t n;
    do {
        n = ::send(peer, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    QD_CHECK(n == static_cast<ssize_t>(bytes.size()));
}

int32_t* FlagOfCommand(Probe& s) {
    switch (s.m_nCommand) {
        case CMD_CONNECT:
            return &s.m_bConnected;
        case CMD_LOGIN:
            return &s.m_bLoggedIn;
        case CMD_SELECT:
            return &s.m_bSelected;
        case CMD_SEARCH:
            return &s.m_bSearched;
        case CMD_STORE:
            return &s.m_bStored;
        case CMD_EXPUNGE:
            return &s.m_bExpunged;
        default:
            return nullptr;  // LOGOUT completes by clearing m_bLoggedIn
    }
}

// QD_FUZZ_ALLOW_LATE_FAILURE=1 lets a failure that arrives after the command's
// flag was raised (a "* BYE" or a hang-up right after the tagged OK) pass, so
// that fuzzing can look for other faults while that one is open; a flag
// rising once its command has failed still counts.
bool g_allowLateFailure = false;
// QD_FUZZ_SHOW=1 prints the outcome of every input: for reading a crash input.
bool g_show = false;

struct Before {
    bool failed;
    int32_t command;
    int32_t flag;
};

Before Snapshot(Probe& s) {
    const int32_t* flag = FlagOfCommand(s);
    return {s.HasFailed(), s.m_nCommand, flag ? *flag : 0};
}

void CheckState(Probe& s, const Before& before) {
    for (const int32_t f :
         {s.m_bConnected, s.m_bLoggedIn, s.m_bSelected, s.m_bSearched, s.m_bStored, s.m_bExpunged})
        QD_CHECK(f == 0 || f == 1);
    if (s.m_bSearched == 1) {
        for (const uint32_t v : s.m_arrFound.Values())
            QD_CHECK(v >= 1);  // the upper bound 4294967295 is the type's
    }
    if (s.HasFailed()) {
        QD_CHECK(!s.FailureReason().empty());
        if (const int32_t* flag = FlagOfCommand(s)) {
            if (!g_allowLateFailure)
                QD_CHECK(*flag == 0);
            else if (before.failed && before.command == s.m_nCommand && before.flag == 0)
                QD_CHECK(*flag == 0);
        }
    }
    QD_CHECK(!before.failed || s.HasFailed());  // only a new command clears a failure
    if (!s.IsOpen()) {
        // Closed: the command failed, or it is LOGOUT, or it had completed
        // before the server left (the next command then reports that).
        const int32_t* flag = FlagOfCommand(s);
        QD_CHECK(s.HasFailed() || s.m_nCommand == CMD_LOGOUT || (flag && *flag == 1));
    }
    QD_CHECK(s.m_strReply.size() <= CImapSocket::kReplyKeep);
}

// Greeting, then the command whose replies the fuzz bytes play.
void Begin(Probe& s, Start start, int peer) {
    if (start == kGreeting)
        return;
    Deliver(peer, "* OK [CAPABILITY IMAP4rev1] ready\r\n");
    s.OnReceive(0);
    QD_CHECK(s.m_bConnected == 1 && !s.HasFailed());
    switch (start) {
        case kLoginAtom:
            QD_CHECK(s.SendLogin("anna.rossi@example.it", "Segreta-2007") == 1);
            break;
        case kLoginQuoted:
            QD_CHECK(s.SendLogin("Anna Rossi", "se\"gre\\ta") == 1);
            break;
        case kLoginLiteral:
            QD_CHECK(s.SendLogin("m\xC3\xBCller", "p\xC3\xA4sswort") == 1);
            break;
        case kSelect:
            s.SendSelect();
            break;
        case kSearch:
            s.SendSearch("01-Jan-2020");
            break;
        case kStoreOneSet:
            s.m_arrFound.Values() = {3, 4, 5, 9, 12};
            s.SendStore();
            break;
        case kStoreManySets:
            // 3,000 lone odd numbers, each its own run "n:n": four STORE lines.
            for (uint32_t i = 0; i < 3000; ++i)
                s.m_arrFound.Add(2 * i + 1);
            s.SendStore();
            break;
        case kExpunge:
            s.SendExpunge();
            break;
        case kLogout:
            s.SendLogout();
            break;
        default:
            break;
    }
    QD_CHECK(!s.HasFailed());
}

// Plays the reply to a fresh session, one read per chunk; ends[] are the
// chunk ends, the last one the reply's length.
Outcome Run(Start start, std::string_view reply, const std::vector<size_t>& ends, bool hangUp) {
    int sv[2];
    QD_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0);
    const int peer = sv[1];
    const int big = 1 << 20;
    ::setsockopt(peer, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);

    CTranscript transcript;
    Outcome out;
    {
        Probe s(transcript);
        g_session = &s;
        QD_CHECK(s.Attach(sv[0]));  // the session owns sv[0] from here on
        Begin(s, start, peer);
        Collect(peer, out.sent);
        size_t from = 0;
        for (const size_t end : ends) {
            if (!s.IsOpen())
                break;
            Deliver(peer, reply.substr(from, end - from));
            from = end;
            const Before before = Snapshot(s);
            s.OnReceive(0);  // an empty chunk makes a spurious notification
            Collect(peer, out.sent);
            CheckState(s, before);
        }
        if (hangUp && s.IsOpen()) {
            const Before before = Snapshot(s);
            ::shutdown(peer, SHUT_WR);
            s.OnReceive(0);
            Collect(peer, out.sent);
            CheckState(s, before);
            QD_CHECK(!s.IsOpen());
        }
        out.flags[0] = s.m_bConnected;
        out.flags[1] = s.m_bLoggedIn;
        out.flags[2] = s.m_bSelected;
        out.flags[3] = s.m_bSearched;
        out.flags[4] = s.m_bStored;
        out.flags[5] = s.m_bExpunged;
        out.command = s.m_nCommand;
        out.failed = s.HasFailed();
        out.open = s.IsOpen();
        out.reason = s.FailureReason();
        out.found = s.m_arrFound.Values();
        g_session = nullptr;
    }
    ::close(peer);
    return out;
}

void AbortOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond,
                   const wxString& msg) {
    std::fprintf(stderr, "wx assertion %s in %s at %s:%d: %s\n", cond.utf8_str().data(),
                 func.utf8_str().data(), file.utf8_str().data(), line, msg.utf8_str().data());
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Attach registers the descriptor with wxBase's event loop sources.
    if (!wxInitialize()) {
        std::fprintf(stderr, "wxWidgets could not be initialised\n");
        std::abort();
    }
    wxSetAssertHandler(AbortOnAssert);
    const char* allow = std::getenv("QD_FUZZ_ALLOW_LATE_FAILURE");
    g_allowLateFailure = allow && std::string_view(allow) == "1";
    const char* show = std::getenv("QD_FUZZ_SHOW");
    g_show = show && std::string_view(show) == "1";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > kMaxInput)
        return 0;
    const auto start = static_cast<Start>(static_cast<uint8_t>(data[0] - '0') % kStartCount);
    const auto options = static_cast<uint8_t>(data[1] - '0');
    const bool hangUp = (options & 16) != 0;
    const unsigned cuts = options & 15;
    size_t pos = 2;

    std::vector<size_t> ends;
    if (cuts == 15) {
        if (pos >= size)
            return 0;
        const size_t step = data[pos++] + 1u;
        const size_t length = size - pos;
        for (size_t e = step; e < length; e += step)
            ends.push_back(e);
    } else {
        if (size - pos < 2 * cuts)
            return 0;
        const size_t length = size - pos - 2 * cuts;
        for (unsigned i = 0; i < cuts; ++i, pos += 2)
            ends.push_back((data[pos] | data[pos + 1] << 8) % (length + 1));
        std::sort(ends.begin(), ends.end());
    }
    const std::string_view reply(reinterpret_cast<const char*>(data + pos), size - pos);
    ends.push_back(reply.size());

    const Outcome whole = Run(start, reply, {reply.size()}, hangUp);
    const Outcome split = Run(start, reply, ends, hangUp);
    if (g_show) {
        Print("one read", whole);
        Print("cut reads", split);
    }
    if (!(whole == split)) {
        std::fprintf(stderr, "the reads' cut points changed the outcome (start %d, %zu reads)\n",
                     start, ends.size());
        Print("one read", whole);
        Print("cut reads", split);
        std::abort();
    }
    return 0;
}
