// What the system needs of its operating system. One declaration here, one
// implementation in platform/win32 (the real Win32 API, ANSI calls) and one in
// platform/posix. Nothing outside platform/ includes an OS header.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quern {

namespace platform {

// The character that separates path components: "\" on Windows, "/" on POSIX.
// Archives always store "\"; see ToNativeSeparators.
#ifdef _WIN32
constexpr char PathDelim = '\\';
#else
constexpr char PathDelim = '/';
#endif

// A stored archive name with its "\" separators made native (no change on Windows).
std::string ToNativeSeparators(std::string name);
// The inverse, for writers: native separators become "\".
std::string ToStoredSeparators(std::string name);
// The directory part of a path: up to and including its last delimiter (or,
// on Windows, a drive's ":"); "" when there is none.
std::string ExtractFilePath(const std::string& path);
// True for a character that ends a path's directory part ("\" and ":" on
// Windows, "/" on POSIX).
inline bool IsDirectoryMark(char c) {
#ifdef _WIN32
    return c == '\\' || c == ':';
#else
    return c == PathDelim;
#endif
}
// True for this platform's path component separator.
inline bool IsPathDelim(char c) { return c == PathDelim; }

// ---- Files -----------------------------------------------------------------

using FileHandle = intptr_t;
constexpr FileHandle InvalidFile = -1;

enum class FileAccess { Read, Write, ReadWrite };
enum class FileShare { Exclusive, DenyWrite, DenyRead, DenyNone };

// Opens an existing file. InvalidFile on failure.
FileHandle OpenFile(const std::string& path, FileAccess access, FileShare share);
// Creates or truncates a file for reading and writing, without sharing.
FileHandle CreateFile(const std::string& path);
// Bytes read: 0 at the end, -1 on failure.
int32_t ReadFile(FileHandle file, void* buffer, int32_t count);
// ReadFile at `offset`, for several threads reading one file at once, each at
// its own place. The file's position is not used; it is left as it was on
// POSIX and is moved past the bytes read on Windows.
int32_t ReadFileAt(FileHandle file, int64_t offset, void* buffer, int32_t count);
// Bytes written, -1 on failure.
int32_t WriteFile(FileHandle file, const void* buffer, int32_t count);
// origin: 0 begin, 1 current, 2 end. New position, -1 on failure.
int64_t SeekFile(FileHandle file, int64_t offset, int origin);
void CloseFile(FileHandle file);

bool FileExists(const std::string& path);  // false for directories
bool DirectoryExists(const std::string& path);
// Attribute bits in the Windows layout (0x01 read-only, 0x10 directory, 0x20 archive).
// On POSIX: 0x10 for directories, 0x01 when the owner may not write, else 0x20.
constexpr uint32_t faReadOnly = 0x01;
constexpr uint32_t faHidden = 0x02;
constexpr uint32_t faSysFile = 0x04;
constexpr uint32_t faDirectory = 0x10;
constexpr uint32_t faArchive = 0x20;
std::optional<uint32_t> GetFileAttributes(const std::string& path);
bool SetFileAttributes(const std::string& path, uint32_t attributes);

// Packed date and time: date in the high 16 bits (year-1980 << 9 | month << 5 | day),
// time in the low 16 bits (hour << 11 | minute << 5 | second / 2), local time.
bool SetFileDatePacked(FileHandle file, uint32_t packed);
std::optional<uint32_t> GetFileDatePacked(const std::string& path);

bool DeleteFile(const std::string& path);
// Renames a file, replacing an existing file of the new name (Windows:
// MoveFileEx with MOVEFILE_REPLACE_EXISTING). false on failure.
bool RenameFile(const std::string& from, const std::string& to);
// Creates one directory; false with the system's error code on failure.
bool CreateDirectory(const std::string& path, int* errorCode = nullptr);
bool RemoveDirectory(const std::string& path);
// Makes `link` a symbolic link to `target` (a directory when `directory`).
// Windows: CreateSymbolicLink where the system has it; false where it has
// not or refuses (no privilege). For tests of what a link in the way does.
bool CreateSymbolicLink(const std::string& target, const std::string& link, bool directory);

// ---- Placing files safely -------------------------------------------------------

// A file written under a temporary name in its target's directory, until
// CommitFile renames it over the target or AbandonFile deletes it: the
// target is either left as it was or replaced whole, never partly written.
struct PendingFile {
    FileHandle file = InvalidFile;
    intptr_t directory = -1;  // POSIX: a descriptor of the target's directory
    std::string directoryPath;  // the target's directory, "" or ending in a separator
    std::string temporary;      // the temporary file's name in that directory
    std::string name;           // the target's name in that directory
    uint32_t attributes = 0;    // Windows: set on the file before it is put in place
    bool setAttributes = false;
};
// Why a file could not be placed.
enum class PlaceFailure {
    None,
    File,       // the system refused the temporary file, a directory on the way or the rename (code)
    Directory,  // a missing directory could not be made (code)
    Link,       // a symbolic link or other reparse point is on the way
};
struct PlaceError {
    PlaceFailure kind = PlaceFailure::None;
    int code = 0;      // the system's error code, for File and Directory
    std::string path;  // the directory or link concerned
};
// Starts the file `relative` below `base` ("" for the current directory,
// else ending in a separator; trusted, links in it are followed as usual).
// No component of `relative` that is a symbolic link, junction or other
// reparse point is followed or replaced, whoever places it there meanwhile
// (POSIX: each directory is opened with O_NOFOLLOW below the one before;
// Windows: each is checked before the next, which leaves a window);
// missing directories are made when makeDirectories. `relative` uses native
// separators ("\" or "/" on Windows).
bool BeginFile(const std::string& base, const std::string& relative, bool makeDirectories, PendingFile& pending,
               PlaceError& error);
// Closes the file and renames it over the target, unless the target has
// become a link meanwhile. On failure the temporary file is gone too.
bool CommitFile(PendingFile& pending, PlaceError& error);
// Closes and deletes the temporary file; the target stays as it was.
void AbandonFile(PendingFile& pending);
// Attribute bits (faReadOnly ...) for the file once it is in place.
bool SetPendingAttributes(PendingFile& pending, uint32_t attributes);

// A new empty file in `directory` ("" for the current directory, else ending
// in a separator) that has no name, so that nothing else can open it and it
// is gone with its last handle however the program ends, until AdoptFile
// gives it one. InvalidFile where the platform or the file system has no such
// files (Windows).
FileHandle CreateUnnamedFile(const std::string& directory);
// Makes `file`, an unnamed file that holds everything the pending file is to
// hold, the pending file in place of what was written to it, so that a file
// written elsewhere is put in place without copying it; CommitFile and
// AbandonFile treat it as the pending file. The caller keeps its handle, which
// shares the file and its position. false, the pending file as it was, where
// that cannot be done (another file system, Windows).
bool AdoptFile(PendingFile& pending, FileHandle file);

// Free bytes of a drive (1 = A:, 2 = B:, ...). On POSIX the drive number is
// ignored and the file system holding `path` (or the current directory) is asked.
std::optional<uint64_t> DiskFree(int drive, const std::string& path);
// The current drive's number (1 = A:); 0 on POSIX, which has no drives.
int CurrentDrive();

// The last operating system error code, and its text.
int LastErrorCode();
std::string ErrorText(int code);

// ---- Temporary files ---------------------------------------------------------

// The platform's temporary directory with a trailing separator (GetTempPath;
// POSIX: $TMPDIR, else /tmp). Empty on failure.
std::string TempPath();
// Creates a fresh directory inside `parent` that only the current user can
// write to, and returns its path with a trailing separator. Empty on failure.
std::string CreatePrivateDirectory(const std::string& parent, const std::string& prefix);
// GetTempFileName with unique number 0: creates a new empty uniquely named file
// in `directory` whose name starts with `prefix`, and returns its full path.
// Empty on failure.
std::string CreateTempFileName(const std::string& directory, const std::string& prefix);

// ---- Profile files ---------------------------------------------------------------

// Windows: WritePrivateProfileString. Returns false when the platform refuses
// the write. Not available on POSIX (returns false); config/ has its own writer.
bool WriteProfileString(const std::string& section, const std::string& key, const std::string& value,
                        const std::string& fileName);

// ---- Processes -----------------------------------------------------------------

// Full path of the running program.
std::string ModuleFileName();
// Sleep(0): give up the rest of the time slice.
void YieldProcessor();
void SleepMilliseconds(uint32_t ms);

using ProcessHandle = intptr_t;
constexpr ProcessHandle NoProcess = 0;

// Starts `file` with `parameters` as its whole parameter string. Windows:
// ShellExecuteEx with the verb "Open" and SEE_MASK_NOCLOSEPROCESS; POSIX: the
// file is started directly (made executable first when it is not) with the
// parameter string as its single argument. Returns false when the launch
// fails; `process` may be NoProcess even on success (the shell made no process).
bool LaunchProcess(const std::string& file, const std::string& parameters, uint16_t showMode,
                   ProcessHandle& process);
enum class WaitResult { Ended, TimedOut, Failed };
WaitResult WaitForProcess(ProcessHandle process, uint32_t milliseconds);
bool GetProcessExitCode(ProcessHandle process, int32_t& exitCode);
void CloseProcess(ProcessHandle process);
// True when the ended process was ended from outside rather than by itself:
// killed by a signal (POSIX), or by an unhandled exception (Windows, an
// NTSTATUS error code as its exit code).
bool ProcessCrashed(ProcessHandle process);

// ---- Interruption ---------------------------------------------------------------

// POSIX: from now on SIGINT, SIGTERM and SIGHUP only record their number (the
// handler does nothing else), so the program can pass them on to its child,
// clean up and end with 128 + the number. Windows: nothing to catch.
void CatchInterruptions();
// The last such signal's number, 0 while none has arrived.
int PendingInterruption();
// How many have arrived so far.
uint32_t InterruptionCount();
// Passes the signal on to a running child (POSIX); no effect on Windows.
void ForwardInterruption(ProcessHandle process, int signal);

// The restart request with EW_RESTARTWINDOWS (0x42) or EW_REBOOTSYSTEM (0x43).
// Windows: a real request of the system; POSIX: the user is told, nothing restarts.
void RequestRestart(uint32_t code);

}  // namespace platform

}  // namespace quern
