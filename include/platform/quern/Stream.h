// Seekable byte streams of the class library: the base TStream, a file stream
// over the platform's file handles and a memory stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <quern/Platform.h>

namespace quern {

enum class SeekOrigin { Begin, Current, End };

class TStream {
public:
    virtual ~TStream() = default;
    // Plain read: bytes read, 0 at the end of the stream, -1 when the platform read fails.
    virtual int32_t Read(void* buffer, int32_t count) = 0;
    // Plain write: bytes written (possibly fewer), -1 on failure.
    virtual int32_t Write(const void* buffer, int32_t count) = 0;
    virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;

    int64_t Position() { return Seek(0, SeekOrigin::Current); }
    void SetPosition(int64_t position) { Seek(position, SeekOrigin::Begin); }
    virtual int64_t Size();

    // Raise EReadError / EWriteError unless the whole count moved.
    void ReadBuffer(void* buffer, int32_t count);
    void WriteBuffer(const void* buffer, int32_t count);
    // Copies count bytes from source (count 0: all of source from its start).
    int64_t CopyFrom(TStream& source, int64_t count);
};

// File stream open modes: an access mode or'ed with a share mode, or fmCreate.
constexpr uint16_t fmOpenRead = 0x0000;
constexpr uint16_t fmOpenWrite = 0x0001;
constexpr uint16_t fmOpenReadWrite = 0x0002;
constexpr uint16_t fmShareExclusive = 0x0010;
constexpr uint16_t fmShareDenyWrite = 0x0020;
constexpr uint16_t fmShareDenyNone = 0x0040;
constexpr uint16_t fmCreate = 0xFFFF;  // create or truncate, read-write, exclusive

class TFileStream : public TStream {
public:
    // Raises EFCreateError ("Cannot create file %s") or EFOpenError ("Cannot open file %s").
    TFileStream(const std::string& fileName, uint16_t mode);
    // Owns an open handle (not InvalidFile) from now on.
    TFileStream(platform::FileHandle handle, const std::string& fileName) : fileName_(fileName), handle_(handle) {}
    ~TFileStream() override;
    TFileStream(const TFileStream&) = delete;
    TFileStream& operator=(const TFileStream&) = delete;

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;

    platform::FileHandle Handle() const { return handle_; }
    const std::string& FileName() const { return fileName_; }

private:
    std::string fileName_;
    platform::FileHandle handle_;
};

// A file written under a temporary name in its target's directory and put in
// place by Commit(): destroyed uncommitted (after a failure), it deletes the
// temporary file, so no partial file is left and an existing target stays as
// it was. The one way the system replaces a file it writes.
class TSafeFileStream : public TStream {
public:
    // The target's directory is trusted: links in it are followed as usual.
    explicit TSafeFileStream(const std::string& fileName);
    // Only `base` is trusted ("" the current directory, else ending in a
    // separator): no symbolic link or reparse point below it is followed, and
    // missing directories are made when makeDirectories. Raises EFCreateError
    // with the reason, or EInOutError for a directory that cannot be made.
    TSafeFileStream(const std::string& base, const std::string& relative, bool makeDirectories);
    ~TSafeFileStream() override;
    TSafeFileStream(const TSafeFileStream&) = delete;
    TSafeFileStream& operator=(const TSafeFileStream&) = delete;

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;

    platform::FileHandle Handle() const { return pending_.file; }
    const std::string& FileName() const { return fileName_; }
    // Attribute bits (faReadOnly ...) the file gets before it is put in place.
    void SetAttributes(uint32_t attributes) { platform::SetPendingAttributes(pending_, attributes); }
    // Puts the file in place; EFCreateError with the reason on failure.
    void Commit();
    // Takes `file` (from platform::CreateUnnamedFile, written in full and
    // still the caller's) as this file's content in place of what was written
    // so far; false, nothing changed, where the platform cannot.
    bool Adopt(platform::FileHandle file) { return platform::AdoptFile(pending_, file); }

private:
    [[noreturn]] void Raise(const platform::PlaceError& error);
    std::string fileName_;
    platform::PendingFile pending_;
};

class TMemoryStream : public TStream {
public:
    TMemoryStream() = default;
    explicit TMemoryStream(std::vector<uint8_t> bytes) : data_(std::move(bytes)) {}

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() override { return static_cast<int64_t>(data_.size()); }

    const std::vector<uint8_t>& Bytes() const { return data_; }
    std::vector<uint8_t>& Bytes() { return data_; }

private:
    std::vector<uint8_t> data_;
    int64_t position_ = 0;
};

}  // namespace quern
