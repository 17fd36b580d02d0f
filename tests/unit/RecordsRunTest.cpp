// Records, plans, copies and rules end to end: quendravalt-cli against a real
// Dovecot, the manifest it writes read back, what is left read from the Maildir.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <ctime>
#include <string>
#include <vector>

#include "platform/DataFolder.h"
#include "run/Manifest.h"
#include "run/Rules.h"
#include "support/CliProcess.h"
#include "support/Dovecot.h"

namespace {
const std::string kGreeting = "=?UTF-8?B?R3LDvMOfZQ==?=";  // "Grüße"

class RecordsRun : public CliTest {
protected:
    // anna: old (encoded subject), new, old and flagged, old; bob: two old.
    void Serve(Dovecot& d) {
        d.AddAccount("anna", "panna");
        d.AddAccount("bob", "pbob");
        d.AddMessage("anna", 1, kOld, kGreeting, "S");
        d.AddMessage("anna", 2, kNew, "a2", "S");
        d.AddMessage("anna", 3, kOld, "a3", "FS");
        d.AddMessage("anna", 4, kOld, "a4");
        d.AddMessage("bob", 1, kOld, "b1", "S");
        d.AddMessage("bob", 2, kOld, "b2", "S");
        ASSERT_EQ(d.Start(), "");
        WriteFile(m_data.File(kConfigFileName),
                  "10\r\n127.0.0.1\r\n" + std::to_string(d.Port()) + "\r\nnone\r\n");
        WriteFile(m_data.File(kUserListFileName), "anna;panna\r\nbob;pbob\r\n");
        ::chmod(m_data.File(kUserListFileName).c_str(), 0600);
    }
    static std::vector<CManifestRow> Rows(const std::string& path) {
        std::vector<CManifestRow> rows;
        EXPECT_EQ(ReadManifestFile(path,
                                   [&](const CManifestRow& row) {
                                       rows.push_back(row);
                                       return true;
                                   }),
                  "");
        return rows;
    }
    // "account uid action subject" a row.
    static Texts Brief(const std::vector<CManifestRow>& rows) {
        Texts brief;
        for (const CManifestRow& row : rows)
            brief.push_back(row.account + " " + std::to_string(row.uid) + " " + row.action + " " +
                            row.subject);
        return brief;
    }
    int RunAnna(Texts args) {
        args.insert(args.begin(), {"--user", "anna", "--before", "2020-06-01"});
        return Run(args, "", {"QUENDRAVALT_PASSWORD=panna"});
    }
};

std::string CrLf(const std::string& text) {
    std::string out;
    for (const char c : text)
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    return out;
}
}  // namespace

// A preview's manifest is a plan: executed, it deletes exactly its messages,
// never one that came after it however old, and nothing of a mailbox rebuilt
// since. A plan of another server contacts nothing.
TEST_F(RecordsRun, APlanDeletesExactlyItsMessagesAndNothingThatCameAfter) {
    Dovecot d;
    Serve(d);
    const std::string plan = m_data.File("plan.csv"), done = m_data.File("done.csv");
    ASSERT_EQ(Run({"--list", "--before", "2020-06-01", "--dry-run", "--manifest", plan}), 0)
        << m_err;
    const std::vector<CManifestRow> planned = Rows(plan);
    EXPECT_EQ(Brief(planned),
              (Texts{"anna 1 would delete Grüße", "anna 3 would delete a3",
                     "anna 4 would delete a4", "bob 1 would delete b1", "bob 2 would delete b2"}));
    ASSERT_EQ(planned.size(), 5u);
    const CManifestRow& a3 = planned[1];
    EXPECT_EQ(a3.messageId, "<3.anna.@test>");
    EXPECT_EQ(a3.received, "2020-01-15T10:00:00+00:00");
    EXPECT_EQ(a3.flags, "\\Flagged \\Seen");
    EXPECT_EQ(a3.size, CrLf(d.MessageFile("anna", 3)).size());
    EXPECT_EQ(a3.server, "127.0.0.1:" + std::to_string(d.Port()));

    // Another server's plan: refused before anything is contacted.
    std::string text = ReadFile(plan);
    const std::string other = m_data.File("other.csv");
    std::string moved = text;
    for (size_t at; (at = moved.find(a3.server)) != std::string::npos;)
        moved.replace(at, a3.server.size(), "127.0.0.1:1");
    WriteFile(other, moved);
    EXPECT_EQ(Run({"--execute", other}), 2);
    EXPECT_NE(m_err.find("is for 127.0.0.1:1, not for the configured server"), std::string::npos)
        << m_err;
    // bob's mailbox rebuilt since the plan; anna's gets old mail, and loses one.
    const std::string validity = "bob,INBOX," + std::to_string(planned[3].uidValidity) + ",";
    for (size_t at; (at = text.find(validity)) != std::string::npos;)
        text.replace(at, validity.size(),
                     "bob,INBOX," + std::to_string(planned[3].uidValidity + 1) + ",");
    WriteFile(plan, text);
    d.AddMessage("anna", 5, kOld, "late");
    d.RemoveMessage("anna", 4);

    EXPECT_EQ(Run({"--execute", plan, "--manifest", done}), 1) << m_err;
    EXPECT_EQ(d.Subjects("anna"), (Texts{"a2:S", "late"}));
    EXPECT_EQ(d.Subjects("bob"), (Texts{"b1:S", "b2:S"}));
    EXPECT_EQ(Lines()[1], "bob\t-\t-\tfailed: mailbox was rebuilt since the plan");
    EXPECT_EQ(Brief(Rows(done)),
              (Texts{"anna 4 gone ", "anna 1 deleted Grüße", "anna 3 deleted a3"}));
}

// Each message is copied before it is flagged, the copy byte for byte what the
// server holds; no copy, no deletion. Restore puts the copies back with their
// dates and flags, once.
TEST_F(RecordsRun, CopiesComeFirstAndArePutBackOnce) {
    Dovecot d;
    Serve(d);
    WriteFile(m_data.File("file"), "");
    EXPECT_EQ(RunAnna({"--archive", m_data.File("file") + "/copies"}), 1);
    EXPECT_EQ(Lines()[0].rfind("anna\t3\t0\tfailed: copy failed: ", 0), 0u) << m_out;
    EXPECT_EQ(d.Subjects("anna"), (Texts{kGreeting + ":S", "a2:S", "a3:FS", "a4"}));

    const Texts files = {d.MessageFile("anna", 1), d.MessageFile("anna", 3),
                         d.MessageFile("anna", 4)};
    const std::string done = m_data.File("done.csv");
    ASSERT_EQ(RunAnna({"--archive", m_data.File("copies"), "--manifest", done}), 0) << m_err;
    const std::vector<CManifestRow> deleted = Rows(done);
    ASSERT_EQ(deleted.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(deleted[i].action, "deleted");
        EXPECT_EQ(ReadFile(deleted[i].archive), CrLf(files[i])) << deleted[i].archive;
    }
    EXPECT_EQ(d.Subjects("anna"), Texts{"a2:S"});

    const std::string check = m_data.File("check.csv");
    for (const char* restored :
         {"restored 3, skipped 0, failed 0", "restored 0, skipped 3, failed 0"}) {
        EXPECT_EQ(Run({"--restore", done, "--user", "anna"}, "", {"QUENDRAVALT_PASSWORD=panna"}), 0)
            << m_err;
        EXPECT_EQ(Lines()[0], std::string("anna\t") + restored);
    }
    std::remove(check.c_str());
    ASSERT_EQ(RunAnna({"--dry-run", "--manifest", check}), 0);
    const std::vector<CManifestRow> back = Rows(check);
    ASSERT_EQ(back.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(back[i].messageId, deleted[i].messageId);
        EXPECT_EQ(back[i].received, deleted[i].received);
        EXPECT_EQ(back[i].flags, deleted[i].flags);
        EXPECT_EQ(back[i].subject, deleted[i].subject);
    }
}

// Each folder at its own age, what is spared left alone, an account's own
// section, a folder the account lacks noted while the others are cleaned;
// to Trash, Trash's own old mail goes first and what the run moves there stays.
TEST_F(RecordsRun, RulesCleanEachFolderAtItsAgeAndSpareWhatTheySay) {
    Dovecot d;
    d.UseSpecialUse();
    const std::time_t now = std::time(nullptr), day = 86400;
    for (const char* name : {"anna", "bob", "carl"})
        d.AddAccount(name, std::string("p") + name);
    d.AddMessage("anna", 1, kOld, "a1", "S");
    d.AddMessage("anna", 2, kOld, "a2", "FS");
    d.AddMessage("anna", 3, kOld, "a3");  // unread
    d.AddMessage("anna", 4, kNew, "a4", "S");
    d.AddMessage("anna", 1, now - 40 * day, "t1", "S", "Trash");
    d.AddMessage("anna", 2, now - 10 * day, "t2", "S", "Trash");
    d.AddMessage("bob", 1, now - 100 * day, "b1", "S");
    d.AddMessage("bob", 2, now - 50 * day, "b2", "S");
    d.AddMessage("bob", 3, kOld, "b3", "FS");
    d.AddMessage("carl", 1, kOld, "c1", "S");
    d.AddMessage("carl", 2, kNew, "c2", "S");
    d.AddMessage("carl", 1, now - 40 * day, "ct1", "S", "Trash");
    ASSERT_EQ(d.Start(), "");
    WriteFile(m_data.File(kConfigFileName),
              "10\r\n127.0.0.1\r\n" + std::to_string(d.Port()) + "\r\nnone\r\n");
    WriteFile(m_data.File(kUserListFileName), "anna;panna\r\nbob;pbob\r\n");
    WriteFile(m_data.File(kRulesFileName),
              "[all]\nINBOX\n\\Trash older-than 30\n\\Archive\nspare flagged\nspare unread\n\n"
              "[BOB]   # names without case\nINBOX older-than 90\n");
    ::chmod(m_data.File(kUserListFileName).c_str(), 0600);

    EXPECT_EQ(Run({"--list", "--before", "2020-06-01"}), 0) << m_err;
    const std::string cleaned = " (Trash 1, INBOX 1; no folder \\Archive)";
    EXPECT_EQ(Lines(), (Texts{"anna\t2\t2\tdone" + cleaned, "bob\t1\t1\tdone",
                              "2 accounts, 0 failed, 3 messages deleted"}));
    EXPECT_EQ(d.Subjects("anna"), (Texts{"a2:FS", "a3", "a4:S"}));
    EXPECT_EQ(d.Subjects("anna", "Trash"), Texts{"t2:S"});
    EXPECT_EQ(d.Subjects("bob"), (Texts{"b2:S", "b3:FS"}));

    EXPECT_EQ(Run({"--user", "carl", "--before", "2020-06-01", "--to-trash"}, "",
                  {"QUENDRAVALT_PASSWORD=pcarl"}),
              0)
        << m_err;
    EXPECT_EQ(d.Subjects("carl"), Texts{"c2:S"});
    EXPECT_EQ(d.Subjects("carl", "Trash"), Texts{"c1:S"});
    EXPECT_EQ(Lines(), (Texts{"carl\t2\t1\tdone" + cleaned,
                              "1 accounts, 0 failed, 1 messages deleted, 1 moved to Trash"}));
}
