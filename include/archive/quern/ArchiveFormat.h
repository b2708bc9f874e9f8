// The "ZMAR" archive container: on-disk layout and the header routines.
//
// An archive is one archive header followed by entries back to back, to the
// end of the bytes; there is no index, padding or end marker. Each entry is a
// file header, its name, then its data. All integers are little-endian.
//
// Archive header, 21 bytes:
//   off size  field
//    0   5    Signature     "ZMAR" 1A
//    5   3    CompressID    method ID of the archive ("NON" ... "LH5" or custom)
//    8   4    TotalSize     int32, sum of UncompressedSize over all entries
//   12   1    ArchiveType   1 (caMulti) is the only accepted value
//   13   4    reserved      0
//   17   4    KeyFlag       int32, 2 when written with a positive key; ignored
//
// File header, 25 bytes:
//   off size  field
//    0   2    NameLength        int16, name bytes after the header
//    2   4    FileDate          uint32, packed DOS date (high) and time (low)
//    6   2    FileAttr          uint16, attribute bits (0x20 archive bit)
//    8   4    UncompressedSize  int32
//   12   4    CompressedSize    int32, data bytes after the name
//   16   1    CompressionType   index into the method table, 0 to 4
//   17   4    Checksum          uint32 byte sum (+ Key when locked); 0 for type 0
//   21   4    LockFlag          int32: 0 open, >0 locked, 2 locked and scrambled
//
// The name is NameLength bytes with "\" between components, no terminator.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <quern/Errors.h>
#include <quern/Stream.h>

namespace quern {

constexpr int32_t ArchiveHeaderSize = 21;
constexpr int32_t FileHeaderSize = 25;
constexpr uint8_t caMulti = 1;
constexpr uint8_t ArchiveSignature[5] = {0x5A, 0x4D, 0x41, 0x52, 0x1A};

// Method IDs indexed by compression type.
constexpr const char* MethodIDs[5] = {"NON", "RLE", "LZH", "CUS", "LH5"};

// In memory the headers keep natural alignment (references to their fields
// stay valid); on disk they are the packed layouts above, written and read
// field by field in little-endian order.
struct TArchiveHeader {
    uint8_t Signature[5];
    char CompressID[3];
    int32_t TotalSize;
    uint8_t ArchiveType;
    uint32_t Reserved;
    int32_t KeyFlag;
};
struct TFileHeader {
    int16_t NameLength;
    uint32_t FileDate;
    uint16_t FileAttr;
    int32_t UncompressedSize;
    int32_t CompressedSize;
    uint8_t CompressionType;
    uint32_t Checksum;
    int32_t LockFlag;
};

// A file header or name cut short, negative sizes (walking by them would
// move the stream backwards) or data reaching past the end of the archive.
// Callers that catch EInvalidHeader catch this too.
class EDamagedFileHeader : public EInvalidHeader {
public:
    EDamagedFileHeader() { Message = "Damaged file header in archive"; }
};
// The entries' sizes do not add up to the archive header's TotalSize: the
// archive ends early, or holds more than it says.
class EArchiveSizeMismatch : public EDamagedFileHeader {
public:
    EArchiveSizeMismatch() { Message = "Damaged archive: its entries do not add up to its total size"; }
};

using TRecognizeEvent = std::function<void(const std::string& CompressID, bool& recognized)>;

// A header made in memory: signature, ID, total, type, and KeyFlag 2 when
// key > 0.
void InitArchiveHeader(TArchiveHeader& header, const std::string& compressID, int32_t totalSize,
                       uint8_t archiveType, int32_t key);

void EncodeArchiveHeader(const TArchiveHeader& header, uint8_t out[ArchiveHeaderSize]);
void DecodeArchiveHeader(const uint8_t in[ArchiveHeaderSize], TArchiveHeader& header);
void EncodeFileHeader(const TFileHeader& header, uint8_t out[FileHeaderSize]);
void DecodeFileHeader(const uint8_t in[FileHeaderSize], TFileHeader& header);

// The type (0 to 4) of a method ID: table IDs compare case-sensitively; any
// other ID is type 3 when onRecognize accepts it, else
// EUnrecognizedCompressionMethod.
uint8_t RecognizeMethod(const std::string& compressID, const TRecognizeEvent& onRecognize);

// Reads and validates the archive header at the stream's position: fewer
// than 21 bytes or a wrong signature is not an archive (EInvalidHeader).
// compressID gets the three ID characters.
void ReadArchiveHeader(TStream& stream, TArchiveHeader& header, std::string& compressID,
                       const TRecognizeEvent& onRecognize);

// Reads one file header and its name; false only when no byte is left.
// Raises EDamagedFileHeader for a header or name cut short, negative sizes or
// data reaching past the end. The name is returned as stored ("\" between
// components); only the place where a target path is formed converts it.
bool ReadFileHeader(TStream& stream, TFileHeader& header, std::string& name);

// Walks an archive's entries in order, passing over each one's data on the
// next step. Up to the header's TotalSize every entry belongs to the archive
// and a cut is damage. Once TotalSize is reached only complete empty entries
// (both sizes 0, a name inside the stream) still belong to it, so an archive
// whose last files are empty keeps them; anything else after it (padding,
// another file's bytes) ends the walk without error. At the end the entries
// must add up to TotalSize (EArchiveSizeMismatch).
class TArchiveWalk {
public:
    TArchiveWalk(TStream& stream, const TRecognizeEvent& onRecognize);
    // Moves to the next entry; false at the end of the archive.
    bool Next();

    TArchiveHeader Header;
    std::string CompressID;
    TFileHeader Entry{};
    std::string Name;         // as stored
    int64_t HeaderOffset = 0; // of the entry's file header
    int64_t DataStart = 0;
    int64_t Counted = 0;      // UncompressedSize summed over the entries before this one

private:
    bool NextEmptyEntry();
    TStream& stream_;
    bool started_ = false;
};

}  // namespace quern
