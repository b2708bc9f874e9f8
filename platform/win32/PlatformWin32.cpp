// Win32 implementation of the platform layer: the ANSI calls the class
// library makes, with the same share modes, time conversions and launch record.
#include <windows.h>
#include <ntsecapi.h>
#include <shellapi.h>

// windows.h maps these names onto its ...A/...W macros; the layer's own
// functions carry the plain names and always call the ANSI entry points.
#undef CreateFile
#undef DeleteFile
#undef CreateDirectory
#undef RemoveDirectory
#undef GetFileAttributes
#undef SetFileAttributes
#undef YieldProcessor
#undef WriteProfileString

#include <cstring>
#include <vector>

#include <quern/Platform.h>
#include <quern/StringList.h>

namespace quern {

#if defined(_WIN32) && !defined(_WIN64)
// The launch record as the shipped program fills it on 32-bit Windows.
static_assert(sizeof(SHELLEXECUTEINFOA) == 60, "SHELLEXECUTEINFOA must be 60 bytes on 32-bit Windows");
#endif

namespace platform {
namespace {

HANDLE ToHandle(FileHandle h) { return reinterpret_cast<HANDLE>(h); }
FileHandle FromHandle(HANDLE h) { return reinterpret_cast<FileHandle>(h); }

DWORD ShareFlags(FileShare share) {
    switch (share) {
        case FileShare::Exclusive: return 0;
        case FileShare::DenyWrite: return FILE_SHARE_READ;
        case FileShare::DenyRead: return FILE_SHARE_WRITE;
        case FileShare::DenyNone: return FILE_SHARE_READ | FILE_SHARE_WRITE;
    }
    return 0;
}

DWORD AccessFlags(FileAccess access) {
    switch (access) {
        case FileAccess::Read: return GENERIC_READ;
        case FileAccess::Write: return GENERIC_WRITE;
        case FileAccess::ReadWrite: return GENERIC_READ | GENERIC_WRITE;
    }
    return GENERIC_READ;
}

// Closes a handle when the scope ends.
struct HandleGuard {
    HANDLE h;
    ~HandleGuard() {
        if (h && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
};

// A security descriptor whose DACL grants the current user everything and
// nobody else anything, inherited by all that is created inside and not
// widened by the parent's inheritable entries.
class OwnerOnlySecurity {
public:
    bool Build() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
        HandleGuard guard{token};
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        if (size == 0) return false;
        user_.resize(size);
        if (!GetTokenInformation(token, TokenUser, user_.data(), size, &size)) return false;
        PSID sid = reinterpret_cast<TOKEN_USER*>(user_.data())->User.Sid;

        const DWORD aclSize = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(sid);
        acl_.resize(aclSize);
        PACL acl = reinterpret_cast<PACL>(acl_.data());
        return InitializeAcl(acl, aclSize, ACL_REVISION) &&
               AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                     FILE_ALL_ACCESS, sid) &&
               InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION) &&
               SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE) &&
               SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
    }
    SECURITY_ATTRIBUTES* Attributes() {
        attributes_ = {sizeof(SECURITY_ATTRIBUTES), &descriptor_, FALSE};
        return &attributes_;
    }

private:
    std::vector<BYTE> user_;
    std::vector<BYTE> acl_;
    SECURITY_DESCRIPTOR descriptor_{};
    SECURITY_ATTRIBUTES attributes_{};
};

// Eight upper-case hex digits from the system's random source. <random> and
// printf would pull a large part of the C++ and C runtimes into the setup.
// `attempt` keeps the fallback from repeating itself when that source fails.
std::string RandomHex8(uint32_t attempt) {
    uint32_t value = 0;
    if (!RtlGenRandom(&value, sizeof value))
        value = GetTickCount() ^ (GetCurrentProcessId() << 16) ^ (attempt * 2654435761u);
    std::string hex(8, '0');
    for (int i = 7; i >= 0; --i, value >>= 4) hex[i] = "0123456789ABCDEF"[value & 15];
    return hex;
}

}  // namespace

FileHandle OpenFile(const std::string& path, FileAccess access, FileShare share) {
    return FromHandle(CreateFileA(path.c_str(), AccessFlags(access), ShareFlags(share), nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

FileHandle CreateFile(const std::string& path) {
    return FromHandle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
}

int32_t ReadFile(FileHandle file, void* buffer, int32_t count) {
    if (count <= 0) return 0;
    DWORD done = 0;
    if (!::ReadFile(ToHandle(file), buffer, static_cast<DWORD>(count), &done, nullptr)) return -1;
    return static_cast<int32_t>(done);
}

int32_t ReadFileAt(FileHandle file, int64_t offset, void* buffer, int32_t count) {
    if (count <= 0) return 0;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset));
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    DWORD done = 0;
    if (!::ReadFile(ToHandle(file), buffer, static_cast<DWORD>(count), &done, &at))
        return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
    return static_cast<int32_t>(done);
}

int32_t WriteFile(FileHandle file, const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    DWORD done = 0;
    if (!::WriteFile(ToHandle(file), buffer, static_cast<DWORD>(count), &done, nullptr)) return -1;
    return static_cast<int32_t>(done);
}

int64_t SeekFile(FileHandle file, int64_t offset, int origin) {
    const DWORD method = origin == 0 ? FILE_BEGIN : origin == 1 ? FILE_CURRENT : FILE_END;
    LARGE_INTEGER distance, position;
    distance.QuadPart = offset;
    if (!SetFilePointerEx(ToHandle(file), distance, &position, method)) return -1;
    return position.QuadPart;
}

void CloseFile(FileHandle file) {
    if (file != InvalidFile) CloseHandle(ToHandle(file));
}

bool FileExists(const std::string& path) {
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool DirectoryExists(const std::string& path) {
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::optional<uint32_t> GetFileAttributes(const std::string& path) {
    const DWORD a = GetFileAttributesA(path.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return std::nullopt;
    return static_cast<uint32_t>(a);
}

bool SetFileAttributes(const std::string& path, uint32_t attributes) {
    return SetFileAttributesA(path.c_str(), attributes) != 0;
}

bool SetFileDatePacked(FileHandle file, uint32_t packed) {
    FILETIME local, utc;
    if (!DosDateTimeToFileTime(static_cast<WORD>(packed >> 16), static_cast<WORD>(packed & 0xFFFF), &local))
        return false;
    if (!LocalFileTimeToFileTime(&local, &utc)) return false;
    return SetFileTime(ToHandle(file), nullptr, nullptr, &utc) != 0;
}

std::optional<uint32_t> GetFileDatePacked(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    FILETIME local;
    WORD date = 0, time = 0;
    // Times before 1980 cannot be packed; the conversion refuses them.
    if (!FileTimeToLocalFileTime(&data.ftLastWriteTime, &local) || !FileTimeToDosDateTime(&local, &date, &time))
        return std::nullopt;
    return (static_cast<uint32_t>(date) << 16) | time;
}

bool DeleteFile(const std::string& path) { return DeleteFileA(path.c_str()) != 0; }

bool RenameFile(const std::string& from, const std::string& to) {
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

bool CreateDirectory(const std::string& path, int* errorCode) {
    if (CreateDirectoryA(path.c_str(), nullptr)) return true;
    if (errorCode) *errorCode = static_cast<int>(GetLastError());
    return false;
}

bool RemoveDirectory(const std::string& path) { return RemoveDirectoryA(path.c_str()) != 0; }

bool CreateSymbolicLink(const std::string& target, const std::string& link, bool directory) {
    // Not in Windows XP: looked up at run time.
    using CreateLink = BOOLEAN(WINAPI*)(LPCSTR, LPCSTR, DWORD);
    const auto create = reinterpret_cast<CreateLink>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "CreateSymbolicLinkA")));
    if (!create) return false;
    const DWORD flags = (directory ? 1 : 0) | 2;  // SYMBOLIC_LINK_FLAG_DIRECTORY, ..._ALLOW_UNPRIVILEGED_CREATE
    if (create(link.c_str(), target.c_str(), flags)) return true;
    return create(link.c_str(), target.c_str(), flags & 1) != 0;  // systems that know no unprivileged flag
}

namespace {

bool Fail(PlaceError& error, PlaceFailure kind, DWORD code, std::string path) {
    error = {kind, static_cast<int>(code), std::move(path)};
    return false;
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool IsReparsePoint(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

}  // namespace

bool BeginFile(const std::string& base, const std::string& relative, bool makeDirectories, PendingFile& pending,
               PlaceError& error) {
    pending = PendingFile{};
    std::string walked = base;
    size_t start = 0;
    for (size_t end = 0; end < relative.size(); ++end) {
        if (!IsSeparator(relative[end])) continue;
        const std::string component = relative.substr(start, end - start);
        start = end + 1;
        if (component.empty() || component == ".") continue;
        walked += component;
        DWORD attributes = GetFileAttributesA(walked.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES && makeDirectories) {
            if (!CreateDirectoryA(walked.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
                return Fail(error, PlaceFailure::Directory, GetLastError(), walked);
            attributes = GetFileAttributesA(walked.c_str());
        }
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            const DWORD code = GetLastError();
            return Fail(error, PlaceFailure::File, code, walked);
        }
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            return Fail(error, PlaceFailure::Link, ERROR_CANT_ACCESS_FILE, walked);
        }
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return Fail(error, PlaceFailure::File, ERROR_DIRECTORY, walked);
        }
        walked += '\\';
    }
    pending.directoryPath = walked;
    pending.name = relative.substr(start);
    if (pending.name.empty() || pending.name == "." || pending.name == "..") {
        return Fail(error, PlaceFailure::File, ERROR_DIRECTORY, walked);
    }
    if (IsReparsePoint(walked + pending.name))
        return Fail(error, PlaceFailure::Link, ERROR_CANT_ACCESS_FILE, walked + pending.name);
    for (uint32_t attempt = 0; attempt < 100; ++attempt) {
        const std::string temporary = "qrn" + RandomHex8(attempt) + ".tmp";
        const HANDLE h = CreateFileA((walked + temporary).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            pending.file = FromHandle(h);
            pending.temporary = temporary;
            return true;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) break;
    }
    const DWORD code = GetLastError();
    return Fail(error, PlaceFailure::File, code, walked);
}

bool CommitFile(PendingFile& pending, PlaceError& error) {
    const std::string temporary = pending.directoryPath + pending.temporary;
    const std::string target = pending.directoryPath + pending.name;
    CloseHandle(ToHandle(pending.file));
    pending.file = InvalidFile;
    if (IsReparsePoint(target)) {
        AbandonFile(pending);
        return Fail(error, PlaceFailure::Link, ERROR_CANT_ACCESS_FILE, target);
    }
    if (pending.setAttributes) SetFileAttributesA(temporary.c_str(), pending.attributes);
    if (!MoveFileExA(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        const DWORD code = GetLastError();
        SetFileAttributesA(temporary.c_str(), FILE_ATTRIBUTE_NORMAL);  // a read-only file cannot be deleted
        AbandonFile(pending);
        return Fail(error, PlaceFailure::File, code, target);
    }
    pending.temporary.clear();
    AbandonFile(pending);
    return true;
}

void AbandonFile(PendingFile& pending) {
    if (pending.file != InvalidFile) CloseHandle(ToHandle(pending.file));
    pending.file = InvalidFile;
    if (!pending.temporary.empty()) DeleteFileA((pending.directoryPath + pending.temporary).c_str());
    pending.temporary.clear();
}

bool SetPendingAttributes(PendingFile& pending, uint32_t attributes) {
    pending.attributes = attributes;
    pending.setAttributes = true;
    return true;
}

// A file opened with FILE_FLAG_DELETE_ON_CLOSE keeps that flag when it is
// renamed: no unnamed files here, the caller copies.
FileHandle CreateUnnamedFile(const std::string&) { return InvalidFile; }

bool AdoptFile(PendingFile&, FileHandle) { return false; }

std::optional<uint64_t> DiskFree(int drive, const std::string&) {
    if (drive > 26) return std::nullopt;
    char root[4] = {static_cast<char>('A' + drive - 1), ':', '\\', '\0'};
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    if (!GetDiskFreeSpaceA(drive > 0 ? root : nullptr, &sectorsPerCluster, &bytesPerSector, &freeClusters,
                           &totalClusters))
        return std::nullopt;
    return static_cast<uint64_t>(sectorsPerCluster) * bytesPerSector * freeClusters;
}

int CurrentDrive() {
    char dir[MAX_PATH + 1];
    const DWORD n = GetCurrentDirectoryA(sizeof dir, dir);
    if (n < 2 || n >= sizeof dir || dir[1] != ':') return 0;  // a UNC current directory has no drive
    const char letter = static_cast<char>(dir[0] & ~0x20);
    return letter >= 'A' && letter <= 'Z' ? letter - 'A' + 1 : 0;
}

int LastErrorCode() { return static_cast<int>(GetLastError()); }

std::string ErrorText(int code) {
    char* text = nullptr;
    const DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = n && text ? std::string(text, n) : std::string();
    if (text) LocalFree(text);
    // The class library drops the system's trailing line end and full stop.
    while (!result.empty() && (static_cast<unsigned char>(result.back()) <= ' ' || result.back() == '.'))
        result.pop_back();
    return result;
}

std::string TempPath() {
    char path[256];
    const DWORD n = GetTempPathA(255, path);
    if (n == 0 || n > 255) return {};  // failure, or a path that does not fit
    std::string result(path, n);
    if (result.back() != '\\') result += '\\';
    return result;
}

// GetTempFileName needs a directory of at most MAX_PATH - 14 characters and
// writes past its buffer (a page fault under Wine) when given a longer one.
constexpr size_t MaxTempFileDirectory = MAX_PATH - 14;

std::string CreatePrivateDirectory(const std::string& parent, const std::string& prefix) {
    // prefix, eight hex digits and "\": the temporary files go in there.
    if (parent.size() + prefix.size() + 9 > MaxTempFileDirectory) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return {};
    }
    OwnerOnlySecurity security;
    if (!security.Build()) return {};
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string path = parent + prefix + RandomHex8(attempt);
        if (CreateDirectoryA(path.c_str(), security.Attributes())) return path + "\\";
        if (GetLastError() != ERROR_ALREADY_EXISTS) return {};
    }
    return {};
}

std::string CreateTempFileName(const std::string& directory, const std::string& prefix) {
    if (directory.size() > MaxTempFileDirectory) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return {};
    }
    char name[MAX_PATH + 1] = {};
    if (GetTempFileNameA(directory.c_str(), prefix.c_str(), 0, name) == 0) return {};
    return name;
}

std::string ModuleFileName() {
    std::vector<char> path(MAX_PATH + 1);
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) return std::string(path.data(), n);
        if (path.size() >= 32768) return {};
        path.resize(path.size() * 2);
    }
}

void YieldProcessor() { Sleep(0); }

void SleepMilliseconds(uint32_t ms) { Sleep(ms); }

bool LaunchProcess(const std::string& file, const std::string& parameters, uint16_t showMode,
                   ProcessHandle& process) {
    process = NoProcess;
    SHELLEXECUTEINFOA info;
    std::memset(&info, 0, sizeof info);
    info.cbSize = sizeof info;
    info.fMask = SEE_MASK_NOCLOSEPROCESS;  // the shell's own error dialog stays enabled
    info.hwnd = nullptr;
    info.lpVerb = "Open";
    info.lpFile = file.c_str();
    info.lpParameters = parameters.c_str();
    info.lpDirectory = "";
    info.nShow = showMode;
    if (!ShellExecuteExA(&info)) return false;
    process = reinterpret_cast<ProcessHandle>(info.hProcess);
    return true;
}

WaitResult WaitForProcess(ProcessHandle process, uint32_t milliseconds) {
    switch (WaitForSingleObject(reinterpret_cast<HANDLE>(process), milliseconds)) {
        case WAIT_OBJECT_0: return WaitResult::Ended;
        case WAIT_TIMEOUT: return WaitResult::TimedOut;
        default: return WaitResult::Failed;
    }
}

bool GetProcessExitCode(ProcessHandle process, int32_t& exitCode) {
    DWORD code = 0;
    if (!GetExitCodeProcess(reinterpret_cast<HANDLE>(process), &code)) return false;
    exitCode = static_cast<int32_t>(code);
    return true;
}

void CloseProcess(ProcessHandle process) {
    if (process != NoProcess) CloseHandle(reinterpret_cast<HANDLE>(process));
}

bool ProcessCrashed(ProcessHandle process) {
    DWORD code = 0;
    // Error-severity NTSTATUS values (0xC...) are what an unhandled exception
    // leaves; programs exit with small codes.
    return process != NoProcess && GetExitCodeProcess(reinterpret_cast<HANDLE>(process), &code) &&
           code != STILL_ACTIVE && (code & 0xC0000000u) == 0xC0000000u;
}

// A windowed program gets no console signals to pass on.
void CatchInterruptions() {}
int PendingInterruption() { return 0; }
uint32_t InterruptionCount() { return 0; }
void ForwardInterruption(ProcessHandle, int) {}

void RequestRestart(uint32_t code) {
    // Shutting down needs the shutdown privilege in the token; without it the
    // request below is refused, which is all that can be done then.
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
        TOKEN_PRIVILEGES privileges{};
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        if (LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid))
            AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
        CloseHandle(token);
    }
    // 0x43 (EW_REBOOTSYSTEM) reboots the machine. 0x42 (EW_RESTARTWINDOWS)
    // asked the 16-bit system to restart only Windows; on the NT line the
    // nearest sound equivalent is a full restart as well, since a log-off
    // would not apply what the installation changed for the system (drivers,
    // files replaced in use). The reason code marks it as a planned
    // application installation.
    const UINT flags = EWX_REBOOT;
    (void)code;
    ExitWindowsEx(flags, SHTDN_REASON_MAJOR_APPLICATION | SHTDN_REASON_MINOR_INSTALLATION | SHTDN_REASON_FLAG_PLANNED);
}

bool WriteProfileString(const std::string& section, const std::string& key, const std::string& value,
                        const std::string& fileName) {
    return WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), fileName.c_str()) != 0;
}

}  // namespace platform

bool SameTextLocale(const std::string& a, const std::string& b) {
    return CompareStringA(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()), b.data(),
                          static_cast<int>(b.size())) == CSTR_EQUAL;
}

}  // namespace quern
