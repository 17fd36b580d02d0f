// FormatMessageSets decides which messages STORE flags for deletion: every set
// it writes must name exactly the numbers it was given, no more, no fewer.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "imap/MessageNumbers.h"
#include "imap/MessageSet.h"

namespace {

constexpr size_t kUnlimited = 1u << 30;

// The numbers a set names, read back independently of the writer.
std::vector<uint32_t> Expand(const std::vector<std::string>& sets) {
    std::vector<uint32_t> out;
    for (const auto& set : sets) {
        size_t start = 0;
        while (start <= set.size()) {
            size_t comma = set.find(',', start);
            if (comma == std::string::npos)
                comma = set.size();
            const std::string run = set.substr(start, comma - start);
            const size_t colon = run.find(':');
            EXPECT_NE(colon, std::string::npos) << "run without ':' in " << set;
            if (colon == std::string::npos)
                return {};
            const uint64_t first = std::stoull(run.substr(0, colon));
            const uint64_t last = std::stoull(run.substr(colon + 1));
            EXPECT_LE(first, last) << run;
            for (uint64_t n = first; n <= last; ++n)
                out.push_back(static_cast<uint32_t>(n));
            start = comma + 1;
        }
    }
    return out;
}

std::vector<uint32_t> SortedUnique(std::vector<uint32_t> v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

}  // namespace

TEST(MessageSet, WritesSortedRunsOfExactlyTheGivenNumbers) {
    struct Case {
        std::vector<uint32_t> numbers;
        std::string set;
    };
    std::vector<uint32_t> oneTo25;
    for (uint32_t n = 25; n >= 1; --n)
        oneTo25.push_back(n);
    const std::vector<Case> cases = {
        {{3, 9, 4}, "3:4,9:9"},
        {oneTo25, "1:25"},
        {{5}, "5:5"},
        {{5, 5, 5}, "5:5"},
        {{2, 1}, "1:2"},
        {{10, 2, 3, 3, 11, 1}, "1:3,10:11"},
        {{1, 3, 5}, "1:1,3:3,5:5"},
        {{9, 10, 99, 100, 101}, "9:10,99:101"},
        {{4294967295u, 1, 4294967294u}, "1:1,4294967294:4294967295"},
        {{4294967295u}, "4294967295:4294967295"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.set);
        EXPECT_EQ(FormatMessageSets(c.numbers, kUnlimited), std::vector<std::string>{c.set});
    }
    EXPECT_TRUE(FormatMessageSets({}, kUnlimited).empty());
}

TEST(MessageSet, SplitsLongSetsAtRunBoundaries) {
    // "1:1,3:3,5:5,7:7,9:9" is 19 bytes: ",11:11" would take it past 20.
    EXPECT_EQ(FormatMessageSets({13, 11, 9, 7, 5, 3, 1}, 20),
              (std::vector<std::string>{"1:1,3:3,5:5,7:7,9:9", "11:11,13:13"}));
    // A set of exactly the maximum length stays whole.
    EXPECT_EQ(FormatMessageSets({1, 3, 5, 7, 9}, 19),
              (std::vector<std::string>{"1:1,3:3,5:5,7:7,9:9"}));
    EXPECT_EQ(FormatMessageSets({1, 3, 5, 7, 9}, 18),
              (std::vector<std::string>{"1:1,3:3,5:5,7:7", "9:9"}));
    // A run longer than the maximum still goes out, alone.
    EXPECT_EQ(FormatMessageSets({1, 2, 1000000, 1000001}, 5),
              (std::vector<std::string>{"1:2", "1000000:1000001"}));
}

TEST(MessageSet, RandomNumbersRoundTripWithinTheLength) {
    std::mt19937 rng(77031);
    for (int round = 0; round < 300; ++round) {
        std::vector<uint32_t> numbers;
        const size_t count = rng() % 3000;
        const uint32_t range = round % 3 == 0 ? 0xFFFFFFFFu : 1u + rng() % 6000;
        for (size_t i = 0; i < count; ++i)
            numbers.push_back(static_cast<uint32_t>(1 + rng() % range));
        const size_t max = 30 + rng() % 2000;
        const auto sets = FormatMessageSets(numbers, max);
        SCOPED_TRACE("round " + std::to_string(round));
        for (const auto& s : sets) {
            EXPECT_LE(s.size(), max);
            EXPECT_FALSE(s.empty());
        }
        const auto named = Expand(sets);
        ASSERT_EQ(named, SortedUnique(numbers));  // ascending, no repeats, nothing else
        EXPECT_EQ(CountDistinct(numbers), named.size());
        // Runs are maximal: no two neighbouring runs could have been one.
        for (const auto& s : sets) {
            size_t pos = 0;
            while ((pos = s.find(',', pos)) != std::string::npos) {
                const size_t colon = s.rfind(':', pos);
                const uint64_t last = std::stoull(s.substr(colon + 1, pos - colon - 1));
                const uint64_t next = std::stoull(s.substr(pos + 1));
                EXPECT_GT(next, last + 1) << s;
                ++pos;
            }
        }
    }
}

TEST(MessageSet, CountDistinctIgnoresRepeats) {
    EXPECT_EQ(CountDistinct({}), 0u);
    EXPECT_EQ(CountDistinct({7}), 1u);
    EXPECT_EQ(CountDistinct({7, 7, 1, 7, 1}), 2u);
    EXPECT_EQ(CountDistinct({4294967295u, 1, 4294967295u}), 2u);
}

TEST(MessageNumbers, KeepsServerOrderAndReadsBackAsDecimal) {
    CMessageNumbers found;
    EXPECT_TRUE(found.IsEmpty());
    EXPECT_EQ(found.GetLast(), "");
    for (const uint32_t n : {9u, 3u, 4294967295u, 3u})
        found.Add(n);
    EXPECT_EQ(found.GetSize(), 4u);
    EXPECT_EQ(found.GetAt(0), "9");
    EXPECT_EQ(found.GetAt(1), "3");
    EXPECT_EQ(found.GetAt(2), "4294967295");
    EXPECT_EQ(found.GetLast(), "3");
    EXPECT_THROW(found.GetAt(4), std::out_of_range);
    found.RemoveAll();
    EXPECT_TRUE(found.IsEmpty());
    EXPECT_EQ(found.GetSize(), 0u);
}
