// The layer's headers come first: windows.h defines YieldProcessor and others
// as macros, which would otherwise rewrite the layer's own declarations.
#include "../ToolSupport.h"

#include <windows.h>

namespace quern {

namespace platform {

FileHandle StandardFile(int which) {
    const DWORD ids[] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
    if (which < 0 || which > 2) return InvalidFile;
    const HANDLE handle = GetStdHandle(ids[which]);
    return handle == nullptr || handle == INVALID_HANDLE_VALUE ? InvalidFile : reinterpret_cast<FileHandle>(handle);
}

bool IsTerminal(FileHandle file) {
    DWORD mode = 0;
    return file != InvalidFile && GetFileType(reinterpret_cast<HANDLE>(file)) == FILE_TYPE_CHAR &&
           GetConsoleMode(reinterpret_cast<HANDLE>(file), &mode);
}

void ClearLastError() { SetLastError(0); }

bool MarkExecutable(const std::string&) { return true; }

bool MarkExecutableIfProgram(const std::string&) { return true; }

bool SetNewFilePermissions(const std::string&) { return true; }

bool ConsoleClosesWithProgram() {
    DWORD processes[2];
    return GetConsoleProcessList(processes, 2) == 1;
}

void ShowMessageBox(const std::string& text, const std::string& caption, bool failure) {
    // Set to the foreground: the box must not hide behind the console it outlives.
    MessageBoxA(nullptr, text.c_str(), caption.c_str(),
                MB_OK | MB_SETFOREGROUND | (failure ? MB_ICONERROR : MB_ICONINFORMATION));
}

}  // namespace platform

}  // namespace quern
