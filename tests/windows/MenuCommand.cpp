// Chooses a menu command in a running program as the user's click does,
// without keystrokes: WM_COMMAND to its main window, once that is shown.
//   menu-command TITLE-PREFIX COMMAND-ID SECONDS
// 0: sent; 1: no shown window with that title in time; 2: usage.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>

namespace {
struct Search {
    std::wstring prefix;
    HWND found = nullptr;
};

BOOL CALLBACK Visit(HWND window, LPARAM param) {
    auto& search = *reinterpret_cast<Search*>(param);
    wchar_t title[256] = {};
    ::GetWindowTextW(window, title, 256);
    if (::IsWindowVisible(window) &&
        std::wcsncmp(title, search.prefix.c_str(), search.prefix.size()) == 0) {
        search.found = window;
        return FALSE;
    }
    return TRUE;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 4)
        return 2;
    Search search;
    for (const char* c = argv[1]; *c; ++c)
        search.prefix += static_cast<wchar_t>(static_cast<unsigned char>(*c));  // ASCII titles
    const WPARAM command = MAKEWPARAM(std::atoi(argv[2]), 0);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(argv[3]));
    while (!search.found && std::chrono::steady_clock::now() < end) {
        ::EnumWindows(Visit, reinterpret_cast<LPARAM>(&search));
        if (!search.found)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (!search.found) {
        std::fprintf(stderr, "menu-command: no shown window titled \"%s...\"\n", argv[1]);
        return 1;
    }
    ::PostMessageW(search.found, WM_COMMAND, command, 0);
    return 0;
}
