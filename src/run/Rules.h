// Retention rules: which folders of which account are cleaned, with which
// age, what is spared, and whether deleted mail goes to Trash. From a file a
// person edits (RULES_QUEN_DRAVALT.TXT in the data folder, or --rules FILE):
//
//   [all]                    # every account
//   INBOX                    # this folder, mail received before the run's day
//   \Trash older-than 30     # a folder by its special use (RFC 6154), its own age
//   "Old Projects" older-than 730
//   spare flagged            # never delete mail flagged \Flagged
//   spare unread             # never delete mail without \Seen
//   action trash             # move to Trash instead of deleting (default: delete)
//
//   [anna@example.com]       # this account: its folder lines replace [all]'s;
//   INBOX older-than 90      # spare lines add to [all]'s, action replaces it
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DataFolder.h"  // kRulesFileName

enum class RuleAction { Delete, Trash };

struct CFolderRule {
    std::string name;  // UTF-8, as written; "" when named by its use
    std::string
        specialUse;  // "\Trash", "\Junk", "\Sent", "\Drafts", "\Archive", "\All"; "" by name
    int olderThanDays = -1;  // -1: the run's own day
};

struct CRuleSet {
    std::vector<CFolderRule> folders;
    bool spareFlagged = false;
    bool spareUnread = false;
    RuleAction action = RuleAction::Delete;
    bool actionGiven = false;  // an account's section said it
};

struct CRules {
    CRuleSet all;
    std::map<std::string, CRuleSet> accounts;  // the account in lower case

    // What applies to account: with no folder line anywhere, INBOX at the
    // run's day; an account's folder lines replace [all]'s, its spare lines
    // add to them, its action line replaces [all]'s.
    CRuleSet For(const std::string& account) const;
};

// Reads a rules file's text: "" or what is wrong, "line N of NAME: ...".
// Lines: [all] or [account]; a folder line (INBOX, a name, "a name with
// blanks", \Use) optionally followed by "older-than DAYS" (0 ... 100000);
// "spare flagged", "spare unread", "action delete", "action trash"; "#" starts
// a comment outside quotes; blank lines. Anything else, a folder line before
// any section, or a section given twice, is an error.
std::string ParseRules(std::string_view text, const std::string& name, CRules& rules);
// The file at path: a missing file is no rules ("" and rules empty); one that
// can't be read or is larger than 1 MiB is an error.
std::string LoadRules(const std::string& path, CRules& rules);
// The rules file's bytes as they are, missing set when there is none; "" or
// why it cannot be read (larger than 1 MiB is no rules file).
std::string ReadRulesFile(const std::string& path, std::string& text, bool& missing);
// One folder line as --folder takes it: "INBOX", "\Trash older-than 30",
// "\"Old Projects\" older-than 730". "" or what is wrong.
std::string ParseFolderRule(std::string_view text, CFolderRule& rule);
