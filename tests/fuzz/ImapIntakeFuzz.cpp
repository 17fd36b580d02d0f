// libFuzzer target for the reply intake: any server bytes reach a session in
// the middle of any command, once in one read and once cut into small reads.
// Aborts on a broken promise to the run sequencer, or when the cut mattered.
//   byte 0    (b - '0') % 12: the command under way, see kBegin
//   byte 1    b % 32 + 1: read size of the cut run; b & 32 (lower case): hang up at the end
//   the rest  the server's bytes
#include <cstdio>
#include <cstdlib>

#include <wx/init.h>

#include "support/SessionPair.h"

#define QD_CHECK(c) \
    ((c) ? (void)0 : (std::fprintf(stderr, "broken: %s (line %d)\n", #c, __LINE__), std::abort()))

namespace {
// Puts a greeted session in the middle of a command; LOGIN with literals waits
// for "+" twice, STORE of 400 long numbers takes two STORE commands in turn.
// From CHECK on, the search and the STORE before it have completed.
void (*const kBegin[])(CImapSocket&) = {
    [](CImapSocket&) {},
    [](CImapSocket& s) { s.SendLogin("Anna Rossi", "se\"gre\\ta"); },
    [](CImapSocket& s) { s.SendLogin("m\xC3\xBCller", "p\xC3\xA4sswort"); },
    [](CImapSocket& s) { s.SendCapability(); },
    [](CImapSocket& s) { s.SendSelect(); },
    [](CImapSocket& s) { s.SendSearch("01-Jan-2020"); },
    [](CImapSocket& s) { s.SendStore(); },
    [](CImapSocket& s) { s.SendStore(); },
    [](CImapSocket& s) { s.SendCheckAndExpunge(); },
    [](CImapSocket& s) { s.SendExpunge(); },
    [](CImapSocket& s) { s.SendUnflag(); },
    [](CImapSocket& s) { s.SendLogout(); },
};
constexpr int kStarts = sizeof kBegin / sizeof kBegin[0];

// The outcome as text: what the sequencer reads, and what the client sent.
std::string Run(int start, std::string_view reply, size_t piece, bool hangUp) {
    SessionPair pair;
    CImapSocket& s = pair.imap;
    pair.Serve(start == 0 ? "" : "* OK [CAPABILITY IMAP4rev1] ready\r\n");
    if (start >= 6) {
        std::string found = "* SEARCH";  // lone numbers, "n:n" each
        for (uint32_t n = 1; n < (start == 7 ? 800 : 12); n += 2)
            found += ' ' + std::to_string(start == 7 ? 4000000000 + n : n);
        s.SendSearch("01-Jan-2020");
        pair.Serve(found + "\r\n" + pair.Sent().substr(0, 8) + "OK x\r\n");
    }
    if (start >= 8) {
        s.SendStore();
        for (std::string line; s.m_bStored == 0 && !(line = pair.Sent()).empty();)
            pair.Serve(line.substr(0, 8) + "OK x\r\n");
    }
    kBegin[start](s);
    pair.Serve(reply, piece);
    std::string text = pair.Sent();
    if (hangUp)
        pair.HangUp();
    QD_CHECK(!hangUp || !s.IsOpen());  // the session noticed

    // By CMD_* code; LOGOUT has no flag of its own, it clears m_bLoggedIn.
    const int32_t flags[] = {s.m_bConnected, s.m_bLoggedIn, 0,
                             s.m_bSelected,  s.m_bSearched, s.m_bStored,
                             s.m_bExpunged,  s.m_bCapable,  s.m_bChecked,
                             s.m_bUnflagged};
    QD_CHECK(!s.HasFailed() || (!flags[s.m_nCommand] && !s.FailureReason().empty()));
    // Closed: failed, logged out, or done before the server left.
    QD_CHECK(s.IsOpen() || s.HasFailed() || s.m_nCommand == CMD_LOGOUT || flags[s.m_nCommand]);
    text += s.HasFailed() ? s.FailureReason() : "ok";
    text += s.IsOpen() ? ", open," : ", closed,";
    for (const int32_t f : flags) {
        QD_CHECK(f == 0 || f == 1);
        text += ' ' + std::to_string(f);
    }
    text += ", found " + std::to_string(s.FoundCount());
    return text;
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static wxInitializer wx;  // the sockets are served by wxBase's event loop
    QD_CHECK(wx.IsOk());
    // A wx assertion is a fault too; the stack trace shows where.
    wxSetAssertHandler([](const wxString&, int, const wxString&, const wxString&, const wxString&) {
        std::abort();
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 8192)  // one write must fit the socket pair's buffer
        return 0;
    const int start = static_cast<uint8_t>(data[0] - '0') % kStarts;
    const std::string_view reply(reinterpret_cast<const char*>(data) + 2, size - 2);
    const unsigned piece = data[1] % 32 + 1;
    const std::string whole = Run(start, reply, SIZE_MAX, data[1] & 32);
    const std::string cut = Run(start, reply, piece, data[1] & 32);
    if (whole != cut)
        std::fprintf(stderr, "one read: %s\n%u-byte reads: %s\n", whole.c_str(), piece,
                     cut.c_str());
    QD_CHECK(whole == cut);
    return 0;
}
