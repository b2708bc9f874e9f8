#include "archive/Quern.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#include "platform/Platform.h"

namespace {

constexpr int32_t NoSpaceLimit = std::numeric_limits<int32_t>::max();
constexpr bool HasDrives = platform::PathDelim == '\\';

bool IsRooted(const std::string& name) { return !name.empty() && name[0] == platform::PathDelim; }


bool InFileList(const TStringList& list, const std::string& name) {
    for (int i = 0; i < list.Count(); ++i)
        if (SameAsciiText(list.Strings(i), name)) return true;
    return false;
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
    if (stream.Size() - stream.Position() < ArchiveHeaderSize + FileHeaderSize) return;
    TArchiveHeader header;
    std::string compressID;
    ReadArchiveHeader(stream, header, compressID, OnRecognize);
    TFileHeader fh;
    std::string name;
    while (ReadFileHeader(stream, fh, name)) {
        auto info = std::make_unique<TArchiveFileInfo>();
        info->FileDate = fh.FileDate;
        info->FileAttr = fh.FileAttr;
        info->UncompressedSize = fh.UncompressedSize;
        info->CompressedSize = fh.CompressedSize;
        info->CompressionType = fh.CompressionType;
        info->Checksum = fh.Checksum;
        info->HeaderOffset = static_cast<int32_t>(stream.Position() - FileHeaderSize - fh.NameLength);
        info->Locked = fh.LockFlag > 0;
        list.AddObject(name, info.release());
        stream.Seek(fh.CompressedSize, SeekOrigin::Current);
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
    TArchiveHeader header;
    std::string compressID;
    ReadArchiveHeader(stream, header, compressID, OnRecognize);
    int64_t counted = 0;  // 64 bits: hostile sizes must not wrap the count
    TFileHeader fh;
    std::string name;
    while (ReadFileHeader(stream, fh, name)) {
        // Once the count has reached TotalSize only empty entries can still
        // belong to the archive; they are expanded, or an archive whose last
        // file is empty would silently lose it.
        if (counted >= header.TotalSize && fh.UncompressedSize > 0) break;
        const int64_t dataStart = stream.Position();
        const auto passOver = [&] { stream.SetPosition(dataStart + fh.CompressedSize); };

        if (fileList && !InFileList(*fileList, name)) {
            passOver();
            counted += fh.UncompressedSize;
            continue;
        }
        std::string target = IsRooted(name) ? name : targetPath_ + name;
        if (OnCheckFile) {
            OnCheckFile(target, cpExpand);
            if (target.empty()) {
                passOver();
                continue;
            }
            if (target == "*") break;
        }
        // No decoder for it: writing an empty or wrong file would be worse
        // than passing it over like an entry the handler vetoed.
        if (!CanExpandType(fh.CompressionType)) {
            passOver();
            continue;
        }
        if (FreeSpaceFor(target) < fh.UncompressedSize) throw EInsufficientDiskSpace(target);
        if (MakeDirectories) ForceDirectoryPath(platform::ExtractFilePath(target));

        std::unique_ptr<TFileStream> output;
        try {
            output = std::make_unique<TFileStream>(target, fmCreate);
        } catch (const EFCreateError&) {
            if (ExceptionOnFileError) throw;
            passOver();
            continue;
        }
        try {
            ExpandEntry(*output, stream, fh.CompressedSize, fh.UncompressedSize, fh.Checksum, fh.CompressionType,
                        compressID, fh.LockFlag);
        } catch (const EInvalidKey&) {
            output.reset();
            platform::DeleteFile(target);
            throw;
        } catch (...) {
            output.reset();
            platform::SetFileAttributes(target, fh.FileAttr);
            throw;
        }
        platform::SetFileDatePacked(output->Handle(), fh.FileDate);
        written.push_back(target);
        output.reset();
        platform::SetFileAttributes(target, fh.FileAttr);
        counted += fh.UncompressedSize;
    }
    if (fileList) {
        fileList->Clear();
        for (auto& path : written) fileList->Add(std::move(path));
    }
}

void TQuern::ExpandEntry(TStream& dest, TStream& source, int32_t Sourcesize, int32_t Destsize, uint32_t Checksum,
                         uint8_t CompressionType, const std::string& CompressID, int32_t LockFlag) {
    if (CompressionType != ctNone && LockFlag > 0 && Key == 0) throw EInvalidKey();
    const int64_t dataStart = source.Position();
    uint32_t computed = 0;
    switch (CompressionType) {
        case ctNone:
            if (Sourcesize > 0) dest.CopyFrom(source, Sourcesize);
            break;
        case ctRle:
        case ctLzh:
        case ctLh5:
            try {
                RunCodec(dest, source, Sourcesize, Destsize, CompressionType, computed, true, LockFlag == 2);
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
    if (CompressionType == ctNone || computed == Checksum) return;
    if (LockFlag > 0) {
        if (computed + static_cast<uint32_t>(Key) == Checksum) return;
        throw EInvalidKey();
    }
    throw EBadChecksum();
}

int32_t TQuern::RunCodec(TStream& dest, TStream& source, int32_t Sourcesize, int32_t Destsize, uint8_t method,
                         uint32_t& checksum, bool Expanding, bool Scrambled) {
    const CodecSettings settings{Key, CompressReserve, OnShowProgress};
    return ::RunCodec(dest, source, Sourcesize, Destsize, method, checksum, Expanding, Scrambled, settings);
}

int32_t TQuern::FreeSpaceFor(const std::string& targetPath) {
    if (!CheckSpaceBeforeExpand) return NoSpaceLimit;
    int drive = platform::CurrentDrive();
    if constexpr (HasDrives) {
        const std::string upper = AsciiUpper(targetPath);
        if (upper.size() > 1 && upper[1] == ':') drive = static_cast<unsigned char>(upper[0]) - 64;
    }
    const auto free = platform::DiskFree(drive, targetPath);
    if (!free) return NoSpaceLimit;
    int64_t figure = static_cast<int64_t>(std::min<uint64_t>(*free, NoSpaceLimit));
    if (figure < NoSpaceLimit && platform::FileExists(targetPath)) {
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
        if (dir.empty() || (HasDrives && dir.size() < 3) || IsDirectory(dir)) break;
        missing.push_back(dir);
        dir = platform::ExtractFilePath(dir);
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        int error = 0;
        if (!platform::CreateDirectory(*it, &error) && !IsDirectory(*it))
            throw EInOutError("Cannot create directory " + *it + ": " + platform::ErrorText(error), error);
    }
}
