// GUI test runner: GTK initialised in the X server xvfb-run provides, the
// program's XRC resources loaded, logs to stderr, assertion failures reported
// as test failures, and watchdogs so that a forgotten modal dialog cannot hang
// the run.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include <wx/app.h>
#include <wx/dialog.h>
#include <wx/evtloop.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/log.h>
#include <wx/modalhook.h>
#include <wx/timer.h>
#include <wx/weakref.h>
#include <wx/xrc/xmlres.h>

#include "app/Resources.h"
#include "frame/MainFrame.h"
#include "gui/MainWindowTestFixture.h"

namespace {

constexpr auto kSoftLimit = std::chrono::seconds(90);   // ends modal loops, fails the test
constexpr auto kHardLimit = std::chrono::seconds(160);  // ends the process (ctest allows 180)

void FailOnAssert(const wxString& file, int line, const wxString& func, const wxString& cond,
                  const wxString& msg) {
    ADD_FAILURE() << "wx assertion " << cond.ToStdString() << " in " << func.ToStdString() << " at "
                  << file.ToStdString() << ":" << line << ": " << msg.ToStdString();
}

// Remembers the modal dialogs that are running so the watchdog can end them.
class ModalTracker : public wxModalDialogHook {
public:
    ModalTracker() { Register(); }

    void EndAll() {
        for (auto& dialog : m_open)
            if (dialog && dialog->IsModal())
                dialog->EndModal(wxID_CANCEL);
    }

protected:
    int Enter(wxDialog* dialog) override {
        m_open.emplace_back(dialog);
        return wxID_NONE;
    }
    void Exit(wxDialog* dialog) override {
        for (auto it = m_open.begin(); it != m_open.end(); ++it)
            if (it->get() == dialog) {
                m_open.erase(it);
                break;
            }
    }

private:
    std::vector<wxWeakRef<wxDialog>> m_open;
};

// Per test: a timer in the event loop that ends whatever modal dialog is still
// running after kSoftLimit, and a thread that ends the process after kHardLimit
// (a native dialog in gtk_dialog_run cannot be ended from wx).
class Watchdog : public ::testing::EmptyTestEventListener {
public:
    Watchdog() {
        static bool threadStarted = false;
        if (!threadStarted) {
            threadStarted = true;
            std::thread(HardWatch).detach();
        }
        m_timer.Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
            ADD_FAILURE() << "watchdog: the test ran for more than " << kSoftLimit.count()
                          << " s; ending open modal dialogs";
            m_tracker.EndAll();
        });
    }

    void OnTestStart(const ::testing::TestInfo& info) override {
        std::snprintf(s_name, sizeof s_name, "%s.%s", info.test_suite_name(), info.name());
        m_timer.StartOnce(static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(kSoftLimit).count()));
        s_hardDeadline = Now() + kHardLimit.count();
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        m_timer.Stop();
        s_hardDeadline = 0;
    }

private:
    static void HardWatch() {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const long long deadline = s_hardDeadline.load();
            if (deadline && Now() > deadline) {
                std::fprintf(stderr, "watchdog: test %s hangs, ending the process\n", s_name);
                std::fflush(stderr);
                _exit(3);
            }
        }
    }

    static long long Now() {
        return std::chrono::duration_cast<std::chrono::seconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    wxTimer m_timer;
    ModalTracker m_tracker;
    static inline char s_name[256] = "";
    static inline std::atomic<long long> s_hardDeadline{0};
};

}  // namespace

int main(int argc, char** argv) {
    // The program itself, started by the start-up tests as a child process.
    if (argc > 1 && std::strcmp(argv[1], kAppModeOption) == 0)
        return RunAsProgram(argc, argv);

    ::testing::InitGoogleTest(&argc, argv);
    wxApp::SetInstance(new wxApp);
    if (!wxEntryStart(argc, argv)) {
        std::fprintf(stderr, "GTK could not be initialised: is DISPLAY set (xvfb-run)?\n");
        return 1;
    }
    delete wxLog::SetActiveTarget(new wxLogStderr);
    wxSetAssertHandler(FailOnAssert);
    wxInitAllImageHandlers();
    wxXmlResource::Get()->InitAllHandlers();
    InitXmlResource();
    RegisterCommandIds();

    int rc = 0;
    {
        // Helpers pump this loop between steps; modal dialogs nest their own.
        wxGUIEventLoop loop;
        wxEventLoopActivator activate(&loop);
        auto watchdog = std::make_unique<Watchdog>();
        auto& listeners = ::testing::UnitTest::GetInstance()->listeners();
        listeners.Append(watchdog.get());
        rc = RUN_ALL_TESTS();
        listeners.Release(watchdog.get());
        ResetTestDataFolder(false);
    }
    wxEntryCleanup();
    return rc;
}
