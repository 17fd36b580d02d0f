// What the command-line program needs of its console and process, on POSIX
// and on Windows.
#pragma once

#include <string>

bool StdinIsTerminal();
bool StderrIsTerminal();

// While it lives, what is typed on the terminal is not shown.
class CEchoOff {
public:
    CEchoOff();
    ~CEchoOff();
    CEchoOff(const CEchoOff&) = delete;
    CEchoOff& operator=(const CEchoOff&) = delete;

private:
    bool m_changed = false;
    unsigned long m_before = 0;
};

// handler runs on SIGINT and SIGTERM (Windows: Ctrl+C, Ctrl+Break and the
// console closing), ending the event loop's wait at once where it can.
void CatchStopSignals(void (*handler)(int));

// The folder file would be written in exists and may be written.
bool FolderWritable(const std::string& file);

// No core file, and no other process of the user reading this one's memory.
void DisableCoreDumps();
