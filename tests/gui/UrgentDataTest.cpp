// TCP urgent data under the program's own (GTK) event loop, which watches
// sockets for priority data too.
#include <gtest/gtest.h>

#include <wx/evtloop.h>

#include "support/SessionPair.h"

TEST(UrgentData, IsDroppedWithoutSpinningTheLoop) {
    SessionPair pair({}, true);
    pair.Serve("* OK [CAPABILITY IMAP4rev1] ready\r\n");
    pair.imap.SendLogin("u", "p");
    pair.ServeUrgent();
    // Dealt with, the byte leaves the loop idle; one it keeps waking for spins it.
    wxEventLoopBase& loop = *wxEventLoopBase::GetActive();
    int wakeUps = 0;
    while (loop.Pending() && ++wakeUps < 100)
        loop.Dispatch();
    EXPECT_LT(wakeUps, 100);
    pair.Serve("a000000 OK LOGIN done\r\n");
    EXPECT_EQ(pair.imap.m_bLoggedIn, 1);
}
