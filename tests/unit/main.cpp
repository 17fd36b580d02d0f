// Headless test runner: wxBase for sockets and timers; a wx assertion fails the test.
#include <gtest/gtest.h>

#include <wx/init.h>
#include <wx/string.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    wxInitializer wx;
    if (!wx.IsOk())
        return 1;
    wxSetAssertHandler([](const wxString& file, int line, const wxString&, const wxString& cond,
                          const wxString& msg) {
        ADD_FAILURE_AT(file.utf8_str(), line) << cond.utf8_str() << ": " << msg.utf8_str();
    });
    return RUN_ALL_TESTS();
}
