#include "setup/Genfile.h"

#include <quern/Exceptions.h>
#include <quern/Platform.h>

namespace quern {

ECorruptData::ECorruptData() : Exception("Error reading data. Possible corrupt file.") {}

void CheckInterruption() {
    if (const int signal = platform::PendingInterruption()) throw EInterrupted(signal);
}

std::string AddBackslash(const std::string& path) {
    if (!path.empty() && path.back() == platform::PathDelim) return path;
    return path + platform::PathDelim;
}

std::string ChangeFileExt(const std::string& path, const std::string& extension) {
    for (size_t i = path.size(); i > 0; --i) {
        if (platform::IsDirectoryMark(path[i - 1])) break;
        if (path[i - 1] == '.') return path.substr(0, i - 1) + extension;
    }
    return path + extension;
}

std::string NewTempFileName() {
    const std::string temp = platform::TempPath();
    if (temp.empty()) throw ETempDirectoryError("Cannot find the temporary directory");
    const std::string dir = platform::CreatePrivateDirectory(temp, "QNV");
    if (dir.empty())
        throw ETempDirectoryError("Cannot create a temporary directory in " + temp + ": " +
                                  platform::ErrorText(platform::LastErrorCode()));
    const std::string name = platform::CreateTempFileName(dir, "QNV");
    if (name.empty()) {
        const int error = platform::LastErrorCode();
        platform::RemoveDirectory(dir);
        throw ETempDirectoryError("Cannot create a temporary file in " + dir + ": " + platform::ErrorText(error));
    }
    return name;
}

void DeleteTempFileAndDirectory(const std::string& path) {
    platform::DeleteFile(path);
    std::string dir = platform::ExtractFilePath(path);
    if (dir.size() > 1 && dir.back() == platform::PathDelim) dir.pop_back();
    if (!dir.empty()) platform::RemoveDirectory(dir);
}

void TDummy::CheckFileName(std::string& filepath, TCProcessMode) {
    // The listing holds names as stored, with "\\" between components.
    const bool accepted = SameAsciiText(filepath, WantedName) &&
                          EntryList.IndexOf(AsciiLower(platform::ToStoredSeparators(WantedName))) >= 0;
    filepath = accepted ? TargetName : std::string();
}

std::string TempEntryName(const std::string& fileName) { return "<Temp>" + std::string(1, platform::PathDelim) + fileName; }

bool IsSafeLanguageKey(const std::string& key) {
    return !key.empty() && key.find_first_of("\\/:") == std::string::npos && key.find("..") == std::string::npos;
}

bool ExtractArchiveFile(const std::string& archiveName, const std::string& wantedName,
                        const std::string& targetPath, const TShowProgressEvent& progress,
                        ExtractFailure* failure) {
    try {
        TQuern quern(nullptr);
        TDummy sink;
        try {
            quern.ListArchiveFile(archiveName, sink.EntryList);
            if (progress) quern.OnShowProgress = progress;
            quern.OnCheckFile = [&sink](std::string& filepath, TCProcessMode mode) {
                sink.CheckFileName(filepath, mode);
            };
            sink.WantedName = wantedName;
            sink.TargetName = targetPath;
            quern.ExpandArchiveFile(archiveName, nullptr);
        } catch (...) {
            TQuern::FreeListing(&sink.EntryList);
            throw;
        }
        TQuern::FreeListing(&sink.EntryList);
        return true;
    } catch (const EWriteError& e) {
        const int error = platform::LastErrorCode();
        if (failure) *failure = {true, e.Message + " (" + platform::ErrorText(error) + ")"};
    } catch (const EInsufficientDiskSpace& e) {
        if (failure) *failure = {true, e.Message};
    } catch (const EInOutError& e) {
        if (failure) *failure = {true, e.Message};
    } catch (const std::exception& e) {
        if (failure) *failure = {false, e.what()};
    } catch (...) {
        if (failure) *failure = {false, "unknown failure"};
    }
    return false;
}

}  // namespace quern
