// Headless test runner: wxBase initialised, logs to stderr, asserts fail the test.
#include <gtest/gtest.h>

#include <cstdio>

#include <wx/init.h>
#include <wx/log.h>

#include "support/EventPump.h"

namespace {
void FailOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond,
                  const wxString& msg) {
    ADD_FAILURE() << "wx assertion " << cond.ToStdString() << " in " << func.ToStdString() << " at "
                  << file.ToStdString() << ":" << line << ": " << msg.ToStdString();
}
}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    wxInitializer init;
    if (!init.IsOk()) {
        std::fprintf(stderr, "wxWidgets could not be initialised\n");
        return 1;
    }
    delete wxLog::SetActiveTarget(new wxLogStderr);
    wxSetAssertHandler(FailOnAssert);
    const int result = RUN_ALL_TESTS();
    ShutdownEventPump();
    return result;
}
