// Temporary names, the path helper and (with the archive component) the
// extraction of single files from the temporary archive.
#pragma once

#include <cstdint>
#include <string>

#include <quern/Quern.h>
#include <quern/Exceptions.h>
#include <quern/StringList.h>

namespace quern {

// The failures the setup tells apart by its exit status (see SetupUnit.h).
// The appended data is damaged: "Error reading data. Possible corrupt file."
class ECorruptData : public Exception {
public:
    ECorruptData();
};
// The temporary directory is missing, unwritable, full, or its paths too long.
class ETempDirectoryError : public EPlatformError {
    using EPlatformError::EPlatformError;
};
// A signal (SIGINT, SIGTERM, SIGHUP) asked the setup to stop.
class EInterrupted : public Exception {
public:
    explicit EInterrupted(int signal) : Exception("Interrupted"), Signal(signal) {}
    int Signal;
};
// Raises EInterrupted when a signal has arrived; called between the steps.
void CheckInterruption();

// The path with one trailing path delimiter ensured; "" gives the delimiter alone.
std::string AddBackslash(const std::string& path);

// ChangeFileExt: the text from the last "." after the last delimiter is
// replaced by `extension`; without such a "." the extension is appended.
std::string ChangeFileExt(const std::string& path, const std::string& extension);

// A new, empty, uniquely named "QNV" file in a fresh directory of its own
// inside the platform's temporary directory, writable only by this user (a
// shared temporary directory would let others plant or swap files beside the
// wizard we run). Raises ETempDirectoryError when the platform's services fail.
std::string NewTempFileName();

// Deletes the file, then its directory when that is now empty. Failures are ignored.
void DeleteTempFileAndDirectory(const std::string& path);

// The sink of one extraction: lets exactly the wanted entry through and
// redirects it to the target path.
class TDummy : public TObject {
public:
    std::string WantedName;  // e.g. "<Temp>\install.ini", as the caller names it
    std::string TargetName;  // the full output path for that entry
    TStringList EntryList;   // the archive's listing

    // The component's OnCheckFile: accepted entries go to TargetName, all
    // others are skipped (empty path).
    void CheckFileName(std::string& filepath, TCProcessMode mode);
};

// The name under which the wizard's files are asked for: "<Temp>" and the
// path delimiter (archive names use "\", read as "/" on POSIX) and the file name.
std::string TempEntryName(const std::string& fileName);

// Why an extraction failed: the data, or writing the target (a full or
// unwritable directory), with the failure's message in `Message`.
struct ExtractFailure {
    bool WriteFailed = false;
    std::string Message;
};

// Expands the entry `wantedName` of the archive file to `targetPath` with a
// fresh component. True when no step raised, also when nothing matched;
// false otherwise, with the reason in `failure` when given. Never raises.
bool ExtractArchiveFile(const std::string& archiveName, const std::string& wantedName,
                        const std::string& targetPath, const TShowProgressEvent& progress,
                        ExtractFailure* failure = nullptr);

// A language key of install.ini names a file in the temporary directory
// only: empty keys and keys holding "\", "/", ":" or ".." are refused.
bool IsSafeLanguageKey(const std::string& key);

}  // namespace quern
