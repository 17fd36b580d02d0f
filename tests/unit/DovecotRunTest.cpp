// A whole run against a real Dovecot: what is left in each Maildir afterwards,
// and the status lines the administrator saw on the way.
#include <gtest/gtest.h>

#include "support/Dovecot.h"
#include "support/RunHarness.h"

namespace {
using Texts = std::vector<std::string>;

const std::time_t kOld = 1579082400;  // 15-Jan-2020 10:00 UTC
const std::time_t kNew = 1596276000;  // 01-Aug-2020 10:00 UTC
const std::string kCutoff = "01-Jun-2020";

// Subjects tell the date and the position: old1, new2, ...
void AddMail(Dovecot& d, const std::string& account, const std::vector<std::time_t>& dates) {
    for (unsigned i = 1; i <= dates.size(); ++i)
        d.AddMessage(account, i, dates[i - 1],
                     (dates[i - 1] == kOld ? "old" : "new") + std::to_string(i));
}

}  // namespace

// Old and new mail interleaved, so that a first:last range over the old ones
// would hit a new one; a refused login in the middle; a password for each
// LOGIN form: quoted (space and '"'), and literal (8-bit bytes).
TEST(DovecotRun, ListRunDeletesExactlyTheOldMailAndGoesOnPastARefusedLogin) {
    const std::string quoted = "my \"pass word", literal = "p\xE4ss\xF6rd\xC3\xA9";
    Dovecot d;
    d.AddAccount("alice", quoted);
    d.AddAccount("bob", "right");
    d.AddAccount("carol", literal);
    AddMail(d, "alice", {kOld, kNew, kOld, kOld, kNew});
    AddMail(d, "carol", {kNew, kNew});
    ASSERT_EQ(d.Start(), "");

    TestRun run(d.Port(), 20);
    run.users.m_arrAccounts = {"alice", "bob", "carol"};
    run.users.m_arrPasswords = {quoted, "wrong", literal};
    run.sequencer.StartListRun(kCutoff);
    ASSERT_TRUE(run.WaitForEnd());

    EXPECT_EQ(d.Subjects("alice"), (Texts{"new2", "new5"}));
    EXPECT_EQ(d.Subjects("carol"), (Texts{"new1", "new2"}));
    const std::string connected = "Connected to server 127.0.0.1";
    const std::string searching = "Search mails with date before " + kCutoff;
    // clang-format off
    EXPECT_EQ(run.statuses, (Texts{
        connected, "Login User alice", searching, "Deleting 3 mails", "Logout from exchange server.",
        connected, "Login User bob", "Failed for user bob: login rejected",
        connected, "Login User carol", searching, "No message found", "Logout from exchange server.",
        "Operazione completata."}));
    // clang-format on
}
