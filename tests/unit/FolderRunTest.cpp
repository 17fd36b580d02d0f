// Runs over several folders against a scripted mailbox: Trash by COPY where
// MOVE is missing, Gmail's labels, a plan on a server without UIDPLUS, and the
// manifest of a run whose connection is cut. The mailbox keeps its numbers as
// a server does, so that the run's own account of them is put to the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "run/Manifest.h"
#include "run/Plan.h"
#include "support/Harness.h"
#include "support/RunHarness.h"
#include "support/ScriptedServer.h"

namespace {
using Lines = std::vector<std::string>;

struct Message {
    uint32_t uid;
    bool old;
    std::string id;  // what Gmail's labels share
    bool deleted = false;
};

struct Folder {
    std::string use;  // its special-use attribute
    std::vector<Message> mail;
    uint32_t next = 1;
};

// One account's folders over IMAP. On Gmail the folders are labels of one
// message: All Mail keeps what another folder expunges, a move to Trash takes
// every label, and a \Deleted flag outside Trash expunges at once.
class Mailbox {
public:
    std::string caps = "IMAP4rev1 UIDPLUS MOVE SPECIAL-USE";
    bool gmail = false;
    std::string refuse;  // a command refused with NO
    std::string cut;     // a command that gets one EXPUNGE and then a closed connection
    std::map<std::string, Folder> folders;

    void Add(const std::string& folder, bool old, const std::string& id) {
        Folder& f = folders[folder];
        f.mail.push_back({f.next++, old, id});
        if (gmail && folder != "[Gmail]/All Mail")
            Add("[Gmail]/All Mail", old, id);
    }
    // The ids left in folder, in order.
    Lines Left(const std::string& folder) {
        Lines ids;
        for (const Message& m : folders[folder].mail)
            ids.push_back(m.id + (m.deleted ? ":T" : ""));
        return ids;
    }

    Reply Answer(const std::string& tag, const std::string& command) {
        const auto starts = [&command](const std::string& word) {
            return command.rfind(word, 0) == 0;
        };
        const std::string ok = tag + " OK done\r\n";
        if (!refuse.empty() && starts(refuse))
            return {tag + " NO not now\r\n"};
        if (starts("CAPABILITY"))
            return {"* CAPABILITY " + caps + "\r\n" + ok};
        if (starts("LIST")) {
            std::string out;
            for (const auto& [name, folder] : folders)
                out += "* LIST (" + folder.use + ") \"/\" \"" + name + "\"\r\n";
            return {out + ok};
        }
        if (starts("SELECT")) {
            m_selected = Unquoted(command.substr(7));
            const Folder& f = folders[m_selected];
            return {"* " + std::to_string(f.mail.size()) + " EXISTS\r\n* OK [UIDVALIDITY 7] x\r\n" +
                    tag + " OK [READ-WRITE] done\r\n"};
        }
        Folder& here = folders[m_selected];
        const std::string verb = command.substr(4, command.find(' ', 4) - 4);
        const std::string rest = command.substr(std::min(command.size(), 5 + verb.size()));
        const std::vector<uint32_t> set =
            Uids(starts("UID SEARCH UID ") ? command.substr(15) : rest.substr(0, rest.find(' ')));
        std::string out;
        if (starts("UID SEARCH UID")) {
            out = "* SEARCH";
            for (const Message& m : here.mail)
                out += std::count(set.begin(), set.end(), m.uid) ? " " + std::to_string(m.uid) : "";
            return {out + "\r\n" + ok};
        }
        if (starts("UID SEARCH")) {
            out = "* SEARCH";
            for (const Message& m : here.mail)
                out += m.old ? " " + std::to_string(m.uid) : "";
            return {out + "\r\n" + ok};
        }
        std::string source, target;
        for (size_t seq = 1; seq <= here.mail.size(); ++seq) {
            Message& m = here.mail[seq - 1];
            if (!std::count(set.begin(), set.end(), m.uid))
                continue;
            const std::string n = std::to_string(seq);
            if (verb == "FETCH") {
                const std::string head = "Message-ID: <" + m.id + ">\r\n\r\n";
                out += "* " + n + " FETCH (UID " + std::to_string(m.uid) +
                       " FLAGS () INTERNALDATE \"15-Jan-2020 10:00:00 +0000\" RFC822.SIZE 40 "
                       "BODY[HEADER.FIELDS (MESSAGE-ID DATE FROM SUBJECT)] {" +
                       std::to_string(head.size()) + "}\r\n" + head + ")\r\n";
            } else if (verb == "MOVE" || verb == "COPY") {
                Folder& to = folders[Unquoted(rest.substr(rest.find(' ') + 1))];
                source += "," + std::to_string(m.uid);
                target += "," + std::to_string(to.next);
                to.mail.push_back({to.next++, m.old, m.id});
                std::vector<Message>& all = folders["[Gmail]/All Mail"].mail;
                if (verb == "MOVE" && gmail)  // Trash takes every label
                    all.erase(std::remove_if(all.begin(), all.end(),
                                             [&](const Message& a) { return a.id == m.id; }),
                              all.end());
                if (verb == "MOVE")
                    Expunge(out, seq--);
            } else if (verb == "STORE") {
                m.deleted = command.find("+FLAGS") != std::string::npos;
                if (gmail && m.deleted && here.use != "\\Trash")  // Auto-Expunge
                    Expunge(out, seq--);
            } else if (verb == "EXPUNGE" && m.deleted) {
                Expunge(out, seq--);
                if (!cut.empty() && starts(cut))
                    return {out, 0ms, Reply::Close};
            }
        }
        if (!source.empty()) {
            const std::string copyuid =
                "[COPYUID 7 " + source.substr(1) + " " + target.substr(1) + "]";
            return {verb == "MOVE" ? "* OK " + copyuid + " moved\r\n" + out + ok
                                   : tag + " OK " + copyuid + " done\r\n"};
        }
        return {out + ok};
    }

private:
    std::string m_selected;

    void Expunge(std::string& out, size_t seq) {
        Folder& here = folders[m_selected];
        here.mail.erase(here.mail.begin() + static_cast<std::ptrdiff_t>(seq - 1));
        out += "* " + std::to_string(seq) + " EXPUNGE\r\n";
    }

    static std::string Unquoted(std::string name) {
        if (name.size() >= 2 && name.front() == '"')
            name = name.substr(1, name.size() - 2);
        return name;
    }
    static std::vector<uint32_t> Uids(const std::string& set) {
        std::vector<uint32_t> uids;
        for (size_t at = 0; at < set.size();) {
            const size_t end = std::min(set.find(',', at), set.size());
            const std::string range = set.substr(at, end - at);
            const size_t colon = range.find(':');
            const uint32_t first = static_cast<uint32_t>(std::strtoul(range.c_str(), nullptr, 10));
            const uint32_t last =
                colon == std::string::npos
                    ? first
                    : static_cast<uint32_t>(std::strtoul(range.c_str() + colon + 1, nullptr, 10));
            for (uint32_t uid = first; uid >= 1 && uid <= last; ++uid)
                uids.push_back(uid);
            at = end + 1;
        }
        return uids;
    }
};

ScriptedServer::Responder Serve(Mailbox& mailbox) {
    return [&mailbox](int, const std::string& tag, const std::string& command) {
        return mailbox.Answer(tag, command);
    };
}

void RunOne(TestRun& run, CRunOptions options = {}) {
    run.sequencer.SetRunOptions(std::move(options));
    run.users.m_arrAccounts = {"anna"};
    run.users.m_arrPasswords = {"pw"};
    run.sequencer.StartListRun("01-Jan-2024");
    ASSERT_TRUE(run.WaitForEnd());
}

const std::string kLogin = "1: CAPABILITY | LOGIN anna pw | CAPABILITY";
const std::string kFetch =
    " (UID FLAGS INTERNALDATE RFC822.SIZE BODY.PEEK[HEADER.FIELDS (MESSAGE-ID DATE FROM SUBJECT)])";
}  // namespace

// Without MOVE mail reaches Trash by COPY, then STORE and EXPUNGE of the same
// set. Trash's own old mail goes first, so what the run puts there stays,
// however old. A COPY refused deletes nothing.
TEST(FolderRun, WithoutMoveTrashIsReachedByCopyAndAFailedCopyDeletesNothing) {
    for (const bool refused : {false, true}) {
        SCOPED_TRACE(refused);
        Mailbox box;
        box.caps = "IMAP4rev1 UIDPLUS SPECIAL-USE";
        box.refuse = refused ? "UID COPY" : "";
        box.folders["Bin"].use = "\\Trash";
        for (const char* id : {"i1", "i2", "i3"})
            box.Add("INBOX", id[1] != '2', id);
        box.Add("Bin", true, "t1");
        box.Add("Bin", false, "t2");
        ScriptedServer server(Serve(box));
        TestRun run(server.Port());
        CRunOptions options;
        ASSERT_EQ(ParseRules("[all]\nINBOX\n\\Trash\naction trash\n", "r", options.rules), "");
        RunOne(run, std::move(options));
        const std::string copy = " | UID COPY 1:1,3:3 Bin";
        EXPECT_EQ(Dialogues(server),
                  Lines{kLogin +
                        " | LIST \"\" \"*\" RETURN (SPECIAL-USE) | SELECT Bin | UID SEARCH "
                        "ALL BEFORE 01-Jan-2024 | UID STORE 1:1 +FLAGS (\\Deleted) | UID "
                        "EXPUNGE 1:1 | SELECT INBOX | UID SEARCH ALL BEFORE 01-Jan-2024" +
                        copy +
                        (refused ? " | LOGOUT"
                                 : " | UID STORE 1:1,3:3 +FLAGS (\\Deleted) | UID EXPUNGE "
                                   "1:1,3:3 | LOGOUT")});
        EXPECT_EQ(box.Left("INBOX"), refused ? (Lines{"i1", "i2", "i3"}) : Lines{"i2"});
        EXPECT_EQ(box.Left("Bin"), refused ? Lines{"t2"} : (Lines{"t2", "i1", "i3"}));
        EXPECT_EQ(run.sequencer.m_results[0].failure, refused ? "copy to Trash rejected" : "");
    }
}

// On Gmail a deletion is a move to Trash and an expunge there of exactly the
// moved messages: the old ones are gone from All Mail, and nothing else.
// A \Deleted flag is never set outside Trash (Auto-Expunge acts on it at once).
// To Trash, the run stops after the move.
TEST(FolderRun, OnGmailOldMailLeavesAllMailAndNothingElseDoes) {
    for (const bool toTrash : {false, true}) {
        SCOPED_TRACE(toTrash);
        Mailbox box;
        box.caps = "IMAP4rev1 UIDPLUS MOVE SPECIAL-USE X-GM-EXT-1";
        box.folders["[Gmail]/All Mail"].use = "\\All";
        box.folders["[Gmail]/Trash"].use = "\\Trash";
        box.Add("[Gmail]/All Mail", true, "archived");
        box.Add("[Gmail]/Trash", true, "binned");
        box.gmail = true;
        for (const char* id : {"g1", "g2", "g3"})
            box.Add("INBOX", id[1] != '2', id);
        ScriptedServer server(Serve(box));
        TestRun run(server.Port());
        TempFolder folder;
        CRunOptions options;
        options.manifest = folder.File("m.csv");
        if (toTrash)
            options.rules.all.action = RuleAction::Trash;
        RunOne(run, std::move(options));
        const std::string inbox =
            kLogin +
            " | LIST \"\" \"*\" RETURN (SPECIAL-USE) | SELECT INBOX | UID SEARCH ALL "
            "BEFORE 01-Jan-2024 | UID FETCH 1:1,3:3" +
            kFetch + " | UID MOVE 1:1,3:3 \"[Gmail]/Trash\"";
        EXPECT_EQ(Dialogues(server),
                  Lines{inbox + (toTrash ? " | LOGOUT"
                                         : " | SELECT \"[Gmail]/Trash\" | UID STORE 2:3 +FLAGS "
                                           "(\\Deleted) | UID EXPUNGE 2:3 | LOGOUT")});
        EXPECT_EQ(box.Left("[Gmail]/All Mail"), (Lines{"archived", "g2"}));
        EXPECT_EQ(box.Left("INBOX"), Lines{"g2"});
        EXPECT_EQ(box.Left("[Gmail]/Trash"),
                  toTrash ? (Lines{"binned", "g1", "g3"}) : Lines{"binned"});
        Lines rows;
        EXPECT_EQ(ReadManifestFile(folder.File("m.csv"),
                                   [&](const CManifestRow& row) {
                                       rows.push_back(row.folder + " " + std::to_string(row.uid) +
                                                      " " + row.messageId + " " + row.action);
                                       return true;
                                   }),
                  "");
        const std::string done = toTrash ? "moved to Trash" : "deleted";  // from Trash
        EXPECT_EQ(rows, (Lines{"INBOX 1 <g1> " + done, "INBOX 3 <g3> " + done}));
    }
}

// A plan names UIDs: without UIDPLUS the account fails before anything is
// flagged. A connection cut in the middle of an EXPUNGE leaves a manifest with
// the row of what was deleted, and the rest flagged back.
TEST(FolderRun, APlanNeedsUidplusAndACutRunStillRecordsWhatWentAndWhatStayed) {
    Mailbox box;
    box.caps = "IMAP4rev1 MOVE";
    box.Add("INBOX", true, "i1");
    ScriptedServer server(Serve(box));
    TestRun run(server.Port());
    CPlan plan;
    plan.server = "127.0.0.1:" + std::to_string(server.Port());
    plan.accounts = {"anna"};
    plan.folders["anna"] = {{"INBOX", 7, {1}}};
    CRunOptions options;
    options.plan = &plan;
    RunOne(run, std::move(options));
    EXPECT_EQ(Dialogues(server), Lines{kLogin + " | LOGOUT"});
    EXPECT_EQ(run.sequencer.m_results[0].failure, "server cannot delete by UID");

    Mailbox cut;
    cut.cut = "UID EXPUNGE";
    for (const char* id : {"c1", "c2", "c3"})
        cut.Add("INBOX", true, id);
    ScriptedServer second(Serve(cut));
    TestRun again(second.Port());
    TempFolder folder;
    options = {};
    options.manifest = folder.File("m.csv");
    RunOne(again, std::move(options));
    EXPECT_EQ(cut.Left("INBOX"), (Lines{"c2", "c3"}));
    Lines rows;
    EXPECT_EQ(ReadManifestFile(folder.File("m.csv"),
                               [&](const CManifestRow& row) {
                                   rows.push_back(row.messageId + " " + row.action);
                                   return true;
                               }),
              "");
    const std::string kept = "kept: server closed the connection; deleted flags removed";
    EXPECT_EQ(rows, (Lines{"<c1> deleted", "<c2> " + kept, "<c3> " + kept}));
    EXPECT_EQ(again.sequencer.m_results[0].deleted, 1u);
    const std::string select = kLogin.substr(3) + " | SELECT INBOX";
    EXPECT_EQ(Dialogues(second),
              (Lines{"1: " + select + " | UID SEARCH ALL BEFORE 01-Jan-2024 | UID FETCH 1:3" +
                         kFetch + " | UID STORE 1:3 +FLAGS (\\Deleted) | UID EXPUNGE 1:3",
                     "2: " + select +
                         " | UID STORE 1:3 -FLAGS (\\Deleted) | UID SEARCH UID 1:3 | LOGOUT"}));
}
