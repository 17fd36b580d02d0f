#include "run/Rules.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "imap/AsciiCase.h"
#include "platform/FileSystem.h"
#include "platform/Utf8.h"

namespace {

constexpr size_t kMaxRulesBytes = 1 << 20;
constexpr int kMaxOlderThanDays = 100000;

struct RuleWord {
    std::string text;
    bool quoted = false;
};

bool IsRuleBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string RuleLower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

// Printable UTF-8: what an IMAP name or an account can be.
bool IsPrintableRuleText(std::string_view text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return false;
    return IsValidUtf8(text);
}

// line up to a '#' outside double quotes.
std::string_view WithoutComment(std::string_view line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == '#' && !quoted)
            return line.substr(0, i);
    }
    return line;
}

std::string_view TrimRuleBlanks(std::string_view text) {
    while (!text.empty() && IsRuleBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsRuleBlank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Blank-separated words, a "quoted word" as one; "" or what is wrong.
std::string SplitRuleWords(std::string_view text, std::vector<RuleWord>& words) {
    words.clear();
    size_t i = 0;
    while (true) {
        while (i < text.size() && IsRuleBlank(text[i]))
            ++i;
        if (i >= text.size())
            return "";
        RuleWord word;
        if (text[i] == '"') {
            const size_t close = text.find('"', i + 1);
            if (close == std::string_view::npos)
                return "a quote that never closes";
            word.text = text.substr(i + 1, close - i - 1);
            word.quoted = true;
            i = close + 1;
            if (i < text.size() && !IsRuleBlank(text[i]))
                return "a blank expected after the closing quote";
        } else {
            while (i < text.size() && !IsRuleBlank(text[i])) {
                if (text[i] == '"')
                    return "a quote inside a name (put the whole name in quotes)";
                word.text += text[i++];
            }
        }
        words.push_back(std::move(word));
    }
}

std::string ParseFolderWords(const std::vector<RuleWord>& words, CFolderRule& rule) {
    if (words.empty())
        return "no folder named";
    if (words.size() != 1 &&
        (words.size() != 3 || words[1].quoted || !EqualsNoCase(words[1].text, "OLDER-THAN")))
        return "only \"older-than DAYS\" may follow a folder";
    CFolderRule parsed;
    const RuleWord& name = words[0];
    if (!name.quoted && !name.text.empty() && name.text[0] == '\\') {
        static const char* const uses[] = {"\\Trash",  "\\Junk",    "\\Sent",
                                           "\\Drafts", "\\Archive", "\\All"};
        for (const char* use : uses)
            if (RuleLower(name.text) == RuleLower(use))
                parsed.specialUse = use;
        if (parsed.specialUse.empty())
            return "unknown special use " + name.text +
                   " (\\Trash, \\Junk, \\Sent, \\Drafts, \\Archive or \\All)";
    } else {
        if (name.text.empty())
            return "an empty folder name";
        if (!IsPrintableRuleText(name.text))
            return "a folder name with control characters or not in UTF-8";
        // IMAP's INBOX is one folder whatever its case.
        parsed.name = EqualsNoCase(name.text, "INBOX") ? "INBOX" : name.text;
    }
    if (words.size() == 3) {
        const std::string& days = words[2].text;
        if (days.empty() || days.size() > 6 ||
            days.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(days) > kMaxOlderThanDays)
            return "older-than takes days from 0 to " + std::to_string(kMaxOlderThanDays);
        parsed.olderThanDays = std::stoi(days);
    }
    rule = parsed;
    return "";
}

// The file line by line: the section a line is in and what was seen.
class RulesParser {
public:
    CRules rules;

    // "" or what is wrong with line.
    std::string Line(std::string_view line) {
        line = TrimRuleBlanks(WithoutComment(line));
        if (line.empty())
            return "";
        if (line.front() == '[')
            return Section(line);
        std::vector<RuleWord> words;
        std::string error = SplitRuleWords(line, words);
        if (!error.empty())
            return error;
        if (!m_section)
            return "a rule before any section: begin with [all] or [account]";
        const RuleWord& first = words[0];
        if (!first.quoted && EqualsNoCase(first.text, "SPARE"))
            return Spare(words);
        if (!first.quoted && EqualsNoCase(first.text, "ACTION"))
            return Action(words);
        CFolderRule rule;
        error = ParseFolderWords(words, rule);
        if (!error.empty())
            return error;
        for (const CFolderRule& other : m_section->folders)
            if (other.name == rule.name && other.specialUse == rule.specialUse)
                return "folder given twice in this section";
        m_section->folders.push_back(rule);
        return "";
    }

private:
    std::string Section(std::string_view line) {
        const std::string_view inner =
            TrimRuleBlanks(line.substr(1, line.size() - (line.back() == ']' ? 2 : 1)));
        if (line.back() != ']' || inner.empty() ||
            inner.find_first_of("[]") != std::string_view::npos || !IsPrintableRuleText(inner))
            return "a section is [all] or [account] alone on its line";
        const std::string account = RuleLower(inner);
        if (account == "all") {
            if (m_seenAll)
                return "[all] given twice";
            m_seenAll = true;
            m_section = &rules.all;
            return "";
        }
        const auto [it, added] = rules.accounts.emplace(account, CRuleSet());
        if (!added)
            return "[" + std::string(inner) + "] given twice";
        m_section = &it->second;
        return "";
    }

    static std::string Value(const std::vector<RuleWord>& words) {
        return words.size() == 2 && !words[1].quoted ? RuleLower(words[1].text) : "";
    }

    std::string Spare(const std::vector<RuleWord>& words) {
        const std::string what = Value(words);
        if (what == "flagged")
            m_section->spareFlagged = true;
        else if (what == "unread")
            m_section->spareUnread = true;
        else
            return "\"spare flagged\" or \"spare unread\" expected";
        return "";
    }

    std::string Action(const std::vector<RuleWord>& words) {
        const std::string what = Value(words);
        if (what != "delete" && what != "trash")
            return "\"action delete\" or \"action trash\" expected";
        if (m_section->actionGiven)
            return "action given twice in this section";
        m_section->action = what == "trash" ? RuleAction::Trash : RuleAction::Delete;
        m_section->actionGiven = true;
        return "";
    }

    CRuleSet* m_section = nullptr;
    bool m_seenAll = false;
};

}  // namespace

CRuleSet CRules::For(const std::string& account) const {
    CRuleSet set = all;
    const auto it = accounts.find(RuleLower(account));
    if (it != accounts.end()) {
        const CRuleSet& own = it->second;
        if (!own.folders.empty())
            set.folders = own.folders;
        set.spareFlagged = set.spareFlagged || own.spareFlagged;
        set.spareUnread = set.spareUnread || own.spareUnread;
        if (own.actionGiven) {
            set.action = own.action;
            set.actionGiven = true;
        }
    }
    if (set.folders.empty())
        set.folders.push_back(CFolderRule{"INBOX", "", -1});
    return set;
}

std::string ParseRules(std::string_view text, const std::string& name, CRules& rules) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF")  // as Notepad saves UTF-8
        text.remove_prefix(3);
    RulesParser parser;
    for (int number = 1; !text.empty(); ++number) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        const std::string error = parser.Line(line);
        if (!error.empty())
            return "line " + std::to_string(number) + " of " + name + ": " + error;
    }
    rules = std::move(parser.rules);
    return "";
}

std::string ReadRulesFile(const std::string& path, std::string& text, bool& missing) {
    missing = false;
    text.clear();
    std::FILE* file = OpenFile(path, "rb");
    if (!file) {
        missing = errno == ENOENT;
        return missing ? "" : "cannot read " + path + ": " + std::strerror(errno);
    }
    text.assign(kMaxRulesBytes + 1, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file));
    const bool failed = std::ferror(file);
    std::fclose(file);
    if (failed)
        return "cannot read " + path;
    if (text.size() > kMaxRulesBytes)
        return path + " is larger than 1 MiB: no rules file";
    return "";
}

std::string LoadRules(const std::string& path, CRules& rules) {
    std::string text;
    bool missing = false;
    if (std::string problem = ReadRulesFile(path, text, missing); !problem.empty())
        return problem;
    if (missing) {
        rules = CRules();
        return "";
    }
    return ParseRules(text, path, rules);
}

std::string ParseFolderRule(std::string_view text, CFolderRule& rule) {
    std::vector<RuleWord> words;
    const std::string error = SplitRuleWords(text, words);
    return error.empty() ? ParseFolderWords(words, rule) : error;
}
