// CResponseReader: responses must come out the same however the byte stream
// is cut into reads, SEARCH numbers must be parsed strictly, and the size
// limit must hold for every kind of response.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "imap/ResponseReader.h"

using namespace std::string_literals;

namespace {

struct Seen {
    std::string head;
    bool complete = true;
    bool search = false;
    bool valid = false;
    std::vector<uint32_t> numbers;

    bool operator==(const Seen& o) const {
        return head == o.head && complete == o.complete && search == o.search && valid == o.valid &&
               numbers == o.numbers;
    }
};

void PrintTo(const Seen& s, std::ostream* os) {
    *os << "{head=\"";
    for (const char c : s.head) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F)
            *os << "\\x" << std::hex << static_cast<int>(u) << std::dec;
        else
            *os << c;
    }
    *os << "\" complete=" << s.complete << " search=" << s.search << " valid=" << s.valid
        << " numbers=[";
    for (const auto n : s.numbers)
        *os << n << ' ';
    *os << "]}";
}

struct Outcome {
    std::vector<Seen> responses;
    bool ok = true;
};

// Feeds bytes cut at the given offsets (ascending) into a fresh reader.
Outcome FeedCut(const std::string& bytes, const std::vector<size_t>& cuts,
                uint64_t maxResponse = CResponseReader::kDefaultMaxResponse) {
    CResponseReader reader(maxResponse);
    Outcome out;
    auto on = [&](const CResponseReader::Response& r) {
        Seen s{std::string(r.head), r.headComplete, r.isSearch, r.searchValid, {}};
        if (r.isSearch)
            s.numbers = reader.SearchNumbers();
        out.responses.push_back(std::move(s));
    };
    size_t from = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(bytes.size());
    for (const size_t end : ends) {
        if (!reader.Feed(bytes.data() + from, end - from, on))
            out.ok = false;
        from = end;
    }
    EXPECT_EQ(reader.Failed(), !out.ok);
    return out;
}

Outcome FeedWhole(const std::string& bytes,
                  uint64_t maxResponse = CResponseReader::kDefaultMaxResponse) {
    return FeedCut(bytes, {}, maxResponse);
}

Outcome FeedBytewise(const std::string& bytes,
                     uint64_t maxResponse = CResponseReader::kDefaultMaxResponse) {
    std::vector<size_t> cuts;
    for (size_t i = 1; i < bytes.size(); ++i)
        cuts.push_back(i);
    return FeedCut(bytes, cuts, maxResponse);
}

Seen Line(std::string head) {
    return Seen{std::move(head), true, false, false, {}};
}
Seen Search(std::vector<uint32_t> numbers) {
    return Seen{"", true, true, true, std::move(numbers)};
}
Seen BadSearch() {
    return Seen{"", true, true, false, {}};
}

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// A SEARCH response's head holds only its first bytes: for those, the head must
// just show what kind of response it is.
void ExpectLike(const std::vector<Seen>& got, const std::vector<Seen>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE("response " + std::to_string(i));
        if (want[i].search) {
            EXPECT_TRUE(got[i].search);
            EXPECT_EQ(got[i].valid, want[i].valid);
            EXPECT_EQ(got[i].numbers, want[i].numbers);
            EXPECT_EQ(Upper(got[i].head.substr(0, 8)), "* SEARCH");
        } else {
            EXPECT_EQ(got[i], want[i]);
        }
    }
}

const std::string kLongLine = "* OK " + std::string(2995, 'L');

// A conversation with every kind of response the reader tells apart.
const std::string kConversation =
    "* OK [CAPABILITY IMAP4rev1] ready\r\n"
    "a000000 OK LOGIN completed.\r\n"
    "* 3 EXISTS\r\n"
    "* SEARCH 1 2 3\r\n"
    "* SEARCH\r\n"
    "* search 4 5\r\n"
    "* SEARCH 007 12\r\n"
    "* SEARCH 4x5 6\r\n"
    "* SEARCH 0\r\n"
    "* SEARCH 12345678901\r\n"
    "* SEARCH 4294967295\r\n"
    "* SEARCH 4294967296\r\n"
    "* SEARCH 8 9 \r\n"
    "* SEARCH 5\r6\r\n"
    "* SEARCHING 1\r\n"
    "* 1 FETCH (BODY[] {5}\r\nab\r\nc)\r\n"
    "* 2 FETCH (X {0}\r\n)\r\n"
    "+ go ahead\r\n"
    "a000001 OK [READ-WRITE] done\n"
    "\r\n"
    "* OK nul\0 and \xFF bytes\r\n"s +
    kLongLine + "\r\n" + "a000002 OK SEARCH completed.\r\n";

const std::vector<Seen> kConversationResponses = {
    Line("* OK [CAPABILITY IMAP4rev1] ready"),
    Line("a000000 OK LOGIN completed."),
    Line("* 3 EXISTS"),
    Search({1, 2, 3}),
    Search({}),
    Search({4, 5}),
    Search({7, 12}),
    BadSearch(),
    BadSearch(),
    BadSearch(),
    Search({4294967295u}),
    BadSearch(),
    Search({8, 9}),
    BadSearch(),
    Line("* SEARCHING 1"),
    Line("* 1 FETCH (BODY[] {5}\r\n)"),
    Line("* 2 FETCH (X {0}\r\n)"),
    Line("+ go ahead"),
    Line("a000001 OK [READ-WRITE] done"),
    Line(""),
    Line("* OK nul\0 and \xFF bytes"s),
    Seen{kLongLine.substr(0, CResponseReader::kHeadMax), false, false, false, {}},
    Line("a000002 OK SEARCH completed."),
};

}  // namespace

TEST(ResponseReader, OneShotFeedGivesEveryResponse) {
    const Outcome whole = FeedWhole(kConversation);
    EXPECT_TRUE(whole.ok);
    ExpectLike(whole.responses, kConversationResponses);
}

TEST(ResponseReader, ByteByByteAndEveryTwoWayCutMatchOneShot) {
    const Outcome whole = FeedWhole(kConversation);
    const Outcome bytewise = FeedBytewise(kConversation);
    EXPECT_TRUE(bytewise.ok);
    EXPECT_EQ(bytewise.responses, whole.responses);
    for (size_t cut = 1; cut < kConversation.size(); ++cut) {
        const Outcome two = FeedCut(kConversation, {cut});
        ASSERT_TRUE(two.ok) << "cut at " << cut;
        ASSERT_EQ(two.responses, whole.responses) << "cut at " << cut;
    }
}

TEST(ResponseReader, RandomManyWayCutsMatchOneShot) {
    const Outcome whole = FeedWhole(kConversation);
    std::mt19937 rng(20240917);
    for (int round = 0; round < 2000; ++round) {
        std::uniform_int_distribution<size_t> pick(1, kConversation.size() - 1);
        std::vector<size_t> cuts;
        const int n = 1 + round % 12;
        for (int i = 0; i < n; ++i)
            cuts.push_back(pick(rng));
        std::sort(cuts.begin(), cuts.end());
        const Outcome got = FeedCut(kConversation, cuts);
        ASSERT_TRUE(got.ok) << "round " << round;
        ASSERT_EQ(got.responses, whole.responses) << "round " << round;
    }
}

TEST(ResponseReader, SearchLinesParseStrictly) {
    struct Case {
        std::string line;
        bool valid;
        std::vector<uint32_t> numbers;
    };
    const std::vector<Case> cases = {
        {"* SEARCH 1 2 3\r\n", true, {1, 2, 3}},
        {"* SEARCH 3 9 4\r\n", true, {3, 9, 4}},  // server order is kept
        {"* SEARCH\r\n", true, {}},
        {"* SEARCH \r\n", true, {}},
        {"* SEARCH\n", true, {}},
        {"* search 1 2\r\n", true, {1, 2}},
        {"* Search 1\r\n", true, {1}},
        {"* SEARCH 007 12\r\n", true, {7, 12}},
        {"* SEARCH 1 2 \r\n", true, {1, 2}},
        {"* SEARCH 5 5\r\n", true, {5, 5}},
        {"* SEARCH 4294967295\r\n", true, {4294967295u}},
        {"* SEARCH 0000000001\r\n", true, {1}},
        {"* SEARCH 1\n", true, {1}},
        {"* SEARCH 4x5 6\r\n", false, {}},
        {"* SEARCH 6 4x5\r\n", false, {}},
        {"* SEARCH 0\r\n", false, {}},
        {"* SEARCH 1 000\r\n", false, {}},
        {"* SEARCH 12345678901\r\n", false, {}},
        {"* SEARCH 00000000001\r\n", false, {}},
        {"* SEARCH 4294967296\r\n", false, {}},
        {"* SEARCH 9999999999\r\n", false, {}},
        {"* SEARCH -1\r\n", false, {}},
        {"* SEARCH +1\r\n", false, {}},
        {"* SEARCH 1,2\r\n", false, {}},
        {"* SEARCH 1:3\r\n", false, {}},
        {"* SEARCH 1\t2\r\n", false, {}},
        {"* SEARCH 1 2 (MODSEQ 5)\r\n", false, {}},
        {"* SEARCH 1\r2\r\n", false, {}},
        {"* SEARCH 1\r\r\n", false, {}},
        {"* SEARCH \xB9\r\n", false, {}},
        {"* SEARCH 1\0\r\n"s, false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        for (const Outcome& got : {FeedWhole(c.line), FeedBytewise(c.line)}) {
            ASSERT_TRUE(got.ok);
            ASSERT_EQ(got.responses.size(), 1u);
            EXPECT_TRUE(got.responses[0].search);
            EXPECT_EQ(got.responses[0].valid, c.valid);
            EXPECT_EQ(got.responses[0].numbers, c.numbers);
        }
    }
}

TEST(ResponseReader, OnlyUntaggedSearchLinesCountAsSearch) {
    for (const std::string line : {"a000002 SEARCH 1 2\r\n", "* SEARCHING 1\r\n", "*SEARCH 1\r\n",
                                   "* 1 SEARCH\r\n", "+ SEARCH 1\r\n", "* SEARC\r\n"}) {
        SCOPED_TRACE(line);
        const Outcome got = FeedWhole(line);
        ASSERT_EQ(got.responses.size(), 1u);
        EXPECT_FALSE(got.responses[0].search);
        EXPECT_TRUE(got.responses[0].numbers.empty());
    }
}

TEST(ResponseReader, SearchNumbersBelongToTheirOwnResponse) {
    const Outcome got = FeedWhole(
        "* SEARCH 1 2\r\n* 5 EXISTS\r\n* SEARCH 3\r\n* SEARCH 4x\r\n"
        "* SEARCH\r\n");
    ExpectLike(got.responses,
               {Search({1, 2}), Line("* 5 EXISTS"), Search({3}), BadSearch(), Search({})});
}

TEST(ResponseReader, LiteralsBelongToTheirResponse) {
    // The literal's bytes may hold CR LF, a tag or "* SEARCH": none of it is a response.
    const std::string literal = "a000001 OK done\r\n* SEARCH 1 2\r\n";
    const std::string open = "* 1 FETCH (BODY[] {" + std::to_string(literal.size()) + "}";
    const std::string stream = open + "\r\n" + literal + " FLAGS (\\Seen))\r\n" +
                               "* 2 FETCH (A {2}\r\nxy B {3}\r\n{4} C)\r\n" +
                               "a000001 OK FETCH completed.\r\n";
    const std::vector<Seen> want = {
        Line(open + "\r\n FLAGS (\\Seen))"),
        Line("* 2 FETCH (A {2}\r\n B {3}\r\n C)"),
        Line("a000001 OK FETCH completed."),
    };
    EXPECT_EQ(FeedWhole(stream).responses, want);
    EXPECT_EQ(FeedBytewise(stream).responses, want);
    for (size_t cut = 1; cut < stream.size(); ++cut)
        ASSERT_EQ(FeedCut(stream, {cut}).responses, want) << "cut at " << cut;
}

TEST(ResponseReader, OnlyBracedDigitsAtTheEndAnnounceALiteral) {
    const std::vector<Seen> want = {Line("* OK {5} in the middle"), Line("* OK {x}"),
                                    Line("* OK {}"), Line("* OK 5}"), Line("a1 OK")};
    EXPECT_EQ(FeedWhole("* OK {5} in the middle\r\n* OK {x}\r\n* OK {}\r\n* OK 5}\r\na1 OK\r\n")
                  .responses,
              want);
    // Twenty digits are more than any literal: the line is read as it is.
    const std::string huge = "* OK {" + std::string(20, '9') + "}";
    EXPECT_EQ(FeedWhole(huge + "\r\n").responses, std::vector<Seen>{Line(huge)});
}

TEST(ResponseReader, HeadKeepsTheFirstBytesOfALongLine) {
    const size_t max = CResponseReader::kHeadMax;
    const std::string fits = "* OK " + std::string(max - 6, 'f');  // + CR = kHeadMax
    const std::string longer = "* OK " + std::string(max, 'g');
    const std::string stream = fits + "\r\n" + longer + "\r\na1 OK\r\n";
    const std::vector<Seen> want = {
        Line(fits),
        Seen{longer.substr(0, max), false, false, false, {}},
        Line("a1 OK"),
    };
    EXPECT_EQ(FeedWhole(stream).responses, want);
    EXPECT_EQ(FeedBytewise(stream).responses, want);
}

TEST(ResponseReader, ResponsesUpToTheLimitPassAndLongerOnesFail) {
    constexpr uint64_t kMax = 64;
    auto lineOf = [](size_t total) {  // a response of total bytes, CR LF included
        return "* OK " + std::string(total - 7, 'x') + "\r\n";
    };
    EXPECT_TRUE(FeedWhole(lineOf(kMax), kMax).ok);
    EXPECT_EQ(FeedWhole(lineOf(kMax), kMax).responses.size(), 1u);
    EXPECT_TRUE(FeedBytewise(lineOf(kMax), kMax).ok);
    for (const size_t total : {kMax + 1, kMax + 2, kMax + 100}) {
        SCOPED_TRACE(total);
        const Outcome whole = FeedWhole(lineOf(total), kMax);
        EXPECT_FALSE(whole.ok);
        EXPECT_TRUE(whole.responses.empty());
        EXPECT_FALSE(FeedBytewise(lineOf(total), kMax).ok);
    }
    // Many responses, each within the limit, never add up to a failure.
    std::string many;
    for (int i = 0; i < 100; ++i)
        many += lineOf(kMax);
    EXPECT_TRUE(FeedWhole(many, kMax).ok);
    EXPECT_EQ(FeedWhole(many, kMax).responses.size(), 100u);
}

TEST(ResponseReader, SearchResponsesObeyTheLimitHoweverTheyArrive) {
    constexpr uint64_t kMax = 64;
    auto searchOf = [](size_t total) {  // "* SEARCH 1 1 ... 1\r\n", total bytes
        std::string s = "* SEARCH";
        while (s.size() + 2 + 2 <= total)
            s += " 1";
        if (s.size() + 2 < total)
            s += " ";
        return s + "\r\n";
    };
    ASSERT_EQ(searchOf(kMax).size(), kMax);
    EXPECT_TRUE(FeedWhole(searchOf(kMax), kMax).ok);
    EXPECT_TRUE(FeedBytewise(searchOf(kMax), kMax).ok);
    for (const size_t total : {kMax + 1, kMax + 2, kMax * 3}) {
        SCOPED_TRACE(total);
        ASSERT_EQ(searchOf(total).size(), total);
        const Outcome whole = FeedWhole(searchOf(total), kMax);
        EXPECT_FALSE(whole.ok);
        EXPECT_TRUE(whole.responses.empty());
        EXPECT_FALSE(FeedBytewise(searchOf(total), kMax).ok);
        EXPECT_FALSE(FeedCut(searchOf(total), {total / 2}, kMax).ok);
    }
}

TEST(ResponseReader, LiteralsCountTowardsTheLimit) {
    constexpr uint64_t kMax = 64;
    // Refused as soon as it is announced, before any of its bytes arrive.
    EXPECT_FALSE(FeedWhole("* 1 FETCH (BODY[] {100}\r\n", kMax).ok);
    EXPECT_FALSE(FeedWhole("* 1 FETCH (BODY[] {99999999999999999}\r\n", kMax).ok);
    // Line, literal and the rest of the line together.
    const std::string head = "* 1 FETCH (X {30}\r\n";  // 19 bytes
    const std::string body(30, 'b');
    EXPECT_TRUE(FeedWhole(head + body + std::string(13, ')') + "\r\n", kMax).ok);
    EXPECT_FALSE(FeedWhole(head + body + std::string(14, ')') + "\r\n", kMax).ok);
    EXPECT_FALSE(FeedBytewise(head + body + std::string(14, ')') + "\r\n", kMax).ok);
}

TEST(ResponseReader, FailureSticksUntilReset) {
    CResponseReader reader(32);
    int responses = 0;
    auto on = [&](const CResponseReader::Response&) { ++responses; };
    const std::string tooLong = "* OK " + std::string(40, 'x') + "\r\n";
    EXPECT_FALSE(reader.Feed(tooLong.data(), tooLong.size(), on));
    EXPECT_TRUE(reader.Failed());
    const std::string fine = "a1 OK\r\n";
    EXPECT_FALSE(reader.Feed(fine.data(), fine.size(), on));
    EXPECT_EQ(responses, 0);
    reader.Reset();
    EXPECT_FALSE(reader.Failed());
    EXPECT_TRUE(reader.Feed(fine.data(), fine.size(), on));
    EXPECT_EQ(responses, 1);
}

TEST(ResponseReader, ResetDropsAHalfReadResponse) {
    CResponseReader reader;
    std::vector<std::string> heads;
    auto on = [&](const CResponseReader::Response& r) { heads.emplace_back(r.head); };
    for (const std::string part : {"* SEARCH 1 2", "* 1 FETCH {10}\r\nabc", "a00000"}) {
        reader.Reset();
        reader.Feed(part.data(), part.size(), on);
    }
    reader.Reset();
    const std::string next = "a000001 OK done\r\n";
    reader.Feed(next.data(), next.size(), on);
    EXPECT_EQ(heads, std::vector<std::string>{"a000001 OK done"});
}

TEST(ResponseReader, DefaultLimitIs64MiB) {
    EXPECT_EQ(CResponseReader::kDefaultMaxResponse, 64ull << 20);
    CResponseReader reader;
    int responses = 0;
    auto on = [&](const CResponseReader::Response&) { ++responses; };
    const std::string chunk(1 << 20, 'x');
    const std::string start = "* OK ";
    ASSERT_TRUE(reader.Feed(start.data(), start.size(), on));
    bool ok = true;
    for (int i = 0; i < 64 && ok; ++i)
        ok = reader.Feed(chunk.data(), chunk.size(), on);
    EXPECT_FALSE(ok && reader.Feed("\r\n", 2, on));
    EXPECT_EQ(responses, 0);

    // Just under the limit still passes.
    reader.Reset();
    ASSERT_TRUE(reader.Feed(start.data(), start.size(), on));
    for (int i = 0; i < 63; ++i)
        ASSERT_TRUE(reader.Feed(chunk.data(), chunk.size(), on));
    const std::string last((1 << 20) - start.size() - 2, 'y');
    EXPECT_TRUE(reader.Feed(last.data(), last.size(), on));
    EXPECT_TRUE(reader.Feed("\r\n", 2, on));
    EXPECT_EQ(responses, 1);
}
