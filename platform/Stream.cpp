#include <quern/Stream.h>

#include <algorithm>
#include <cstring>

#include <quern/Exceptions.h>

namespace quern {

int64_t TStream::Size() {
    const int64_t here = Seek(0, SeekOrigin::Current);
    const int64_t size = Seek(0, SeekOrigin::End);
    Seek(here, SeekOrigin::Begin);
    return size;
}

void TStream::ReadBuffer(void* buffer, int32_t count) {
    if (count != 0 && Read(buffer, count) != count) throw EReadError();
}

void TStream::WriteBuffer(const void* buffer, int32_t count) {
    if (count != 0 && Write(buffer, count) != count) throw EWriteError();
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    constexpr int32_t kChunk = 61440;
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int64_t>(count, kChunk)));
    int64_t left = count;
    while (left > 0) {
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(left, kChunk));
        source.ReadBuffer(buffer.data(), n);
        WriteBuffer(buffer.data(), n);
        left -= n;
    }
    return count;
}

TFileStream::TFileStream(const std::string& fileName, uint16_t mode) : fileName_(fileName) {
    if (mode == fmCreate) {
        handle_ = platform::CreateFile(fileName);
        if (handle_ == platform::InvalidFile) throw EFCreateError(fileName, platform::ErrorText(platform::LastErrorCode()));
        return;
    }
    platform::FileAccess access = platform::FileAccess::Read;
    if ((mode & 3) == fmOpenWrite) access = platform::FileAccess::Write;
    if ((mode & 3) == fmOpenReadWrite) access = platform::FileAccess::ReadWrite;
    platform::FileShare share = platform::FileShare::Exclusive;
    switch (mode & 0xF0) {
        case fmShareDenyWrite: share = platform::FileShare::DenyWrite; break;
        case 0x30: share = platform::FileShare::DenyRead; break;
        case fmShareDenyNone: share = platform::FileShare::DenyNone; break;
        default: break;
    }
    handle_ = platform::OpenFile(fileName, access, share);
    if (handle_ == platform::InvalidFile) throw EFOpenError(fileName);
}

TFileStream::~TFileStream() { platform::CloseFile(handle_); }

int32_t TFileStream::Read(void* buffer, int32_t count) { return platform::ReadFile(handle_, buffer, count); }

int32_t TFileStream::Write(const void* buffer, int32_t count) {
    return platform::WriteFile(handle_, buffer, count);
}

int64_t TFileStream::Seek(int64_t offset, SeekOrigin origin) {
    return platform::SeekFile(handle_, offset, static_cast<int>(origin));
}

TSafeFileStream::TSafeFileStream(const std::string& fileName) : fileName_(fileName) {
    const std::string directory = platform::ExtractFilePath(fileName);
    platform::PlaceError error;
    if (!platform::BeginFile(directory, fileName.substr(directory.size()), false, pending_, error)) Raise(error);
}

TSafeFileStream::TSafeFileStream(const std::string& base, const std::string& relative, bool makeDirectories)
    : fileName_(base + relative) {
    platform::PlaceError error;
    if (!platform::BeginFile(base, relative, makeDirectories, pending_, error)) Raise(error);
}

TSafeFileStream::~TSafeFileStream() { platform::AbandonFile(pending_); }

void TSafeFileStream::Raise(const platform::PlaceError& error) {
    switch (error.kind) {
        case platform::PlaceFailure::Link:
            throw EFCreateError(fileName_, error.path + " is a link, which is not followed");
        case platform::PlaceFailure::Directory:
            throw EInOutError("Cannot create directory " + error.path + ": " + platform::ErrorText(error.code),
                              error.code);
        default:
            throw EFCreateError(fileName_, platform::ErrorText(error.code));
    }
}

void TSafeFileStream::Commit() {
    platform::PlaceError error;
    if (!platform::CommitFile(pending_, error)) Raise(error);
}

int32_t TSafeFileStream::Read(void* buffer, int32_t count) { return platform::ReadFile(pending_.file, buffer, count); }

int32_t TSafeFileStream::Write(const void* buffer, int32_t count) {
    return platform::WriteFile(pending_.file, buffer, count);
}

int64_t TSafeFileStream::Seek(int64_t offset, SeekOrigin origin) {
    return platform::SeekFile(pending_.file, offset, static_cast<int>(origin));
}

int32_t TMemoryStream::Read(void* buffer, int32_t count) {
    const int64_t size = Size();
    if (count <= 0 || position_ >= size) return 0;
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, size - position_));
    std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
}

int32_t TMemoryStream::Write(const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    const size_t end = static_cast<size_t>(position_) + static_cast<size_t>(count);
    if (end > data_.size()) data_.resize(end);
    std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
    position_ += count;
    return count;
}

int64_t TMemoryStream::Seek(int64_t offset, SeekOrigin origin) {
    int64_t base = 0;
    if (origin == SeekOrigin::Current) base = position_;
    if (origin == SeekOrigin::End) base = Size();
    position_ = std::max<int64_t>(0, base + offset);
    return position_;
}

}  // namespace quern
