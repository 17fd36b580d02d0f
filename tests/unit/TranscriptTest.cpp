// CTranscript: what is appended reaches the log file at once, every LF as
// CR LF, bytes kept as they are; Clear starts the file afresh; the copy in
// memory stays bounded.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "imap/Transcript.h"
#include "support/TempFolder.h"

using namespace std::string_literals;

TEST(Transcript, AppendsReachTheLogAtOnceWithCrLf) {
    TempFolder dir;
    const std::string log = dir.File("LOG_QUEN_DRAVALT.TXT");
    CTranscript t(log);
    t.Append("a000001 SELECT INBOX\r\n");
    // Read while the transcript is still alive: nothing may wait in a buffer.
    EXPECT_EQ(ReadFileBytes(log), "a000001 SELECT INBOX\r\r\n");
    t.Append("\nVUOTA\n");
    EXPECT_EQ(ReadFileBytes(log), "a000001 SELECT INBOX\r\r\n\r\nVUOTA\r\n");
    const std::string received = "* OK nul\0 \xFF\xFE caf\xC3\xA9\r\n"s;
    t.Append(received);
    EXPECT_EQ(ReadFileBytes(log),
              "a000001 SELECT INBOX\r\r\n\r\nVUOTA\r\n* OK nul\0 \xFF\xFE caf\xC3\xA9\r\r\n"s);
    EXPECT_EQ(t.Tail(), "a000001 SELECT INBOX\r\n\nVUOTA\n" + received);
    EXPECT_EQ(t.Size(), 22u + 7u + received.size());
    t.Append("");
    EXPECT_EQ(t.Size(), 22u + 7u + received.size());
}

TEST(Transcript, AppendsToWhatTheLogHeldAndClearTruncatesIt) {
    TempFolder dir;
    const std::string log = dir.File("log.txt");
    WriteFileBytes(log, "earlier run\r\n");
    CTranscript t(log);
    t.Append("one\n");
    EXPECT_EQ(ReadFileBytes(log), "earlier run\r\none\r\n");
    t.Clear();
    EXPECT_EQ(ReadFileBytes(log), "");
    EXPECT_EQ(t.Tail(), "");
    EXPECT_EQ(t.Size(), 0u);
    t.Append("two\r\n");
    t.Append("three");
    EXPECT_EQ(ReadFileBytes(log), "two\r\r\nthree");
    EXPECT_EQ(t.Tail(), "two\r\nthree");
    EXPECT_EQ(t.Size(), 10u);
}

TEST(Transcript, ClearCreatesAMissingLogAndAnUnwritableOneIsHarmless) {
    TempFolder dir;
    CTranscript fresh(dir.File("new.txt"));
    fresh.Clear();
    EXPECT_TRUE(std::ifstream(dir.File("new.txt")).good());

    CTranscript broken(dir.File("no/such/folder/log.txt"));
    broken.Append("still kept\n");
    broken.Clear();
    broken.Append("in memory\n");
    EXPECT_EQ(broken.Tail(), "in memory\n");

    CTranscript memoryOnly;
    memoryOnly.Append("x\n");
    EXPECT_EQ(memoryOnly.Tail(), "x\n");
    EXPECT_EQ(memoryOnly.LogPath(), "");
}

TEST(Transcript, LogPathCanBeSetLater) {
    TempFolder dir;
    CTranscript t;
    t.Append("before\n");
    t.SetLogPath(dir.File("later.txt"));
    t.Append("after\n");
    EXPECT_EQ(ReadFileBytes(dir.File("later.txt")), "after\r\n");
    EXPECT_EQ(t.Tail(), "before\nafter\n");
}

TEST(Transcript, MemoryTailStaysBoundedAndEndsWithTheLatestBytes) {
    constexpr size_t kTail = 100;
    CTranscript t("", kTail);
    std::string all;
    for (int i = 0; i < 1000; ++i) {
        const std::string piece =
            std::to_string(i) + (i % 7 == 0 ? std::string(i % 150, '#') : "") + ";";
        t.Append(piece);
        all += piece;
        ASSERT_LE(t.Tail().size(), 2 * kTail);
        ASSERT_GE(t.Tail().size(), std::min(all.size(), kTail));
        ASSERT_EQ(all.compare(all.size() - t.Tail().size(), std::string::npos, t.Tail()), 0)
            << "after piece " << i;
    }
    EXPECT_EQ(t.Size(), all.size());
    const std::string big(5 * kTail, 'B');
    t.Append(big + "END");
    EXPECT_EQ(t.Tail(), big.substr(0, kTail - 3) + "END");

    // A short run is kept whole.
    CTranscript shortRun;
    shortRun.Append("a\n");
    shortRun.Append("b\n");
    EXPECT_EQ(shortRun.Tail(), "a\nb\n");
}

TEST(Transcript, LogKeepsEverythingTheMemoryTailDrops) {
    TempFolder dir;
    const std::string log = dir.File("log.txt");
    CTranscript t(log, 16);
    std::string want;
    for (int i = 0; i < 200; ++i) {
        t.Append("line " + std::to_string(i) + "\n");
        want += "line " + std::to_string(i) + "\r\n";
    }
    EXPECT_EQ(ReadFileBytes(log), want);
    EXPECT_LE(t.Tail().size(), 32u);
}
