#include "setup/Genfile.h"

#include "platform/Exceptions.h"
#include "platform/Platform.h"

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
    if (temp.empty()) throw EPlatformError("Cannot find the temporary directory");
    const std::string dir = platform::CreatePrivateDirectory(temp, "QNV");
    if (dir.empty()) throw EPlatformError("Cannot create a temporary directory in " + temp);
    const std::string name = platform::CreateTempFileName(dir, "QNV");
    if (name.empty()) {
        platform::RemoveDirectory(dir);
        throw EPlatformError("Cannot create a temporary file in " + dir);
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
    const bool accepted = SameAsciiText(filepath, WantedName) && EntryList.IndexOf(AsciiLower(WantedName)) >= 0;
    filepath = accepted ? TargetName : std::string();
}

std::string TempEntryName(const std::string& fileName) { return "<Temp>" + std::string(1, platform::PathDelim) + fileName; }

bool ExtractArchiveFile(const std::string& archiveName, const std::string& wantedName,
                        const std::string& targetPath, const TShowProgressEvent& progress) {
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
    } catch (...) {
        return false;
    }
}
