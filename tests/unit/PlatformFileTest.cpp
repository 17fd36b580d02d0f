#include <gtest/gtest.h>

#include "platform/DataFolder.h"
#include "platform/StdioFile.h"
#include "support/TempFolder.h"

using namespace std::string_literals;

TEST(StdioFile, WritesEveryLineFeedAsCrLf) {
    TempFolder dir;
    const std::string path = dir.File("out.txt");
    CStdioFile f;
    ASSERT_TRUE(f.Open(path, CStdioFile::modeWrite | CStdioFile::modeCreate));
    EXPECT_TRUE(f.WriteString("a\nb\r\n\n"));
    EXPECT_TRUE(f.WriteString(std::string("x\0y", 3)));
    EXPECT_TRUE(f.Close());
    EXPECT_EQ(ReadFileBytes(path), "a\r\nb\r\r\n\r\nx\0y"s);
}

TEST(StdioFile, ReadsCrLfAndLfLinesAndAnUnterminatedLastLine) {
    TempFolder dir;
    const std::string path = dir.File("in.txt");
    WriteFileBytes(path, "one\r\ntwo\n\r\nlone\rcr\r\r\nn\0ul\nlast"s);
    CStdioFile f;
    ASSERT_TRUE(f.Open(path, CStdioFile::modeRead));
    std::vector<std::string> lines;
    std::string line;
    while (f.ReadString(line))
        lines.push_back(line);
    const std::vector<std::string> want = {"one", "two", "", "lone\rcr\r", std::string("n\0ul", 4),
                                           "last"};
    EXPECT_EQ(lines, want);
}

TEST(StdioFile, AppendKeepsWhatIsThereAndCreateTruncates) {
    TempFolder dir;
    const std::string path = dir.File("log.txt");
    WriteFileBytes(path, "old\r\n");
    {
        CStdioFile f;
        ASSERT_TRUE(f.Open(path, CStdioFile::modeWrite | CStdioFile::modeAppend));
        f.WriteString("new\n");
    }
    EXPECT_EQ(ReadFileBytes(path), "old\r\nnew\r\n");
    {
        CStdioFile f;
        ASSERT_TRUE(f.Open(path, CStdioFile::modeWrite | CStdioFile::modeCreate));
    }
    EXPECT_EQ(ReadFileBytes(path), "");
    CStdioFile missing;
    EXPECT_FALSE(missing.Open(dir.File("no/such/file"), CStdioFile::modeRead));
}

TEST(DataFolder, JoinsNamesAndCreatesOneLevel) {
    TempFolder dir;
    EXPECT_EQ(DataFilePath("/QUENDRAVALT", kConfigFileName), "/QUENDRAVALT/CFG_QUEN_DRAVALT.TXT");
    EXPECT_EQ(DataFilePath("/x/", kLogFileName), "/x/LOG_QUEN_DRAVALT.TXT");
    const std::string sub = dir.File("QUENDRAVALT");
    EXPECT_TRUE(EnsureDataFolder(sub));
    EXPECT_TRUE(EnsureDataFolder(sub));
    EXPECT_FALSE(EnsureDataFolder(dir.File("a/b")));
}

TEST(DataFolder, TheProgramsFolderIsAtTheRoot) {
    EXPECT_EQ(DefaultDataFolder(), "/QUENDRAVALT");
}
