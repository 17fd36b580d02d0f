// The records of a run and what steers it: header fields as a person reads
// them, folder names as IMAP carries them, the manifest, the verified copy
// before deletion, and the rules file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>

#include "imap/EncodedWords.h"
#include "imap/MailboxName.h"
#include "run/Archive.h"
#include "run/Manifest.h"
#include "run/Rules.h"
#include "support/Harness.h"

using namespace std::string_literals;

namespace {
mode_t RecordsModeOf(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

std::vector<std::string> FieldsOf(const CManifestRow& r) {
    return {r.account,
            r.folder,
            std::to_string(r.uidValidity),
            std::to_string(r.uid),
            r.received,
            std::to_string(r.size),
            r.messageId,
            r.date,
            r.from,
            r.subject,
            r.action,
            r.archive,
            r.sha256,
            r.flags,
            r.server};
}
}  // namespace

TEST(RecordsHeaders, DecodedAsAPersonReadsThem) {
    struct Row {
        const char* fault;
        std::string value, decoded;
    } rows[] = {
        {"a B word left encoded", "=?UTF-8?B?w6RiYw==?=", "äbc"},
        {"a Q word with _, =XX and its charset in lower case left",
         "=?iso-8859-1?q?caf=E9_au_lait?=", "café au lait"},
        {"blanks and a fold between adjacent words kept", "=?UTF-8?Q?a?= \r\n =?utf-8?Q?b?=", "ab"},
        {"a blank between words of two charsets kept", "=?UTF-8?Q?a?= =?ISO-8859-1?Q?=E9?=", "aé"},
        {"blank between a word and text dropped", "=?UTF-8?Q?a?= b =?UTF-8?Q?c?=", "a b c"},
        {"a character split across two words mangled", "=?UTF-8?B?ww==?= =?UTF-8?B?pA==?=", "ä"},
        {"a language after the charset left encoded", "=?UTF-8*de?Q?=C3=A4?=", "ä"},
        {"a charset only the system knows left encoded", "=?windows-1252?Q?=80_5?=", "€ 5"},
        {"an unknown charset decoded anyway",
         "x =?x-nothing?Q?abc?= =?x-nothing?Q?d?=", "x =?x-nothing?Q?abc?= =?x-nothing?Q?d?="},
        {"a broken base64 decoded anyway", "=?UTF-8?B?w6Q!?=", "=?UTF-8?B?w6Q!?="},
        {"Latin-1 bytes outside words taken for UTF-8", "caf\xE9 =?UTF-8?Q?=C3=A4?=", "café ä"},
        {"a control character left raw", "a\x01\tb=?UTF-8?Q?=0A=C2=85?=", "a\\x01\tb\\x0A\\x85"},
        {"no cut of a long value", std::string(5000, 'x'), std::string(4093, 'x') + "..."},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        EXPECT_EQ(DecodeHeaderValue(row.value), row.decoded);
    }
    const auto fields = ParseHeaderFields(
        "subject: =?UTF-8?Q?a?=\r\n =?UTF-8?Q?b?=  \r\nFrom:  x@y \r\nFROM: second\r\n more\r\n"
        "not a field\r\nDate : Mon\r\n\r\n");
    const std::map<std::string, std::string> expected = {
        {"SUBJECT", "=?UTF-8?Q?a?= =?UTF-8?Q?b?="}, {"FROM", "x@y"}, {"DATE", "Mon"}};
    EXPECT_EQ(fields, expected);
}

TEST(RecordsMailboxNames, ConvertBothWaysAndRefuseWhatIsNoModifiedUtf7) {
    struct Row {
        const char* fault;
        std::string utf8, imap;  // utf8 "" for a name that must be refused
    } rows[] = {
        {"a Latin letter wrong", "ä", "&AOQ-"},
        {"CJK not in one shift", "日本", "&ZeVnLA-"},
        {"the ampersand taken for a shift", "&", "&-"},
        {"a shift not ended before ASCII", "Entwürfe/Ä&B", "Entw&APw-rfe/&AMQ-&-B"},
        {"a surrogate pair split", "\xF0\x9F\x98\x80", "&2D3eAA-"},
        {"a bare ampersand taken", "", "&"},
        {"a shift never ended taken", "", "&AOQ"},
        {"half a UTF-16 unit taken", "", "&AO-"},
        {"bits left over that are not zero taken", "", "&AOR-"},
        {"a lone high surrogate taken", "", "&2D0-"},
        {"printable ASCII in a shift taken", "", "&AGE-"},
        {"raw 8-bit bytes taken", "", "caf\xC3\xA9"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        std::string decoded = "untouched";
        EXPECT_EQ(DecodeMailboxName(row.imap, decoded), !row.utf8.empty());
        EXPECT_EQ(decoded, row.utf8.empty() ? "untouched" : row.utf8);
        if (!row.utf8.empty()) {
            EXPECT_EQ(EncodeMailboxName(row.utf8), row.imap);
        }
    }
}

TEST(RecordsManifest, WrittenOwnerOnlyAndReadBackByteExact) {
    struct Row {
        const char* fault;
        std::string field, cell;  // a subject and how the row writes it
    } rows[] = {
        {"comma not quoted", "a,b", "\"a,b\""},
        {"quote not doubled", "say \"hi\"", "\"say \"\"hi\"\"\""},
        {"CR LF inside lost", "a\r\nb", "\"a\r\nb\""},
        {"bare LF inside lost", "a\nb", "\"a\nb\""},
        {"formula not guarded", "=1+2", "'=1+2"},
        {"minus not guarded", "-x", "'-x"},
        {"@ not guarded", "@x", "'@x"},
        {"TAB not guarded", "\tx", "'\tx"},
        {"CR first not guarded and quoted", "\rx", "\"'\rx\""},
        {"the guard itself not guarded", "'=x", "''=x"},
        {"a lone quote mark", "'", "''"},
        {"a plain field changed", "plain text", "plain text"},
    };
    TempFolder dir;
    const std::string path = dir.File("audit/deep/run.csv");
    CManifestWriter writer;
    ASSERT_EQ(writer.Create(path), "");
    std::vector<CManifestRow> written;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        CManifestRow r{"anna@example.com",
                       "INBOX",
                       7,
                       42,
                       "2020-01-15T10:00:00+01:00",
                       1234,
                       "<m@x>",
                       "Wed, 15 Jan 2020",
                       "-Anna- <a@x>",
                       row.field,
                       "deleted",
                       "",
                       "",
                       "\\Seen \\Flagged",
                       "imap.example.com:993"};
        EXPECT_EQ(FormatManifestRow(r),
                  "anna@example.com,INBOX,7,42,2020-01-15T10:00:00+01:00,1234,<m@x>,"
                  "\"Wed, 15 Jan 2020\",'-Anna- <a@x>," +
                      row.cell + ",deleted,,,\\Seen \\Flagged,imap.example.com:993\r\n");
        EXPECT_TRUE(writer.Append(r));
        written.push_back(r);
    }
    EXPECT_TRUE(writer.Sync());
    writer.Close();
    EXPECT_EQ(RecordsModeOf(path), 0600u);
    EXPECT_EQ(RecordsModeOf(dir.File("audit")), 0700u);
    size_t read = 0;
    EXPECT_EQ(ReadManifestFile(path,
                               [&](const CManifestRow& r) {
                                   EXPECT_EQ(FieldsOf(r), FieldsOf(written.at(read++)));
                                   return true;
                               }),
              "");
    EXPECT_EQ(read, written.size());
    // The record is never made twice nor through a link someone planted.
    EXPECT_NE(writer.Create(path), "");
    WriteFile(dir.File("victim"), "kept");
    ::symlink(dir.File("victim").c_str(), dir.File("linked.csv").c_str());
    EXPECT_NE(writer.Create(dir.File("linked.csv")), "");
    EXPECT_EQ(ReadFile(dir.File("victim")), "kept");
}

TEST(RecordsManifest, WhatIsNoManifestIsRefusedNamingItsLine) {
    const std::string header = ManifestHeader();
    const std::string good = "a,INBOX,7,42,r,10,<m>,d,f,s,deleted,,,,h:993\r\n";
    struct Row {
        const char* fault;
        std::string bytes, error;
        size_t rows;  // read before the error
    } rows[] = {
        {"a good file refused", header + good + good, "", 2},
        {"a last line without CR LF refused", header + good.substr(0, good.size() - 2), "", 1},
        {"a field count wrong", header + good + "a,b\r\n", "line 3: 15 fields expected, 2 found",
         1},
        {"a uid that is no number", header + "a,INBOX,7,4x,r,10,<m>,d,f,s,deleted,,,,h\r\n",
         "line 2: uid is not a number", 0},
        {"a uid above 32 bits", header + "a,INBOX,7,4294967296,r,1,m,d,f,s,x,,,,h\r\n",
         "line 2: uid is not a number", 0},
        {"a negative size", header + "a,INBOX,7,4,r,-1,m,d,f,s,x,,,,h\r\n",
         "line 2: size is not a number", 0},
        {"lines inside quotes not counted",
         header + "a,INBOX,7,4,r,1,m,d,f,\"s\r\n\nt\",x,,,,h\r\n" + "a,b\r\n",
         "line 5: 15 fields expected, 2 found", 1},
        {"a quote that never closes", header + good + "a,\"INBOX,7\r\n",
         "line 3: a quote that never closes", 1},
        {"text after a closing quote", header + "\"a\"b,\r\n", "line 2: text after a closing quote",
         0},
        {"another CSV taken for a manifest", "Account,Found\r\n" + good,
         "line 1: not a manifest (no header)", 0},
        {"an empty file taken for a manifest", "", "line 1: not a manifest (no header)", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        size_t read = 0;
        EXPECT_EQ(ReadManifest(row.bytes, [&](const CManifestRow&) { return ++read > 0; }),
                  row.error);
        EXPECT_EQ(read, row.rows);
    }
}

TEST(RecordsArchive, PathsSafeOnBothFileSystemsThatNeverCollide) {
    const std::string x300(300, 'x'), x299y = std::string(299, 'x') + "y";
    struct Row {
        const char* fault;
        std::string account, folder;
        char delim;
        std::string path;  // after "/d/" and before "/7-42.eml"
    } rows[] = {
        {"a device name", "CON", "INBOX", '/', "%43ON/INBOX"},
        {"a device name with an extension", "a", "nul.txt", '.', "a/%6Eul/txt"},
        {"a device name with an extension in one level", "a", "com1.txt", '/', "a/%63om1.txt"},
        {"a separator inside a level", "a", "a/b", '.', "a/a%2Fb"},
        {"levels not split at the delimiter", "a", "a/b", '/', "a/a/b"},
        {"a drive colon", "x:y", "INBOX", '/', "x%3Ay/INBOX"},
        {"a trailing dot", "a", "name.", '/', "a/name%2E"},
        {"dot-dot climbs out", "..", "..", 0, ".%2E/.%2E"},
        {"an empty level", "a", "a//b", '/', "a/a/%/b"},
        {"the escape itself unescaped", "a", "a%3Ab", '/', "a/a%253Ab"},
        {"UTF-8 escaped, stray bytes not", "a", "Entwürfe\xFF", '/', "a/Entwürfe%FF"},
    };
    std::set<std::string> paths;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        const std::string path = ArchivePath("/d", row.account, row.folder, row.delim, 7, 42);
        EXPECT_EQ(path, "/d/" + row.path + "/7-42.eml");
        EXPECT_TRUE(paths.insert(path).second);
    }
    const std::string a = ArchivePath("/d/", "a", x300, '/', 1, 2);
    const std::string b = ArchivePath("/d", "a", x299y, '/', 1, 2);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.size(), std::string("/d/a//1-2.eml").size() + 100);
    EXPECT_EQ(a.substr(0, 5 + 68), "/d/a/" + std::string(67, 'x') + "~");
}

TEST(RecordsArchive, ACopyTakesItsNameOnlyWholeAndNeverThroughALink) {
    struct Row {
        const char* fault;
        uint64_t expected;  // the size the server gave
        bool planted;       // a link at the temporary name
        bool finish;        // else abandoned
        bool kept;
    } rows[] = {
        {"a whole copy not kept", 6, false, true, true},
        {"a copy shorter than the server said kept", 7, false, true, false},
        {"a copy longer than the server said kept", 5, false, true, false},
        {"a link at the temporary name followed", 6, true, true, true},
        {"an abandoned copy left behind", 6, false, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        TempFolder dir;
        const std::string path = ArchivePath(dir.File("arch"), "anna", "INBOX", '/', 7, 42);
        WriteFile(dir.File("victim"), "kept");
        std::string sha256 = "none", error;
        {
            CArchiveFile copy;
            ASSERT_EQ(copy.Begin(path), "");
            copy.Abandon();
            EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
            // What a crash or someone else left at the temporary name.
            if (row.planted)
                ::symlink(dir.File("victim").c_str(), (path + ".tmp").c_str());
            else
                WriteFile(path + ".tmp", "stale");
            ASSERT_EQ(copy.Begin(path), "");
            EXPECT_TRUE(copy.Write("abc") && copy.Write("def"));
            if (row.finish)
                error = copy.Finish(row.expected, &sha256);
        }
        EXPECT_EQ(row.finish && error.empty(), row.kept) << error;
        EXPECT_EQ(ReadFile(dir.File("victim")), "kept");
        EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path + ".tmp")));
        if (!row.kept) {
            EXPECT_FALSE(std::filesystem::exists(path));
            EXPECT_EQ(sha256, "none");
            continue;
        }
        EXPECT_EQ(ReadFile(path), "abcdef");
        EXPECT_EQ(RecordsModeOf(path), 0600u);
        EXPECT_EQ(RecordsModeOf(dir.File("arch/anna")), 0700u);
        EXPECT_EQ(sha256, "bef57ec7f53a6d40beb640a780a639c83bc29ac8a9816f1fc6c5c6dcd93c4721");
        EXPECT_EQ(FileSha256(path), sha256);
    }
    EXPECT_EQ(FileSha256("/nonexistent/file"), "");
}

TEST(RecordsRules, LinesAcceptedAndRefusedWithTheirNumber) {
    struct Row {
        const char* fault;
        std::string text;   // after "[all]\n" unless it starts with '!'
        std::string error;  // "" accepted, else the end of the message
        std::string name, use;
        int days;
    } rows[] = {
        {"INBOX in another case not taken for INBOX", "inbox", "", "INBOX", "", -1},
        {"a special use in another case or a comment refused", " \\trash OLDER-THAN 30 # comment",
         "", "", "\\Trash", 30},
        {"a quoted name with blanks and # cut", "\"Old Projects#2\" older-than 730", "",
         "Old Projects#2", "", 730},
        {"the youngest or oldest age refused", "Archive/2019 older-than 0\r\nX older-than 100000",
         "", "Archive/2019", "", 0},
        {"an age out of range", "X older-than 100001", "line 2 of r: older-than takes days", "", "",
         0},
        {"a negative age", "X older-than -1", "line 2 of r: older-than takes days", "", "", 0},
        {"an age missing", "X older-than", "line 2 of r: only \"older-than DAYS\"", "", "", 0},
        {"another word after the name", "Old Projects", "line 2 of r: only \"older-than DAYS\"", "",
         "", 0},
        {"an unknown special use", "\\Spam", "line 2 of r: unknown special use \\Spam", "", "", 0},
        {"a quote that never closes", "\"Old", "line 2 of r: a quote that never closes", "", "", 0},
        {"a quote inside a bare name", "a\"b\"", "line 2 of r: a quote inside", "", "", 0},
        {"a control character in a name", "\"a\x01z\"", "line 2 of r: a folder name with", "", "",
         0},
        {"a name not in UTF-8", "caf\xE9", "line 2 of r: a folder name with", "", "", 0},
        {"an unknown spare", "spare everything", "line 2 of r: \"spare flagged\"", "", "", 0},
        {"an unknown action", "action purge", "line 2 of r: \"action delete\"", "", "", 0},
        {"two actions", "action trash\naction delete", "line 3 of r: action given twice", "", "",
         0},
        {"a folder twice", "\\Junk\nX\n\\junk older-than 3", "line 4 of r: folder given twice", "",
         "", 0},
        {"a rule before any section", "!INBOX\n[all]", "line 1 of r: a rule before any section", "",
         "", 0},
        {"[all] twice", "![all]\n\n[ALL]", "line 3 of r: [all] given twice", "", "", 0},
        {"an account twice", "![a@b]\n[A@B]", "line 2 of r: [A@B] given twice", "", "", 0},
        {"an empty section", "![ ]", "line 1 of r: a section is", "", "", 0},
        {"a section not closed", "![all", "line 1 of r: a section is", "", "", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        CRules rules;
        const std::string text = row.text[0] == '!' ? row.text.substr(1) : "[all]\n" + row.text;
        const std::string error = ParseRules(text, "r", rules);
        EXPECT_EQ(error.substr(0, row.error.size()), row.error);
        EXPECT_EQ(error.empty(), row.error.empty()) << error;
        if (!error.empty())
            continue;
        ASSERT_FALSE(rules.all.folders.empty());
        EXPECT_EQ(rules.all.folders[0].name, row.name);
        EXPECT_EQ(rules.all.folders[0].specialUse, row.use);
        EXPECT_EQ(rules.all.folders[0].olderThanDays, row.days);
        // --folder takes the same line, comment aside.
        CFolderRule folder;
        EXPECT_EQ(
            ParseFolderRule(text.substr(6, std::min(text.find(" #"), text.find('\r')) - 6), folder),
            "");
        EXPECT_EQ(folder.name + folder.specialUse + std::to_string(folder.olderThanDays),
                  row.name + row.use + std::to_string(row.days));
    }
}

TEST(RecordsRules, AnAccountsSectionReplacesFoldersAndAddsSpares) {
    const std::string text =
        "[all]\nINBOX\n\\Trash older-than 30\nspare flagged\naction trash\n"
        "[Anna@Example.com]\nINBOX older-than 90\nspare unread\n"
        "[bob@example.com]\naction delete\n";
    struct Row {
        const char* fault;
        std::string account;
        std::string folders;  // name or use:days, ...
        bool flagged, unread;
        RuleAction action;
    } rows[] = {
        {"folders added, spares replaced", "anna@EXAMPLE.com", "INBOX:90,", true, true,
         RuleAction::Trash},
        {"action not replaced", "bob@example.com", "INBOX:-1,\\Trash:30,", true, false,
         RuleAction::Delete},
        {"an account without a section", "carol@example.com", "INBOX:-1,\\Trash:30,", true, false,
         RuleAction::Trash},
    };
    CRules rules;
    ASSERT_EQ(ParseRules(text, "r", rules), "");
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        const CRuleSet set = rules.For(row.account);
        std::string folders;
        for (const CFolderRule& f : set.folders)
            folders += f.name + f.specialUse + ":" + std::to_string(f.olderThanDays) + ",";
        EXPECT_EQ(folders, row.folders);
        EXPECT_EQ(set.spareFlagged, row.flagged);
        EXPECT_EQ(set.spareUnread, row.unread);
        EXPECT_EQ(set.action, row.action);
    }
    // No rules file: INBOX at the run's day, as before rules existed.
    TempFolder dir;
    EXPECT_EQ(LoadRules(dir.File(kRulesFileName), rules), "");
    const CRuleSet none = rules.For("anna@example.com");
    ASSERT_EQ(none.folders.size(), 1u);
    EXPECT_EQ(none.folders[0].name + std::to_string(none.folders[0].olderThanDays), "INBOX-1");
    EXPECT_FALSE(none.spareFlagged || none.spareUnread || none.action == RuleAction::Trash);
    WriteFile(dir.File("big"), "[all]\n" + std::string(1 << 20, '#'));
    EXPECT_NE(LoadRules(dir.File("big"), rules).find("larger than 1 MiB"), std::string::npos);
}
