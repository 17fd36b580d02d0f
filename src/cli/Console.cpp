#include "cli/Console.h"

#include <csignal>
#include <cstdio>

#ifdef _WIN32
#include <io.h>
#include <windows.h>

namespace {
void (*g_handler)(int) = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (g_handler)
        g_handler(SIGINT);
    // Windows ends the process once this returns from a console being closed
    // (or the user logging off): the run gets the few seconds Windows allows
    // to take back its flags and log out. The program's own exit ends this wait.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        ::Sleep(4500);
    return TRUE;  // handled: the loop stops the run
}
}  // namespace

bool StdinIsTerminal() {
    return ::_isatty(::_fileno(stdin)) != 0;
}

bool StderrIsTerminal() {
    return ::_isatty(::_fileno(stderr)) != 0;
}

CEchoOff::CEchoOff() {
    HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (::GetConsoleMode(in, &mode) && ::SetConsoleMode(in, mode & ~ENABLE_ECHO_INPUT)) {
        m_before = mode;
        m_changed = true;
    }
}

CEchoOff::~CEchoOff() {
    if (m_changed)
        ::SetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), static_cast<DWORD>(m_before));
}

void CatchStopSignals(void (*handler)(int)) {
    g_handler = handler;
    ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void DisableCoreDumps() {
    // Windows writes no core files; its error reporting is the user's choice.
}

bool FolderWritable(const std::string& file) {
    const size_t slash = file.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? "." : file.substr(0, slash + 1);
    const DWORD attributes = ::GetFileAttributesA(folder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_READONLY);
}
#else
#include <signal.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

bool StdinIsTerminal() {
    return ::isatty(STDIN_FILENO);
}

bool StderrIsTerminal() {
    return ::isatty(STDERR_FILENO);
}

CEchoOff::CEchoOff() {
    termios before{};
    if (::tcgetattr(STDIN_FILENO, &before) != 0)
        return;
    termios quiet = before;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    m_changed = ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
    m_before = before.c_lflag;
}

CEchoOff::~CEchoOff() {
    termios now{};
    if (m_changed && ::tcgetattr(STDIN_FILENO, &now) == 0) {
        now.c_lflag = static_cast<tcflag_t>(m_before);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &now);
    }
}

void CatchStopSignals(void (*handler)(int)) {
    // Without SA_RESTART: a signal ends the loop's wait at once.
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

void DisableCoreDumps() {
    const rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
#ifdef __linux__
    ::prctl(PR_SET_DUMPABLE, 0);
#endif
}

bool FolderWritable(const std::string& file) {
    const size_t slash = file.rfind('/');
    const std::string folder = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : file.substr(0, slash);
    return ::access(folder.c_str(), W_OK) == 0;
}
#endif
