// The small pure pieces of CImapSocket: server address parsing, tags and the
// classification of a tagged line against the command in progress.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "imap/ImapSocket.h"
#include "platform/SafeAtoi.h"

using namespace std::string_literals;

TEST(SafeAtoi, BehavesLikeAtoiWithoutOverflow) {
    struct Case {
        std::string text;
        int value;
    };
    const std::vector<Case> cases = {
        {"0", 0},
        {"42", 42},
        {"  7x", 7},
        {"\t\n+8", 8},
        {"-12", -12},
        {"", 0},
        {"x1", 0},
        {"+", 0},
        {"- 1", 0},
        {"007", 7},
        {"2147483647", INT_MAX},
        {"2147483648", INT_MAX},
        {"99999999999999999999999", INT_MAX},
        {"-2147483648", INT_MIN},
        {"-99999999999999999999", INT_MIN},
        {"1\0002"s, 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SafeAtoi(c.text), c.value) << '"' << c.text << '"';
}

TEST(ImapPieces, ParseDottedQuad) {
    struct Case {
        std::string text;
        uint32_t value;
    };
    const std::vector<Case> cases = {
        {"127.0.0.1", 0x7F000001u},
        {"10.1.2.3", 0x0A010203u},
        {"255.255.255.255", 0xFFFFFFFFu},
        {"0.0.0.0", 0u},
        {"1.2.3.300", 0x0102032Cu},  // 300 reaches into the third byte
        {"1.2.3", 0u},
        {"1.2", 0u},
        {"", 0u},
        {"localhost", 0u},
        {"a.b.c.d", 0u},
        {"...", 0u},
        {" 1. 2.+3.4x", 0x01020304u},
        {"1.2.3.4.5", 0x01020304u},
        {"1.2.3.-1", 0xFFFFFFFFu},
        {"256.0.0.1", 0x00000001u},
        {"99999999999.0.0.0", 0xFF000000u},
        {"1.2.3.4\0.9"s, 0x01020304u},
        {"1.2\0.3.4"s, 0u},
        // Only the first 31 characters count.
        {std::string(24, '0') + "1.2.3.4", 0x01020304u},  // exactly 31
        {std::string(25, '0') + "1.2.3.4", 0x01020300u},  // the last part is cut off
        {std::string(26, '0') + "1.2.3.4", 0u},           // the third dot is cut off
    };
    for (const auto& c : cases)
        EXPECT_EQ(CImapSocket::ParseDottedQuad(c.text), c.value) << '"' << c.text << '"';
    // Nothing in any input may go wrong (the sanitizers watch this).
    std::string text;
    for (int i = 0; i < 2000; ++i) {
        text += "0123456789.-+ x\xFF"[i % 16];
        CImapSocket::ParseDottedQuad(text);
        CImapSocket::ParseDottedQuad(text.substr(i % 37));
    }
}

TEST(ImapPieces, TagsCountFromZeroWithSixDigitsAndASpace) {
    CTranscript transcript;
    CImapSocket imap(transcript);
    EXPECT_EQ(imap.m_nTagCounter, 0);
    EXPECT_EQ(imap.NextTag(), "a000000 ");
    EXPECT_EQ(imap.NextTag(), "a000001 ");
    EXPECT_EQ(imap.m_nTagCounter, 2);
    imap.m_nTagCounter = 999999;
    EXPECT_EQ(imap.NextTag(), "a999999 ");
    EXPECT_EQ(imap.NextTag(), "a1000000 ");
    imap.m_nTagCounter = LONG_MAX - 1;
    EXPECT_EQ(imap.NextTag(), "a" + std::to_string(LONG_MAX - 1) + " ");
    EXPECT_EQ(imap.NextTag(), "a" + std::to_string(LONG_MAX) + " ");
    // Past the largest value the counter starts again instead of overflowing.
    const std::string after = imap.NextTag();
    EXPECT_EQ(after.front(), 'a');
    EXPECT_EQ(after.back(), ' ');
    EXPECT_NE(after, "a" + std::to_string(LONG_MAX) + " ");
    EXPECT_GE(imap.m_nTagCounter, 0);
}

TEST(ImapPieces, MatchReplyClassifiesTaggedLines) {
    struct Case {
        std::string line;
        const char* verb;
        ReplyMatch match;
    };
    const std::string tag = "a000001 ";
    const std::vector<Case> cases = {
        {"a000001 OK LOGIN completed.", "LOGIN", ReplyMatch::Completed},
        {"a000001 OK", "LOGIN", ReplyMatch::Completed},
        {"a000001 oK done", "LOGIN", ReplyMatch::Completed},
        {"a000001 ok", "EXPUNGE", ReplyMatch::Completed},
        {"a000001 OK [ALERT] fine", "STORE", ReplyMatch::Completed},
        {"a000001 NO LOGIN failed.", "LOGIN", ReplyMatch::Failed},
        {"a000001 no", "LOGIN", ReplyMatch::Failed},
        {"a000001 BAD Command Argument Error. 11", "SEARCH", ReplyMatch::Failed},
        {"a000001 Bad", "LOGOUT", ReplyMatch::Failed},
        {"a000001 NO [READ-WRITE] no", "SELECT", ReplyMatch::Failed},
        // Not a completion of this command at all.
        {"a000001 OKAY", "LOGIN", ReplyMatch::None},
        {"a000001 OK[READ-WRITE]", "LOGIN", ReplyMatch::None},
        {"a000001 NOT", "LOGIN", ReplyMatch::None},
        {"a000001 BADLY", "LOGIN", ReplyMatch::None},
        {"a000001 BYE", "LOGIN", ReplyMatch::None},
        {"a000001 PREAUTH", "LOGIN", ReplyMatch::None},
        {"a000001  OK", "LOGIN", ReplyMatch::None},
        {"a000001", "LOGIN", ReplyMatch::None},
        {"a000001 ", "LOGIN", ReplyMatch::None},
        {"a000000 OK LOGIN completed.", "LOGIN", ReplyMatch::None},
        {"a000000 NO", "LOGIN", ReplyMatch::None},
        {"a0000010 OK", "LOGIN", ReplyMatch::None},
        {"A000001 OK", "LOGIN", ReplyMatch::None},
        {"* OK a000001 OK", "LOGIN", ReplyMatch::None},
        {" a000001 OK", "LOGIN", ReplyMatch::None},
        {"", "LOGIN", ReplyMatch::None},
        // SELECT completes only on a READ-WRITE mailbox.
        {"a000001 OK [READ-WRITE] SELECT completed.", "SELECT", ReplyMatch::Completed},
        {"a000001 ok [read-write] select completed.", "SELECT", ReplyMatch::Completed},
        {"a000001 OK [READ-WRITE]", "SELECT", ReplyMatch::Completed},
        {"a000001 OK [READ-ONLY] SELECT completed.", "SELECT", ReplyMatch::Failed},
        {"a000001 OK SELECT completed.", "SELECT", ReplyMatch::Failed},
        {"a000001 OK", "SELECT", ReplyMatch::Failed},
        {"a000001 OK done [READ-WRITE]", "SELECT", ReplyMatch::Failed},
        {"a000001 OK  [READ-WRITE]", "SELECT", ReplyMatch::Failed},
        {"a000001 NO [READ-WRITE]", "SELECT", ReplyMatch::Failed},
        {"a000000 OK [READ-WRITE]", "SELECT", ReplyMatch::None},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CImapSocket::MatchReply(c.line, tag, c.verb), c.match)
            << '"' << c.line << "\" for " << c.verb;
    // Without a command in progress nothing matches.
    EXPECT_EQ(CImapSocket::MatchReply("a000001 OK", "", "LOGIN"), ReplyMatch::None);
    EXPECT_EQ(CImapSocket::MatchReply(" OK", "", "LOGIN"), ReplyMatch::None);
}
