#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "../ToolSupport.h"

namespace quern {

namespace platform {
namespace {

// Read from /proc where it is offered: setting and restoring the mask would
// leave a moment in which another thread creates world-writable files.
mode_t ProcessUmask() {
    static const mode_t mask = [] {
        if (std::FILE* status = std::fopen("/proc/self/status", "r")) {
            char line[256];
            unsigned value = 0;
            bool found = false;
            while (!found && std::fgets(line, sizeof line, status))
                found = std::sscanf(line, "Umask: %o", &value) == 1;
            std::fclose(status);
            if (found) return static_cast<mode_t>(value & 0777);
        }
        const mode_t old = ::umask(022);
        ::umask(old);
        return old;
    }();
    return mask;
}

}  // namespace

FileHandle StandardFile(int which) { return static_cast<FileHandle>(which); }

bool IsTerminal(FileHandle file) { return ::isatty(static_cast<int>(file)) == 1; }

void ClearLastError() { errno = 0; }

bool MarkExecutable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    const mode_t readers = st.st_mode & (S_IRUSR | S_IRGRP | S_IROTH);
    const mode_t execute = (readers >> 2) & static_cast<mode_t>(~ProcessUmask());
    return ::chmod(path.c_str(), (st.st_mode & 07777) | execute) == 0;
}

bool MarkExecutableIfProgram(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return true;
    unsigned char head[4] = {};
    const size_t n = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    const bool script = n >= 2 && head[0] == '#' && head[1] == '!';
    const bool elf = n == 4 && head[0] == 0x7F && head[1] == 'E' && head[2] == 'L' && head[3] == 'F';
    return !(script || elf) || MarkExecutable(path);
}

bool SetNewFilePermissions(const std::string& path) {
    return ::chmod(path.c_str(), 0666 & ~ProcessUmask()) == 0;
}

bool ConsoleClosesWithProgram() { return false; }

void ShowMessageBox(const std::string&, const std::string&, bool) {}

}  // namespace platform

}  // namespace quern
