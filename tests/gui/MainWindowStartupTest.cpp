// The program's start-up and end, run for real in a child process: this test
// binary started again as the program (same code, the test data folder). The
// child reports what it shows on stdout, one "KEY|value" line each, answers
// every dialog with OK and closes its main window once it is up.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/display.h>
#include <wx/filedlg.h>
#include <wx/listctrl.h>
#include <wx/modalhook.h>
#include <wx/msgdlg.h>
#include <wx/timer.h>

#include "app/QuenDravaltApp.h"
#include "app/QuenDravaltView.h"
#include "gui/MainWindowTestFixture.h"
#include "support/TempFolder.h"

namespace {

// ------------------------------------------------------------ the child side

void Report(const std::string& key, const wxString& value = wxString()) {
    std::string text = value.utf8_string();
    for (char& c : text)
        if (c == '\n')
            c = ' ';
    std::printf("%s|%s\n", key.c_str(), text.c_str());
    std::fflush(stdout);
}

void ReportAssert(const wxString& file, int line, const wxString&, const wxString& cond,
                  const wxString& msg) {
    Report("ASSERT", wxString::Format("%s:%d %s %s", file, line, cond, msg));
}

// Every dialog the program puts up is reported and answered at once.
class AnswerDialogs : public wxModalDialogHook {
public:
    AnswerDialogs() { Register(); }

protected:
    int Enter(wxDialog* dialog) override {
        wxString message;
        if (auto* box = dynamic_cast<wxMessageDialogBase*>(dialog))
            message = box->GetMessage();
        Report("DIALOG", dialog->GetTitle() + "|" + message);
        return dynamic_cast<wxFileDialog*>(dialog) ? wxID_CANCEL : wxID_OK;
    }
    void Exit(wxDialog*) override {}
};

class ProgramUnderTest : public CQuenDravaltApp {
public:
    bool OnInit() override {
        wxSetAssertHandler(ReportAssert);
        m_answers = std::make_unique<AnswerDialogs>();
        const bool ok = CQuenDravaltApp::OnInit();
        Report("INIT", ok ? "1" : "0");
        Report("DOCMANAGER", GetDocManager() ? "1" : "0");
        Report("MAINFRAMES", wxString::Format("%d", CountMainFrames()));
        if (ok) {
            // The window manager maximises the window a moment after it shows.
            m_started = std::chrono::steady_clock::now();
            m_poll.Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
                CMainFrame* frame = GetMainFrame();
                if (frame && !(frame->IsMaximized() && FillsScreen(*frame)) &&
                    std::chrono::steady_clock::now() - m_started < std::chrono::seconds(5))
                    return;
                m_poll.Stop();
                ReportWindowAndClose();
            });
            m_poll.Start(50);
        }
        return ok;
    }

    int OnExit() override {
        Report("EXIT");
        return CQuenDravaltApp::OnExit();
    }

protected:
    // QD_TEST_NO_SOCKETS: the check runs while the process may open no more
    // files, so socket() really fails (EMFILE).
    bool CheckSocketLayer() override {
        if (!std::getenv("QD_TEST_NO_SOCKETS"))
            return CQuenDravaltApp::CheckSocketLayer();
        const int probe = ::open("/dev/null", O_RDONLY);  // the lowest free descriptor
        if (probe >= 0)
            ::close(probe);
        rlimit saved{};
        ::getrlimit(RLIMIT_NOFILE, &saved);
        rlimit tight = saved;
        tight.rlim_cur = static_cast<rlim_t>(probe < 0 ? 0 : probe);
        ::setrlimit(RLIMIT_NOFILE, &tight);
        const bool ok = CQuenDravaltApp::CheckSocketLayer();
        ::setrlimit(RLIMIT_NOFILE, &saved);
        Report("SOCKETCHECK", ok ? "1" : "0");
        return ok;
    }

private:
    static bool FillsScreen(wxWindow& frame) {
        return CoversScreen(frame.GetScreenRect(), wxDisplay(&frame).GetClientArea());
    }

    static int CountMainFrames() {
        int count = 0;
        for (wxWindow* window : wxTopLevelWindows)
            if (dynamic_cast<CMainFrame*>(window) && !window->IsBeingDeleted() &&
                !wxPendingDelete.Member(window))
                ++count;
        return count;
    }

    void ReportWindowAndClose() {
        CMainFrame* frame = GetMainFrame();
        if (!frame) {
            Report("NOFRAME");
            ExitMainLoop();
            return;
        }
        Report("TOPWINDOW", GetTopWindow() == frame ? "1" : "0");
        Report("TITLE", frame->GetTitle());
        Report("SHOWN", frame->IsShown() ? "1" : "0");
        Report("MAXIMIZED", frame->IsMaximized() ? "1" : "0");
        Report("FILLSSCREEN", FillsScreen(*frame) ? "1" : "0");
        Report("DOCS", wxString::Format("%zu", GetDocManager()->GetDocuments().GetCount()));
        if (wxDocument* doc = GetDocManager()->GetCurrentDocument()) {
            Report("DOCFILE", doc->GetFilename());
            Report("DOCSAVED", doc->GetDocumentSaved() ? "1" : "0");
            auto* view = dynamic_cast<CQuenDravaltView*>(doc->GetFirstView());
            wxListCtrl* list = view ? view->GetListCtrl() : nullptr;
            Report("VIEW", list && list == frame->GetViewWindow() && !list->InReportView()
                               ? "list"
                               : "none");
        }
        Report("LOGPATH", GetTranscript().LogPath());
        Report("PAUSE", wxString::Format("%d", frame->m_settings.m_nPauseMs));
        Report("ADDRESS", frame->m_settings.m_strServerIP);
        Report("PORT", frame->m_settings.m_strPort);
        Report("USERS", wxString::Format("%zu", frame->m_users.m_arrAccounts.size()));
        // QD_SCREENSHOT=file.png: a picture of the screen first (for the docs).
        if (const char* shot = std::getenv("QD_SCREENSHOT")) {
            const std::string path = shot;
            m_shot.Bind(wxEVT_TIMER, [this, path](wxTimerEvent&) {
                SaveScreen(path);
                if (CMainFrame* f = GetMainFrame())
                    f->Close();
            });
            m_shot.StartOnce(1500);
            return;
        }
        frame->Close();
    }

    static void SaveScreen(const std::string& path) {
        const wxSize size = wxGetDisplaySize();
        wxBitmap shot(size);
        {
            wxScreenDC screen;
            wxMemoryDC memory(shot);
            memory.Blit(0, 0, size.x, size.y, &screen, 0, 0);
        }
        Report("SCREENSHOT", shot.SaveFile(path, wxBITMAP_TYPE_PNG) ? path : "failed");
    }

    std::unique_ptr<AnswerDialogs> m_answers;
    wxTimer m_poll;
    wxTimer m_shot;
    std::chrono::steady_clock::time_point m_started;
};

// ----------------------------------------------------------- the parent side

struct ProgramRun {
    int exitStatus = -1;
    std::multimap<std::string, std::string> lines;
    std::string output;

    bool Has(const std::string& key) const { return lines.count(key) > 0; }
    std::string Get(const std::string& key) const {
        auto it = lines.find(key);
        return it == lines.end() ? "<missing " + key + ">" : it->second;
    }
};

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string SelfPath() {
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

// Runs the program with args (and QD_TEST_NO_SOCKETS when noSockets); gives
// it a minute at most.
ProgramRun RunProgram(const std::vector<std::string>& args, bool noSockets = false) {
    std::string command = "timeout 60 " + Quote(SelfPath()) + " " + kAppModeOption;
    for (const std::string& arg : args)
        command += " " + Quote(arg);
    if (noSockets)
        ::setenv("QD_TEST_NO_SOCKETS", "1", 1);
    ProgramRun run;
    std::FILE* pipe = ::popen(command.c_str(), "r");
    ::unsetenv("QD_TEST_NO_SOCKETS");
    if (!pipe) {
        ADD_FAILURE() << "could not start " << command;
        return run;
    }
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        run.output.append(buffer, n);
    const int status = ::pclose(pipe);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    std::istringstream in(run.output);
    std::string line;
    while (std::getline(in, line)) {
        const size_t bar = line.find('|');
        if (bar != std::string::npos)
            run.lines.emplace(line.substr(0, bar), line.substr(bar + 1));
    }
    return run;
}

class ProgramStartup : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(DefaultDataFolder(), "/QUENDRAVALT");
        ResetTestDataFolder(false);
    }

    WindowManager m_wm;
};

TEST_F(ProgramStartup, WithoutArgumentsShowsNewDocumentMaximisedThenSavesOnClose) {
    const ProgramRun run = RunProgram({});
    SCOPED_TRACE(run.output);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_FALSE(run.Has("ASSERT"));
    EXPECT_FALSE(run.Has("DIALOG"));
    EXPECT_EQ(run.Get("INIT"), "1");
    EXPECT_EQ(run.Get("MAINFRAMES"), "1");
    EXPECT_EQ(run.Get("TOPWINDOW"), "1");
    EXPECT_EQ(run.Get("TITLE"), "QuenDravalt V.1.01 del 20/03/2007");
    EXPECT_EQ(run.Get("SHOWN"), "1");
    EXPECT_EQ(run.Get("MAXIMIZED"), "1");
    EXPECT_EQ(run.Get("FILLSSCREEN"), "1");
    EXPECT_EQ(run.Get("DOCS"), "1");
    EXPECT_EQ(run.Get("DOCSAVED"), "0");  // a new, unnamed document
    EXPECT_EQ(run.Get("VIEW"), "list");
    EXPECT_EQ(run.Get("LOGPATH"), TestDataFile(kLogFileName));
    // No folder, no files: the defaults.
    EXPECT_EQ(run.Get("PAUSE"), "1000");
    EXPECT_EQ(run.Get("ADDRESS"), kDefaultServerIP);
    EXPECT_EQ(run.Get("PORT"), "143");
    EXPECT_EQ(run.Get("USERS"), "0");
    EXPECT_TRUE(run.Has("EXIT"));
    // Closing wrote the settings, creating the folder.
    EXPECT_EQ(ReadFileBytes(TestDataFile(kConfigFileName)),
              std::string("1000\r\n") + kDefaultServerIP + "\r\n143\r\n");
}

TEST_F(ProgramStartup, ReadsTheDataFolderAtStart) {
    ResetTestDataFolder(true);
    WriteFileBytes(TestDataFile(kConfigFileName), "2500\r\n127.0.0.1\r\n10143\r\n");
    WriteFileBytes(TestDataFile(kUserListFileName), "anna;pw1\r\nno separator\r\nbruno;x;y\r\n");
    const ProgramRun run = RunProgram({});
    SCOPED_TRACE(run.output);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.Get("PAUSE"), "2500");
    EXPECT_EQ(run.Get("ADDRESS"), "127.0.0.1");
    EXPECT_EQ(run.Get("PORT"), "10143");
    EXPECT_EQ(run.Get("USERS"), "2");
    EXPECT_EQ(ReadFileBytes(TestDataFile(kConfigFileName)), "2500\r\n127.0.0.1\r\n10143\r\n");
}

TEST_F(ProgramStartup, OpensTheDocumentNamedOnTheCommandLineWithoutReadingIt) {
    TempFolder folder;
    const std::string path = folder.File("notes.qdv");
    const std::string bytes = "anything at all\r\n\x01\x02 not a document format";
    WriteFileBytes(path, bytes);
    const ProgramRun run = RunProgram({path});
    SCOPED_TRACE(run.output);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_FALSE(run.Has("DIALOG"));
    EXPECT_EQ(run.Get("DOCS"), "1");
    EXPECT_EQ(run.Get("DOCFILE"), path);
    EXPECT_EQ(run.Get("DOCSAVED"), "1");
    EXPECT_EQ(run.Get("VIEW"), "list");
    // The caption does not take the document's name.
    EXPECT_EQ(run.Get("TITLE"), "QuenDravalt V.1.01 del 20/03/2007");
    EXPECT_EQ(ReadFileBytes(path), bytes);
}

TEST_F(ProgramStartup, DocumentThatCannotBeOpenedEndsTheProgram) {
    TempFolder folder;
    const std::string path = folder.File("missing.qdv");
    const ProgramRun run = RunProgram({path});
    SCOPED_TRACE(run.output);
    EXPECT_NE(run.exitStatus, 0);
    EXPECT_EQ(run.Get("DIALOG"), "QuenDravalt|" + path + " Failed to open document.");
    EXPECT_EQ(run.Get("INIT"), "0");
    EXPECT_EQ(run.Get("MAINFRAMES"), "0");
    EXPECT_FALSE(run.Has("TITLE"));
}

TEST_F(ProgramStartup, SocketLayerFailureEndsTheProgramBeforeAnyWindow) {
    const ProgramRun run = RunProgram({}, true);
    SCOPED_TRACE(run.output);
    EXPECT_EQ(run.Get("SOCKETCHECK"), "0");
    EXPECT_EQ(run.Get("DIALOG"), "QuenDravalt|Inzializzazione Socket Fallita.");
    EXPECT_EQ(run.lines.count("DIALOG"), 1u);
    EXPECT_EQ(run.Get("INIT"), "0");
    // Nothing after the check: no document template, no window.
    EXPECT_EQ(run.Get("DOCMANAGER"), "0");
    EXPECT_EQ(run.Get("MAINFRAMES"), "0");
    EXPECT_NE(run.exitStatus, 0);
    EXPECT_FALSE(run.Has("ASSERT"));
    EXPECT_FALSE(std::filesystem::exists(TestDataFile(kConfigFileName)));
}

TEST_F(ProgramStartup, SocketCheckPassesNormally) {
    // The counterpart of the test above: the same check with descriptors to spare.
    const ProgramRun run = RunProgram({});
    SCOPED_TRACE(run.output);
    EXPECT_FALSE(run.Has("SOCKETCHECK"));
    EXPECT_EQ(run.Get("INIT"), "1");
}

TEST_F(ProgramStartup, TakesNoOptionsOfItsOwn) {
    for (const char* option : {"--configure", "/p", "-x"}) {
        SCOPED_TRACE(option);
        const ProgramRun run = RunProgram({option});
        SCOPED_TRACE(run.output);
        if (std::string(option) == "/p") {
            // Not an option here but a file name, which does not exist.
            EXPECT_NE(run.exitStatus, 0);
            EXPECT_EQ(run.Get("MAINFRAMES"), "0");
            continue;
        }
        EXPECT_NE(run.exitStatus, 0);
        EXPECT_FALSE(run.Has("TITLE"));
        EXPECT_NE(run.Get("MAINFRAMES"), "1");
    }
}

}  // namespace

int RunAsProgram(int argc, char** argv) {
    // Drop the mode option; the rest is the program's command line.
    std::vector<char*> args;
    args.push_back(argv[0]);
    for (int i = 2; i < argc; ++i)
        args.push_back(argv[i]);
    args.push_back(nullptr);
    int count = argc - 1;
    wxApp::SetInstance(new ProgramUnderTest);
    return wxEntry(count, args.data());
}
