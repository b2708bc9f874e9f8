// POSIX implementation of the platform layer. Windows share modes are mapped
// onto advisory flock() locks, so two programs of ours see the same conflicts
// they would see on Windows; programs that do not lock are not held back.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>

#include <quern/Platform.h>
#include <quern/StringList.h>

namespace quern {

namespace platform {
namespace {

int ToFd(FileHandle h) { return static_cast<int>(h); }

bool LockFor(int fd, FileShare share) {
    int op = 0;
    switch (share) {
        case FileShare::Exclusive: op = LOCK_EX; break;
        case FileShare::DenyWrite:
        case FileShare::DenyRead: op = LOCK_SH; break;
        case FileShare::DenyNone: return true;
    }
    return flock(fd, op | LOCK_NB) == 0;
}

struct Process {
    pid_t pid = 0;
    bool reaped = false;
    int status = 0;
};

}  // namespace

FileHandle OpenFile(const std::string& path, FileAccess access, FileShare share) {
    int flags = O_RDONLY;
    if (access == FileAccess::Write) flags = O_WRONLY;
    if (access == FileAccess::ReadWrite) flags = O_RDWR;
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return InvalidFile;
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || !LockFor(fd, share)) {
        const int saved = S_ISDIR(st.st_mode) ? EISDIR : errno;
        ::close(fd);
        errno = saved;
        return InvalidFile;
    }
    return fd;
}

FileHandle CreateFile(const std::string& path) {
    // Lock before truncating, so a file held by another of our programs is left intact.
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return InvalidFile;
    if (!LockFor(fd, FileShare::Exclusive) || ftruncate(fd, 0) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return InvalidFile;
    }
    return fd;
}

int32_t ReadFile(FileHandle file, void* buffer, int32_t count) {
    if (count <= 0) return 0;
    for (;;) {
        const ssize_t n = ::read(ToFd(file), buffer, static_cast<size_t>(count));
        if (n >= 0) return static_cast<int32_t>(n);
        if (errno != EINTR) return -1;
    }
}

int32_t ReadFileAt(FileHandle file, int64_t offset, void* buffer, int32_t count) {
    if (count <= 0) return 0;
    for (;;) {
        const ssize_t n = ::pread(ToFd(file), buffer, static_cast<size_t>(count), static_cast<off_t>(offset));
        if (n >= 0) return static_cast<int32_t>(n);
        if (errno != EINTR) return -1;
    }
}

int32_t WriteFile(FileHandle file, const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    const char* p = static_cast<const char*>(buffer);
    int32_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(ToFd(file), p + done, static_cast<size_t>(count - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return done > 0 ? done : -1;
        done += static_cast<int32_t>(n);
    }
    return done;
}

int64_t SeekFile(FileHandle file, int64_t offset, int origin) {
    const int whence = origin == 0 ? SEEK_SET : origin == 1 ? SEEK_CUR : SEEK_END;
    return ::lseek(ToFd(file), static_cast<off_t>(offset), whence);
}

void CloseFile(FileHandle file) {
    if (file != InvalidFile) ::close(ToFd(file));
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::optional<uint32_t> GetFileAttributes(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    if (S_ISDIR(st.st_mode)) return faDirectory;
    return (st.st_mode & S_IWUSR) ? faArchive : (faArchive | faReadOnly);
}

bool SetFileAttributes(const std::string& path, uint32_t attributes) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    mode_t mode = st.st_mode & 07777;
    if (attributes & faReadOnly)
        mode &= static_cast<mode_t>(~(S_IWUSR | S_IWGRP | S_IWOTH));
    else
        mode |= S_IWUSR;
    return ::chmod(path.c_str(), mode) == 0;
}

bool SetFileDatePacked(FileHandle file, uint32_t packed) {
    struct tm t {};
    const uint32_t date = packed >> 16, time = packed & 0xFFFF;
    t.tm_year = static_cast<int>((date >> 9) + 80);
    t.tm_mon = static_cast<int>((date >> 5) & 15) - 1;
    t.tm_mday = static_cast<int>(date & 31);
    t.tm_hour = static_cast<int>(time >> 11);
    t.tm_min = static_cast<int>((time >> 5) & 63);
    t.tm_sec = static_cast<int>((time & 31) * 2);
    t.tm_isdst = -1;
    if (t.tm_mon < 0 || t.tm_mon > 11 || t.tm_mday < 1 || t.tm_hour > 23 || t.tm_min > 59 || t.tm_sec > 59)
        return false;
    const time_t when = mktime(&t);
    if (when == static_cast<time_t>(-1)) return false;
    struct timespec times[2] = {{when, 0}, {when, 0}};
    return ::futimens(ToFd(file), times) == 0;
}

std::optional<uint32_t> GetFileDatePacked(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    struct tm t {};
    if (!localtime_r(&st.st_mtime, &t)) return std::nullopt;
    if (t.tm_year < 80) return std::nullopt;  // before 1980 cannot be packed
    const uint32_t date = static_cast<uint32_t>(((t.tm_year - 80) << 9) | ((t.tm_mon + 1) << 5) | t.tm_mday);
    const uint32_t time = static_cast<uint32_t>((t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
    return (date << 16) | time;
}

bool DeleteFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool RenameFile(const std::string& from, const std::string& to) {
    return ::rename(from.c_str(), to.c_str()) == 0;
}

bool CreateDirectory(const std::string& path, int* errorCode) {
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    if (errorCode) *errorCode = errno;
    return false;
}

bool RemoveDirectory(const std::string& path) { return ::rmdir(path.c_str()) == 0; }

bool CreateSymbolicLink(const std::string& target, const std::string& link, bool) {
    return ::symlink(target.c_str(), link.c_str()) == 0;
}

namespace {

// Seeded once per thread: the seed source may cost a system call.
unsigned RandomNumber() {
    thread_local std::mt19937 random{std::random_device{}()};
    return static_cast<unsigned>(random());
}

// A fresh name for a temporary file, "qrnXXXXXXXX.tmp".
std::string TemporaryName() {
    char name[32];
    std::snprintf(name, sizeof name, "qrn%08X.tmp", RandomNumber());
    return name;
}

// True when `name` in `dir` exists and is a symbolic link.
bool IsLinkAt(int dir, const std::string& name) {
    struct stat st {};
    return ::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

bool Fail(PlaceError& error, PlaceFailure kind, int code, std::string path) {
    error = {kind, code, std::move(path)};
    return false;
}

}  // namespace

bool BeginFile(const std::string& base, const std::string& relative, bool makeDirectories, PendingFile& pending,
               PlaceError& error) {
    pending = PendingFile{};
    int dir = ::open(base.empty() ? "." : base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return Fail(error, PlaceFailure::File, errno, base);
    std::string walked = base;
    size_t start = 0;
    for (size_t slash; (slash = relative.find('/', start)) != std::string::npos; start = slash + 1) {
        const std::string component = relative.substr(start, slash - start);
        walked += component + "/";
        if (component.empty() || component == ".") continue;
        // O_NOFOLLOW on the last component of each step: a link is refused,
        // and the walk holds each directory it has checked.
        int next = ::openat(dir, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && makeDirectories) {
            if (::mkdirat(dir, component.c_str(), 0777) != 0 && errno != EEXIST) {
                const int code = errno;
                ::close(dir);
                return Fail(error, PlaceFailure::Directory, code, walked);
            }
            next = ::openat(dir, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) {
            const int code = errno;
            const bool link = IsLinkAt(dir, component);
            ::close(dir);
            return Fail(error, link ? PlaceFailure::Link : PlaceFailure::File, code, walked);
        }
        ::close(dir);
        dir = next;
    }
    pending.directory = dir;
    pending.directoryPath = walked;
    pending.name = relative.substr(start);
    if (pending.name.empty() || pending.name == "." || pending.name == "..") {
        AbandonFile(pending);
        return Fail(error, PlaceFailure::File, EISDIR, walked);
    }
    if (IsLinkAt(dir, pending.name)) {
        AbandonFile(pending);
        return Fail(error, PlaceFailure::Link, ELOOP, walked + relative.substr(start));
    }
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temporary = TemporaryName();
        const int fd = ::openat(dir, temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            pending.file = fd;
            pending.temporary = temporary;
            return true;
        }
        if (errno != EEXIST) break;
    }
    const int code = errno;
    AbandonFile(pending);
    return Fail(error, PlaceFailure::File, code, walked);
}

bool CommitFile(PendingFile& pending, PlaceError& error) {
    const int dir = static_cast<int>(pending.directory);
    // A link put in the target's place meanwhile is refused; one put there
    // after this check is replaced by the rename, not followed.
    if (IsLinkAt(dir, pending.name)) {
        AbandonFile(pending);
        return Fail(error, PlaceFailure::Link, ELOOP, pending.directoryPath + pending.name);
    }
    if (::renameat(dir, pending.temporary.c_str(), dir, pending.name.c_str()) != 0) {
        const int code = errno;
        AbandonFile(pending);
        return Fail(error, PlaceFailure::File, code, pending.directoryPath + pending.name);
    }
    pending.temporary.clear();
    AbandonFile(pending);
    return true;
}

void AbandonFile(PendingFile& pending) {
    if (pending.file != InvalidFile) ::close(ToFd(pending.file));
    pending.file = InvalidFile;
    if (pending.directory >= 0) {
        if (!pending.temporary.empty()) ::unlinkat(static_cast<int>(pending.directory), pending.temporary.c_str(), 0);
        ::close(static_cast<int>(pending.directory));
    }
    pending.directory = -1;
    pending.temporary.clear();
}

bool SetPendingAttributes(PendingFile& pending, uint32_t attributes) {
    // As SetFileAttributes does, through the descriptor: the path may change.
    const mode_t mode = (attributes & faReadOnly) ? 0444 : 0666;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return ::fchmod(ToFd(pending.file), mode & ~mask) == 0;
}

FileHandle CreateUnnamedFile(const std::string& directory) {
#ifdef O_TMPFILE
    // The mode the pending files get.
    const int fd = ::open(directory.empty() ? "." : directory.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666);
    return fd < 0 ? InvalidFile : fd;
#else
    (void)directory;
    return InvalidFile;
#endif
}

bool AdoptFile(PendingFile& pending, FileHandle file) {
    const int dir = static_cast<int>(pending.directory);
    if (dir < 0 || pending.file == InvalidFile || pending.temporary.empty() || file == InvalidFile) return false;
    // The unnamed file gets a fresh name beside the pending one, then takes
    // the pending one's place by a rename: no name is ever followed, and at
    // no moment are there two pending files to leave behind. Naming a file
    // by its descriptor needs a privilege on older kernels; its /proc entry
    // does not.
    const std::string viaProc = "/proc/self/fd/" + std::to_string(ToFd(file));
    bool byProc = false;
    std::string fresh;
    for (int attempt = 0;; ++attempt) {
        if (attempt == 100) return false;
        fresh = TemporaryName();
        const int linked = byProc ? ::linkat(AT_FDCWD, viaProc.c_str(), dir, fresh.c_str(), AT_SYMLINK_FOLLOW)
                                  : ::linkat(ToFd(file), "", dir, fresh.c_str(), AT_EMPTY_PATH);
        if (linked == 0) break;
        if (errno == EEXIST) continue;
        if (byProc || (errno != ENOENT && errno != EPERM)) return false;  // EXDEV: another file system
        byProc = true;
    }
    const int copy = ::fcntl(ToFd(file), F_DUPFD_CLOEXEC, 0);
    if (copy < 0 || ::renameat(dir, fresh.c_str(), dir, pending.temporary.c_str()) != 0) {
        if (copy >= 0) ::close(copy);
        ::unlinkat(dir, fresh.c_str(), 0);
        return false;
    }
    ::close(ToFd(pending.file));
    pending.file = copy;
    return true;
}

std::optional<uint64_t> DiskFree(int, const std::string& path) {
    // Ask the file system that holds the path: walk up to the nearest existing directory.
    std::string dir = path;
    for (;;) {
        const size_t slash = dir.find_last_of('/');
        dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash == 0 ? 1 : slash);
        if (DirectoryExists(dir) || dir == "." || dir == "/") break;
    }
    struct statvfs vfs {};
    if (::statvfs(dir.c_str(), &vfs) != 0) return std::nullopt;
    return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

int CurrentDrive() { return 0; }

int LastErrorCode() { return errno; }

std::string ErrorText(int code) { return std::strerror(code); }

std::string TempPath() {
    const char* env = std::getenv("TMPDIR");
    std::string path = env && *env ? env : "/tmp";
    if (path.back() != '/') path += '/';
    return path;
}

std::string CreatePrivateDirectory(const std::string& parent, const std::string& prefix) {
    std::string pattern = parent + prefix + "XXXXXX";
    if (!::mkdtemp(pattern.data())) return {};  // mkdtemp makes it mode 0700
    return pattern + "/";
}

std::string CreateTempFileName(const std::string& directory, const std::string& prefix) {
    unsigned number = RandomNumber() & 0xFFFF;
    for (int attempt = 0; attempt < 65536; ++attempt, number = (number + 1) & 0xFFFF) {
        if (number == 0) continue;
        char hex[8];
        std::snprintf(hex, sizeof hex, "%X", number);
        const std::string name = directory + prefix + hex + ".tmp";
        const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            return name;
        }
        if (errno != EEXIST) return {};
    }
    return {};
}

std::string ModuleFileName() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

void YieldProcessor() { sched_yield(); }

void SleepMilliseconds(uint32_t ms) {
    struct timespec ts {static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

namespace {
bool TryLaunch(const std::string& file, const std::string& parameters, ProcessHandle& process) {
    process = NoProcess;
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if ((st.st_mode & S_IXUSR) == 0 && ::chmod(file.c_str(), (st.st_mode & 07777) | S_IXUSR) != 0) return false;

    // The child reports a failed exec through a close-on-exec pipe.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return false;
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (pid == 0) {
        ::close(report[0]);
        const char* argv[] = {file.c_str(), parameters.c_str(), nullptr};
        ::execv(file.c_str(), const_cast<char* const*>(argv));
        const int error = errno;
        (void)!::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(report[1]);
    int error = 0;
    ssize_t n;
    do n = ::read(report[0], &error, sizeof error);
    while (n < 0 && errno == EINTR);
    ::close(report[0]);
    auto* p = new Process{pid, false, 0};
    if (n > 0) {
        ::waitpid(pid, &p->status, 0);
        delete p;
        errno = error;
        return false;
    }
    process = reinterpret_cast<ProcessHandle>(p);
    return true;
}
}  // namespace

bool LaunchProcess(const std::string& file, const std::string& parameters, uint16_t, ProcessHandle& process) {
    if (TryLaunch(file, parameters, process)) return true;
    // The Windows shell reports a failed launch in a box of its own; say it here.
    const int error = errno;
    std::fprintf(stderr, "Cannot run %s: %s\n", file.c_str(), std::strerror(error));
    errno = error;
    return false;
}

WaitResult WaitForProcess(ProcessHandle process, uint32_t milliseconds) {
    auto* p = reinterpret_cast<Process*>(process);
    if (!p) return WaitResult::Failed;
    struct timespec start {};
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        if (p->reaped) return WaitResult::Ended;
        const pid_t r = ::waitpid(p->pid, &p->status, WNOHANG);
        if (r == p->pid) {
            p->reaped = true;
            return WaitResult::Ended;
        }
        if (r < 0 && errno != EINTR) return WaitResult::Failed;
        struct timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        const long elapsed = (now.tv_sec - start.tv_sec) * 1000L + (now.tv_nsec - start.tv_nsec) / 1000000L;
        if (elapsed >= static_cast<long>(milliseconds)) return WaitResult::TimedOut;
        SleepMilliseconds(std::min<uint32_t>(5, milliseconds - static_cast<uint32_t>(elapsed)));
    }
}

bool GetProcessExitCode(ProcessHandle process, int32_t& exitCode) {
    auto* p = reinterpret_cast<Process*>(process);
    if (!p) return false;
    if (!p->reaped) {
        exitCode = 259;  // STILL_ACTIVE, as Windows answers for a running process
        return true;
    }
    if (WIFEXITED(p->status)) exitCode = WEXITSTATUS(p->status);
    else if (WIFSIGNALED(p->status)) exitCode = 128 + WTERMSIG(p->status);
    else exitCode = -1;
    return true;
}

void CloseProcess(ProcessHandle process) { delete reinterpret_cast<Process*>(process); }

bool ProcessCrashed(ProcessHandle process) {
    const auto* p = reinterpret_cast<const Process*>(process);
    return p && p->reaped && WIFSIGNALED(p->status);
}

namespace {
volatile sig_atomic_t lastInterruption = 0;
volatile sig_atomic_t interruptions = 0;

// Async-signal-safe: two stores, nothing else.
void OnInterruption(int signal) {
    lastInterruption = signal;
    interruptions = interruptions + 1;
}
}  // namespace

void CatchInterruptions() {
    struct sigaction action {};
    action.sa_handler = OnInterruption;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // One the caller chose to ignore (nohup, a background job) stays ignored.
        struct sigaction previous {};
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        ::sigaction(signal, &action, nullptr);
    }
}

int PendingInterruption() { return lastInterruption; }

uint32_t InterruptionCount() { return static_cast<uint32_t>(interruptions); }

void ForwardInterruption(ProcessHandle process, int signal) {
    const auto* p = reinterpret_cast<const Process*>(process);
    // Not yet reaped, so the pid cannot belong to another process.
    if (p && !p->reaped && signal > 0) ::kill(p->pid, signal);
}

void RequestRestart(uint32_t code) {
    // Never restart or log off by ourselves: tell the user what the installation asks for.
    std::fprintf(stderr, "%s\n",
                 code == 0x42 ? "The installation asks you to restart the system to complete it."
                              : "The installation asks you to reboot the machine to complete it.");
}

}  // namespace platform

bool SameTextLocale(const std::string& a, const std::string& b) {
    // Whole strings, embedded NULs included (strcasecmp would stop at one).
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

namespace platform {
bool WriteProfileString(const std::string&, const std::string&, const std::string&, const std::string&) {
    return false;
}
}  // namespace platform

}  // namespace quern
