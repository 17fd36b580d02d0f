// What the main window tests share: a fresh data folder, a document manager
// with the program's template, and a main window opened the way the program
// opens it (new document, shown maximised).
#pragma once

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <wx/display.h>
#include <wx/docview.h>
#include <wx/statusbr.h>
#include <wx/weakref.h>
#include <wx/window.h>

#include "app/QuenDravaltDoc.h"
#include "frame/MainFrame.h"
#include "imap/Transcript.h"
#include "platform/DataFolder.h"
#include "support/EventPump.h"
#include "support/TempFolder.h"

extern char** environ;

// argv[1] that makes the test binary run as the program (see MainWindowStartupTest.cpp).
inline constexpr const char* kAppModeOption = "--qd-run-program";
int RunAsProgram(int argc, char** argv);

// Removes the test data folder with everything in it and, if create, makes it
// again, empty. The program's real folder is never the one compiled in here.
inline void ResetTestDataFolder(bool create) {
    std::error_code ec;
    std::filesystem::remove_all(DefaultDataFolder(), ec);
    if (create)
        std::filesystem::create_directories(DefaultDataFolder(), ec);
}

inline std::string TestDataFile(const char* name) {
    return DataFilePath(DefaultDataFolder(), name);
}

// A TCP listener on 127.0.0.1 that never says a word: a run against it
// connects and then waits. port 0 picks a free one.
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    unsigned Port() const { return m_port; }
    // Takes the next connection, pumping events meanwhile; false on timeout.
    bool Accept(std::chrono::milliseconds limit = std::chrono::seconds(10));
    // Whether the accepted connection was closed by the client by then.
    bool PeerClosed(std::chrono::milliseconds limit = std::chrono::seconds(10));

private:
    int m_listener = -1;
    int m_peer = -1;
    unsigned m_port = 0;
};

// A port on 127.0.0.1 where nothing listens (connections are refused).
unsigned RefusedPort();

// openbox on the test's private X server, for the life of the object. Without
// a window manager GTK never maximises a window and nobody gives a new window
// the keyboard focus. Where a window manager runs already (a desktop), openbox
// declines to start and that one serves.
class WindowManager {
public:
    WindowManager() {
        const std::string ready = m_folder.File("up");
        const std::string startup = "touch " + ready;
        const char* argv[] = {QD_OPENBOX, "--startup", startup.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const int rc = posix_spawn(&m_pid, QD_OPENBOX, &actions, nullptr,
                                   const_cast<char* const*>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            m_pid = -1;
            return;
        }
        // Openbox runs the startup command once it manages the screen.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!std::filesystem::exists(ready) && std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;  // declined: another window manager runs
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        m_running = std::filesystem::exists(ready);
    }
    ~WindowManager() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            waitpid(m_pid, &status, 0);
        }
    }
    WindowManager(const WindowManager&) = delete;
    WindowManager& operator=(const WindowManager&) = delete;

    // Ours runs (false also when another one serves the display).
    bool Running() const { return m_running; }

private:
    TempFolder m_folder;
    pid_t m_pid = -1;
    bool m_running = false;
};

// Whether a window covers the screen as a maximised one does: the full width,
// the height less what a title bar may take (GTK's idea of where the frame
// starts and what the window manager did may differ by the title bar).
inline bool CoversScreen(const wxRect& window, const wxRect& area) {
    return window.width >= area.width && window.height >= area.height - 64 && window.x <= area.x &&
           window.y <= area.y + 64;
}

class MainWindowFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(DefaultDataFolder(), "/QUENDRAVALT");
        ResetTestDataFolder(true);
        m_wm = std::make_unique<WindowManager>();
        m_manager = std::make_unique<CQuenDravaltDocManager>();
        CreateQuenDravaltTemplate(m_manager.get());
    }

    void TearDown() override {
        if (CMainFrame* frame = m_frame.get()) {
            frame->Close(true);
            PumpUntil([this] { return !m_frame; }, std::chrono::seconds(10));
            if (m_frame)
                m_frame->Destroy();
            PumpFor(std::chrono::milliseconds(20));
        }
        m_manager.reset();
        m_wm.reset();
    }

    // Opens the main window as the program does and waits until it is on
    // screen with the view focused.
    CMainFrame& OpenFrame() {
        auto* frame = new CMainFrame(m_manager.get(), m_transcript);
        m_frame = frame;
        EXPECT_NE(m_manager->CreateNewDocument(), nullptr);
        frame->ShowMaximized();
        // The window manager maximises the window a moment after it shows,
        // and the panes are laid out again after that.
        PumpUntil(
            [frame] {
                wxWindow* view = frame->GetViewWindow();
                return frame->IsShownOnScreen() && frame->IsMaximized() &&
                       CoversScreen(frame->GetScreenRect(), wxDisplay(frame).GetClientArea()) &&
                       view && view->GetSize().x == frame->GetClientSize().x;
            },
            std::chrono::seconds(10));
        PumpFor(std::chrono::milliseconds(100));
        WaitForFocus(frame->GetViewWindow());
        return *frame;
    }

    // Without a window manager nobody hands a new window the focus: raise it
    // and wait until the child has it.
    static bool WaitForFocus(wxWindow* child,
                             std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        if (!child)
            return false;
        wxGetTopLevelParent(child)->Raise();
        child->SetFocus();
        return PumpUntil([child] { return wxWindow::FindFocus() == child; }, limit);
    }

    // A menu command or accelerator as wx delivers it (disabled items refused).
    static void Command(CMainFrame& frame, int id) { frame.ProcessCommand(id); }

    // Runs the idle-time updates of menus, toolbar and indicators now.
    static void RunIdleUpdates(CMainFrame& frame) {
        frame.UpdateWindowUI(wxUPDATE_UI_RECURSE);
        PumpFor(std::chrono::milliseconds(50));
    }

    wxString StatusText(int pane = 0) {
        return m_frame && m_frame->GetStatusBar() ? m_frame->GetStatusBar()->GetStatusText(pane)
                                                  : wxString("<no status bar>");
    }

    std::unique_ptr<WindowManager> m_wm;
    std::unique_ptr<wxDocManager> m_manager;
    CTranscript m_transcript;
    wxWeakRef<CMainFrame> m_frame;
};
