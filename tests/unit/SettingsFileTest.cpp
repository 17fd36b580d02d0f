#include <gtest/gtest.h>
#include <sys/stat.h>

#include <climits>
#include <random>

#include "platform/DataFolder.h"
#include "settings/Settings.h"
#include "support/TempFolder.h"

using namespace std::string_literals;

namespace {
std::string ConfigPath(const TempFolder& dir) {
    return DataFilePath(dir.Path(), kConfigFileName);
}

CSettings Loaded(const TempFolder& dir) {
    CSettings s;
    s.m_nPauseMs = -12345;  // anything: Load must set all three
    s.m_strServerIP = "stale";
    s.m_strPort = "stale";
    LoadSettings(dir.Path(), s);
    return s;
}
}  // namespace

TEST(SettingsFile, MissingFileGivesDefaultsAndSavingWritesThreeCrLfLines) {
    TempFolder dir;
    const CSettings s = Loaded(dir);
    EXPECT_EQ(s.m_nPauseMs, 1000);
    EXPECT_EQ(s.m_strServerIP, kDefaultServerIP);
    EXPECT_EQ(s.m_strPort, "143");
    ASSERT_TRUE(SaveSettings(dir.Path(), s));
    EXPECT_EQ(ReadFileBytes(ConfigPath(dir)), "1000\r\n"s + kDefaultServerIP + "\r\n143\r\n");
}

TEST(SettingsFile, DefaultAddressIsAPrivateDottedQuad) {
    unsigned a, b, c, d;
    char tail;
    ASSERT_EQ(std::sscanf(kDefaultServerIP, "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail), 4);
    const bool privateNet = a == 10 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168);
    EXPECT_TRUE(privateNet && b < 256 && c < 256 && d < 256);
}

TEST(SettingsFile, LinesAreTakenAsTheyStand) {
    struct Case {
        std::string file;
        int pause;
        std::string address, port;
    } cases[] = {
        {"250\r\n 10.1.2.3 \r\n0143\r\n", 250, " 10.1.2.3 ", "0143"},
        {"250\n10.1.2.3\n993\n", 250, "10.1.2.3", "993"},
        {"7", 7, "", ""},                           // one line, no line break
        {"", 0, "", ""},                            // empty file: every line missing
        {"fast\r\nhost\r\n1\r\n", 0, "host", "1"},  // not a number: 0, kept
        {"-40\r\nh\r\np\r\n", -40, "h", "p"},       // negative: kept as it is
        {"99999999999999999999\r\n", INT_MAX, "", ""},
        {"\t 12ms\r\nx\r\ny\r\nextra\r\n", 12, "x", "y"},
    };
    for (const auto& c : cases) {
        TempFolder dir;
        WriteFileBytes(ConfigPath(dir), c.file);
        const CSettings s = Loaded(dir);
        EXPECT_EQ(s.m_nPauseMs, c.pause) << c.file;
        EXPECT_EQ(s.m_strServerIP, c.address) << c.file;
        EXPECT_EQ(s.m_strPort, c.port) << c.file;
    }
}

TEST(SettingsFile, SaveRoundTripsBytesAndCreatesTheMissingFolder) {
    TempFolder root;
    const std::string folder = root.File("QUENDRAVALT");
    CSettings s;
    s.m_nPauseMs = -5;
    s.m_strServerIP = " m\xe9il.example ";
    s.m_strPort = "";
    ASSERT_TRUE(SaveSettings(folder, s));
    EXPECT_EQ(ReadFileBytes(DataFilePath(folder, kConfigFileName)),
              "-5\r\n m\xe9il.example \r\n\r\n");
    CSettings back;
    LoadSettings(folder, back);
    EXPECT_EQ(back.m_nPauseMs, -5);
    EXPECT_EQ(back.m_strServerIP, s.m_strServerIP);
    EXPECT_EQ(back.m_strPort, "");
}

TEST(SettingsFile, FailedSaveLeavesTheOldFileIntact) {
    TempFolder dir;
    WriteFileBytes(ConfigPath(dir), "300\r\nold\r\n143\r\n");
    // A directory where the new file would be written makes the write fail.
    ASSERT_EQ(::mkdir((ConfigPath(dir) + ".new").c_str(), 0755), 0);
    CSettings s;
    s.m_strServerIP = "new";
    EXPECT_FALSE(SaveSettings(dir.Path(), s));
    EXPECT_EQ(ReadFileBytes(ConfigPath(dir)), "300\r\nold\r\n143\r\n");

    // A folder that can't be created: nothing written, no crash.
    EXPECT_FALSE(SaveSettings(dir.File("no/such/folder"), s));
}

TEST(SettingsFile, HostileFilesLoadWithoutHarm) {
    std::mt19937 rng(7);
    std::string blob(1 << 20, '\0');
    for (auto& c : blob)
        c = static_cast<char>(rng());
    const std::string files[] = {
        std::string(3 << 20, 'x'),           // one line of megabytes, no break
        "12\0 34\r\nad\0dr\r\n14\0 3\r\n"s,  // NUL bytes
        blob,                                // binary
        std::string(100000, '\n'),
    };
    for (const auto& f : files) {
        TempFolder dir;
        WriteFileBytes(ConfigPath(dir), f);
        const CSettings s = Loaded(dir);
        EXPECT_LE(s.m_strServerIP.size(), f.size());
    }
    TempFolder dir;
    WriteFileBytes(ConfigPath(dir), "12\0 34\r\nad\0dr\r\n14\0 3\r\n"s);
    const CSettings s = Loaded(dir);
    EXPECT_EQ(s.m_nPauseMs, 12);
    EXPECT_EQ(s.m_strServerIP, "ad\0dr"s);
    EXPECT_EQ(s.m_strPort, "14\0 3"s);
}

TEST(ConfigurationValues, ClampPauseTrimAddressReformatPort) {
    struct Case {
        std::string pause, address, port;
        int wantPause;
        std::string wantAddress, wantPort;
    } cases[] = {
        {"50", "a", "143", 100, "a", "143"},
        {"100", "a", "143", 100, "a", "143"},
        {"30000", "a", "143", 30000, "a", "143"},
        {"30001", "a", "143", 30000, "a", "143"},
        {"999999999999", "a", "143", 30000, "a", "143"},
        {"", "a", "", 100, "a", "0"},
        {"1500", "  10.0.0.7 \t\r\n", "00993", 1500, "  10.0.0.7", "993"},
        {"1500", "\t", "99999999999", 1500, "", "2147483647"},
    };
    for (const auto& c : cases) {
        CSettings s;
        ApplyConfiguration(s, c.pause, c.address, c.port);
        EXPECT_EQ(s.m_nPauseMs, c.wantPause) << c.pause;
        EXPECT_EQ(s.m_strServerIP, c.wantAddress) << c.address;
        EXPECT_EQ(s.m_strPort, c.wantPort) << c.port;
    }
}
