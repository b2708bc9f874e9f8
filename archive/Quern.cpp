#include <quern/Quern.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#include <quern/Platform.h>

namespace quern {

namespace {

constexpr int32_t NoSpaceLimit = std::numeric_limits<int32_t>::max();
constexpr bool HasDrives = platform::PathDelim == '\\';

// "X:", "\\server" or "\\server\share": the part of a Windows path that is
// never created.
bool IsDriveOrShare(const std::string& dir) {
    if (dir.size() == 2 && dir[1] == ':') return true;
    if (dir.size() < 2 || dir[0] != '\\' || dir[1] != '\\') return false;
    return std::count(dir.begin() + 2, dir.end(), '\\') <= 1;
}

bool IsRooted(const std::string& name) { return !name.empty() && name[0] == platform::PathDelim; }
// Rooted, or on a drive: a path that does not continue the current directory.
bool IsAbsolute(const std::string& path) { return IsRooted(path) || (HasDrives && path.size() > 1 && path[1] == ':'); }


bool InFileList(const TStringList& list, const std::string& name) {
    for (int i = 0; i < list.Count(); ++i)
        if (SameAsciiText(list.Strings(i), name)) return true;
    return false;
}

// Copies a stored entry's bytes, returning their byte sum.
uint32_t CopySummed(TStream& dest, TStream& source, int32_t count) {
    uint8_t buffer[61440];
    uint32_t sum = 0;
    for (int32_t left = count; left > 0;) {
        const int32_t n = std::min<int32_t>(left, sizeof buffer);
        source.ReadBuffer(buffer, n);
        for (int32_t i = 0; i < n; ++i) sum += buffer[i];
        dest.WriteBuffer(buffer, n);
        left -= n;
    }
    return sum;
}

bool IsDirectory(const std::string& path) {
    const auto attributes = platform::GetFileAttributes(path);
    return attributes && (*attributes & platform::faDirectory) != 0;
}

}  // namespace

void TQuern::SetTargetPath(const std::string& path) {
    targetPath_ = path;
    if (!targetPath_.empty() && targetPath_.back() != platform::PathDelim) targetPath_ += platform::PathDelim;
}

bool TQuern::CanExpandType(uint8_t type) const {
    return type == ctNone || type == ctRle || type == ctLzh || type == ctLh5 || (type == ctCustom && OnExpand);
}

void TQuern::ListArchiveFile(const std::string& fileName, TStringList& list) {
    TFileStream stream(fileName, fmOpenRead | fmShareExclusive);
    ListArchiveStream(stream, list);
}

void TQuern::ListArchiveStream(TStream& stream, TStringList& list) {
    TArchiveWalk walk(stream, OnRecognize);
    while (walk.Next()) {
        auto info = std::make_unique<TArchiveFileInfo>();
        info->FileDate = walk.Entry.FileDate;
        info->FileAttr = walk.Entry.FileAttr;
        info->UncompressedSize = walk.Entry.UncompressedSize;
        info->CompressedSize = walk.Entry.CompressedSize;
        info->CompressionType = walk.Entry.CompressionType;
        info->Checksum = walk.Entry.Checksum;
        info->HeaderOffset = static_cast<int32_t>(walk.HeaderOffset);
        info->Locked = walk.Entry.LockFlag > 0;
        list.AddObject(walk.Name, info.release());
    }
}

void TQuern::FreeListing(TStringList* list) {
    if (!list) return;
    for (int i = 0; i < list->Count(); ++i) delete list->Objects(i);
    list->Clear();
}

void TQuern::ExpandArchiveFile(const std::string& fileName, TStringList* fileList) {
    TFileStream stream(fileName, fmOpenRead | fmShareExclusive);
    ExpandArchiveStream(stream, fileList);
}

void TQuern::ExpandArchiveStream(TStream& stream, TStringList* fileList) {
    std::vector<std::string> written;
    TArchiveWalk walk(stream, OnRecognize);
    while (walk.Next()) {
        const TFileHeader& fh = walk.Entry;
        if (fileList && !InFileList(*fileList, walk.Name)) continue;
        // Stored names separate components with "\"; the target path is
        // the one place where they become native.
        const std::string name = platform::ToNativeSeparators(walk.Name);
        std::string target = IsRooted(name) ? name : targetPath_ + name;
        if (OnCheckFile) {
            OnCheckFile(target, cpExpand);
            if (target.empty()) continue;
            if (target == "*") break;
        }
        // No decoder for it: writing an empty or wrong file would be worse
        // than passing it over like an entry the handler vetoed.
        if (!CanExpandType(fh.CompressionType)) continue;
        // The new file is written beside an existing one, which goes only
        // once the new one is complete: it needs all its room.
        if (FreeSpace(target, false) < fh.UncompressedSize) throw EInsufficientDiskSpace(target);

        // Only what lies below TargetPath came from the archive: no link
        // there is followed. A target the handler put elsewhere is trusted
        // up to its own directory.
        std::string base = targetPath_;
        if (targetPath_.empty() ? IsAbsolute(target) : target.compare(0, targetPath_.size(), targetPath_) != 0)
            base = platform::ExtractFilePath(target);
        if (MakeDirectories) ForceDirectoryPath(base);
        std::unique_ptr<TSafeFileStream> output;
        try {
            output = std::make_unique<TSafeFileStream>(base, target.substr(base.size()), MakeDirectories);
        } catch (const EFCreateError&) {
            if (ExceptionOnFileError) throw;
            continue;
        }
        // The entry is written beside its target and put in place only once
        // it decoded to the size and checksum its header gives: a failure
        // leaves no partial file and an existing file untouched.
        ExpandWalkEntry(*output, stream, walk);
        platform::SetFileDatePacked(output->Handle(), fh.FileDate);
        output->SetAttributes(fh.FileAttr);
        output->Commit();
        written.push_back(target);
    }
    if (fileList) {
        fileList->Clear();
        for (auto& path : written) fileList->Add(std::move(path));
    }
}

void TQuern::ExpandEntry(TStream& dest, TStream& source, int32_t Sourcesize, int32_t Destsize, uint32_t Checksum,
                         uint8_t CompressionType, const std::string& CompressID, int32_t LockFlag) {
    // Stored entries of older archives carry checksum 0 and no key: they
    // still extract as they are. A stored entry with a checksum is checked
    // and, when locked, needs its key like any other.
    const bool checked = CompressionType != ctNone || Checksum != 0;
    if (checked && LockFlag > 0 && Key == 0) throw EInvalidKey();
    const int64_t dataStart = source.Position();
    const int64_t destStart = dest.Position();
    uint32_t computed = 0;
    switch (CompressionType) {
        case ctNone:
            computed = CopySummed(dest, source, Sourcesize);
            break;
        case ctRle:
        case ctLzh:
        case ctLh5:
            try {
                RunExpansion(dest, source, Sourcesize, Destsize, CompressionType, computed, LockFlag == 2,
                             CodecSettings{Key, CompressReserve, OnShowProgress});
            } catch (const ELZHBadDecodeTable&) {
                // Descrambled with the wrong key, LH5 data shows as a bad table.
                if (LockFlag > 0) throw EInvalidKey();
                throw;
            } catch (const EUnexpectedEndOfData&) {
                // ... and LZH or LH5 data may run past its span.
                if (LockFlag > 0) throw EInvalidKey();
                throw;
            }
            break;
        case ctCustom:
            if (OnExpand) {
                int32_t checksum = 0;
                OnExpand(dest, source, Sourcesize, Destsize, CompressID, checksum);
                computed = static_cast<uint32_t>(checksum);
            }
            break;
        default:
            break;
    }
    // A codec stops early on damaged or cancelled input, a handler may read
    // the wrong amount: the walk only stays in step from the span's end.
    source.SetPosition(dataStart + std::max<int32_t>(Sourcesize, 0));
    // Whatever the sums say, an entry of the built-in methods that decoded to
    // another size than its header gives is not the file that was stored.
    if (CompressionType != ctCustom && dest.Position() - destStart != Destsize) {
        if (LockFlag > 0 && checked) throw EInvalidKey();
        throw EBadChecksum();
    }
    if (!checked || computed == Checksum) return;
    if (LockFlag > 0) {
        if (computed + static_cast<uint32_t>(Key) == Checksum) return;
        throw EInvalidKey();
    }
    throw EBadChecksum();
}

int32_t TQuern::FreeSpaceFor(const std::string& targetPath) { return FreeSpace(targetPath, true); }

int32_t TQuern::FreeSpace(const std::string& targetPath, bool creditExisting) {
    if (!CheckSpaceBeforeExpand) return NoSpaceLimit;
    int drive = platform::CurrentDrive();
    if constexpr (HasDrives) {
        const std::string upper = AsciiUpper(targetPath);
        if (upper.size() > 1 && upper[1] == ':') drive = static_cast<unsigned char>(upper[0]) - 64;
    }
    const auto free = platform::DiskFree(drive, targetPath);
    if (!free) return NoSpaceLimit;
    int64_t figure = static_cast<int64_t>(std::min<uint64_t>(*free, NoSpaceLimit));
    if (creditExisting && figure < NoSpaceLimit && platform::FileExists(targetPath)) {
        TFileStream existing(targetPath, fmOpenRead | fmShareDenyNone);
        figure += existing.Size();
    }
    return static_cast<int32_t>(std::min<int64_t>(figure, NoSpaceLimit));
}

void TQuern::ForceDirectoryPath(const std::string& path) {
    // Walk up to the first directory that exists, then create downwards;
    // iterative, since a stored name may hold thousands of components.
    std::vector<std::string> missing;
    std::string dir = path;
    for (;;) {
        while (!dir.empty() && dir.back() == platform::PathDelim) dir.pop_back();
        if (dir.empty() || (HasDrives && IsDriveOrShare(dir)) || IsDirectory(dir)) break;
        missing.push_back(dir);
        dir = platform::ExtractFilePath(dir);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        int error = 0;
        if (!platform::CreateDirectory(*it, &error) && !IsDirectory(*it))
            throw EInOutError("Cannot create directory " + *it + ": " + platform::ErrorText(error), error);
    }
}

}  // namespace quern
