// What the command-line tools need of their platform beyond the setup's own
// needs: the standard streams, terminals, and POSIX permission bits.
#pragma once

#include <string>

#include <quern/Platform.h>

namespace quern {

namespace platform {

// The standard streams as file handles: 0 input, 1 output, 2 error. Bytes go
// through unchanged (no text-mode translation on Windows).
FileHandle StandardFile(int which);
// True when the handle is an interactive terminal (a console on Windows).
bool IsTerminal(FileHandle file);
// Resets the code that LastErrorCode reports, so that a failure's reason is
// not taken from an earlier, unrelated call.
void ClearLastError();

// POSIX: a regular file gets the execute bits that the process's umask lets
// a new program have (0777 & ~umask), for the classes that may already read
// it. Windows has no such bits: true, nothing changes.
bool MarkExecutable(const std::string& path);
// Archives keep no mode bits: a file whose data starts like a program ("#!"
// or the ELF magic) is marked executable. False only when marking failed.
bool MarkExecutableIfProgram(const std::string& path);
// POSIX: the permission bits of a file made afresh (0666 & ~umask), for
// files first created private and renamed into place. Windows: true.
bool SetNewFilePermissions(const std::string& path);

// Windows: true when the program's console serves it alone, so it closes,
// and takes what was printed with it, as the program ends. A console program
// started from a windowed one gets such a console of its own. False for a
// console shared with a command prompt, for output redirected without one,
// and on POSIX, where a terminal outlives the programs it runs.
bool ConsoleClosesWithProgram();
// A modal message box with no owner window, its icon telling a failure from
// a notice (Windows). Elsewhere nothing is shown.
void ShowMessageBox(const std::string& text, const std::string& caption, bool failure);

}  // namespace platform

}  // namespace quern
