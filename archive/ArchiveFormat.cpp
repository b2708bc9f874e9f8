#include <quern/ArchiveFormat.h>

#include <cstring>

#include <quern/Platform.h>

namespace quern {

namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Named offsets of the on-disk layout (see the header's tables).
enum ArchiveHeaderOffset { ahSignature = 0, ahCompressID = 5, ahTotalSize = 8, ahArchiveType = 12, ahReserved = 13, ahKeyFlag = 17 };
enum FileHeaderOffset {
    fhNameLength = 0,
    fhFileDate = 2,
    fhFileAttr = 6,
    fhUncompressedSize = 8,
    fhCompressedSize = 12,
    fhCompressionType = 16,
    fhChecksum = 17,
    fhLockFlag = 21
};

static_assert(ahKeyFlag + 4 == ArchiveHeaderSize, "archive header is 21 bytes on disk");
static_assert(fhLockFlag + 4 == FileHeaderSize, "file header is 25 bytes on disk");

int64_t BytesLeft(TStream& stream) { return stream.Size() - stream.Position(); }

}  // namespace

void InitArchiveHeader(TArchiveHeader& header, const std::string& compressID, int32_t totalSize,
                       uint8_t archiveType, int32_t key) {
    std::memcpy(header.Signature, ArchiveSignature, sizeof header.Signature);
    for (int i = 0; i < 3; ++i) header.CompressID[i] = i < static_cast<int>(compressID.size()) ? compressID[i] : ' ';
    header.TotalSize = totalSize;
    header.ArchiveType = archiveType;
    header.Reserved = 0;
    header.KeyFlag = key > 0 ? 2 : 0;
}

void EncodeArchiveHeader(const TArchiveHeader& h, uint8_t out[ArchiveHeaderSize]) {
    std::memcpy(out + ahSignature, h.Signature, 5);
    std::memcpy(out + ahCompressID, h.CompressID, 3);
    Put32(out + ahTotalSize, static_cast<uint32_t>(h.TotalSize));
    out[ahArchiveType] = h.ArchiveType;
    Put32(out + ahReserved, h.Reserved);
    Put32(out + ahKeyFlag, static_cast<uint32_t>(h.KeyFlag));
}

void DecodeArchiveHeader(const uint8_t in[ArchiveHeaderSize], TArchiveHeader& h) {
    std::memcpy(h.Signature, in + ahSignature, 5);
    std::memcpy(h.CompressID, in + ahCompressID, 3);
    h.TotalSize = static_cast<int32_t>(Get32(in + ahTotalSize));
    h.ArchiveType = in[ahArchiveType];
    h.Reserved = Get32(in + ahReserved);
    h.KeyFlag = static_cast<int32_t>(Get32(in + ahKeyFlag));
}

void EncodeFileHeader(const TFileHeader& h, uint8_t out[FileHeaderSize]) {
    Put16(out + fhNameLength, static_cast<uint16_t>(h.NameLength));
    Put32(out + fhFileDate, h.FileDate);
    Put16(out + fhFileAttr, h.FileAttr);
    Put32(out + fhUncompressedSize, static_cast<uint32_t>(h.UncompressedSize));
    Put32(out + fhCompressedSize, static_cast<uint32_t>(h.CompressedSize));
    out[fhCompressionType] = h.CompressionType;
    Put32(out + fhChecksum, h.Checksum);
    Put32(out + fhLockFlag, static_cast<uint32_t>(h.LockFlag));
}

void DecodeFileHeader(const uint8_t in[FileHeaderSize], TFileHeader& h) {
    h.NameLength = static_cast<int16_t>(Get16(in + fhNameLength));
    h.FileDate = Get32(in + fhFileDate);
    h.FileAttr = Get16(in + fhFileAttr);
    h.UncompressedSize = static_cast<int32_t>(Get32(in + fhUncompressedSize));
    h.CompressedSize = static_cast<int32_t>(Get32(in + fhCompressedSize));
    h.CompressionType = in[fhCompressionType];
    h.Checksum = Get32(in + fhChecksum);
    h.LockFlag = static_cast<int32_t>(Get32(in + fhLockFlag));
}

uint8_t RecognizeMethod(const std::string& compressID, const TRecognizeEvent& onRecognize) {
    for (uint8_t type = 0; type < 5; ++type)
        if (compressID == MethodIDs[type]) return type;
    bool recognized = false;
    if (onRecognize) onRecognize(compressID, recognized);
    if (recognized) return 3;
    throw EUnrecognizedCompressionMethod(compressID);
}

void ReadArchiveHeader(TStream& stream, TArchiveHeader& header, std::string& compressID,
                       const TRecognizeEvent& onRecognize) {
    compressID.assign(3, ' ');
    if (BytesLeft(stream) < ArchiveHeaderSize) throw EInvalidHeader();
    uint8_t raw[ArchiveHeaderSize];
    stream.ReadBuffer(raw, ArchiveHeaderSize);
    DecodeArchiveHeader(raw, header);
    if (std::memcmp(header.Signature, ArchiveSignature, sizeof ArchiveSignature) != 0) throw EInvalidHeader();
    if (header.ArchiveType != caMulti) throw EInvalidHeaderArchiveType();
    compressID.assign(header.CompressID, 3);
    RecognizeMethod(compressID, onRecognize);
}

bool ReadFileHeader(TStream& stream, TFileHeader& header, std::string& name) {
    const int64_t left = BytesLeft(stream);
    if (left <= 0) return false;
    if (left < FileHeaderSize) throw EDamagedFileHeader();
    uint8_t raw[FileHeaderSize];
    stream.ReadBuffer(raw, FileHeaderSize);
    DecodeFileHeader(raw, header);
    if (header.NameLength < 0 || header.NameLength > left - FileHeaderSize) throw EDamagedFileHeader();
    if (header.CompressedSize < 0 || header.UncompressedSize < 0) throw EDamagedFileHeader();
    if (header.CompressedSize > left - FileHeaderSize - header.NameLength) throw EDamagedFileHeader();
    name.assign(static_cast<size_t>(header.NameLength), '\0');
    if (header.NameLength > 0) stream.ReadBuffer(name.data(), header.NameLength);
    return true;
}

TArchiveWalk::TArchiveWalk(TStream& stream, const TRecognizeEvent& onRecognize) : stream_(stream) {
    ReadArchiveHeader(stream_, Header, CompressID, onRecognize);
}

bool TArchiveWalk::Next() {
    if (started_) {
        stream_.SetPosition(DataStart + Entry.CompressedSize);
        Counted += Entry.UncompressedSize;
    }
    started_ = true;
    HeaderOffset = stream_.Position();
    const bool more = Counted < Header.TotalSize ? ReadFileHeader(stream_, Entry, Name) : NextEmptyEntry();
    if (!more) {
        Entry = TFileHeader{};
        if (Counted != Header.TotalSize) throw EArchiveSizeMismatch();
        return false;
    }
    DataStart = stream_.Position();
    return true;
}

bool TArchiveWalk::NextEmptyEntry() {
    const int64_t left = BytesLeft(stream_);
    if (left < FileHeaderSize) return false;
    uint8_t raw[FileHeaderSize];
    stream_.ReadBuffer(raw, FileHeaderSize);
    TFileHeader header;
    DecodeFileHeader(raw, header);
    if (header.UncompressedSize != 0 || header.CompressedSize != 0 || header.NameLength <= 0 ||
        header.NameLength > left - FileHeaderSize) {
        stream_.SetPosition(HeaderOffset);
        return false;
    }
    Entry = header;
    Name.assign(static_cast<size_t>(header.NameLength), '\0');
    stream_.ReadBuffer(Name.data(), header.NameLength);
    return true;
}

}  // namespace quern
