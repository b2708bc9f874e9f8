// The integrity record that mksetup writes directly after the payload, so
// the setup can tell a damaged or cut file before it runs anything from it.
// The archive's own byte sums miss stored entries, zero padding and the whole
// payload; this CRC-32 covers the trailer, the archive and the payload.
//
//   offset  size  field
//   0       4     IntegrityMagic "QnIR"
//   4       2     IntegrityVersion (1)
//   6       2     record size (28)
//   8       4     ArchiveLength   (int32) } copies of the trailer's fields,
//   12      4     PayloadSize     (int32) } so a damaged trailer is told
//   16      4     RecordStart: this record's own file offset (uint32)
//   20      4     DataCrc: CRC-32 of the 13 trailer bytes, the archive and the payload
//   24      4     RecordCrc: CRC-32 of bytes 0..23
// All integers little-endian. RecordStart = M + 13 + ArchiveLength + PayloadSize.
//
// The setup looks for it at RecordStart as the trailer gives it; bytes after
// it (an Authenticode certificate table) do not matter. When it is not there,
// the file's last IntegrityTailScan bytes are searched for a record that sits
// at its own RecordStart: found, it proves the trailer damaged. A file with no
// record anywhere (made by another builder) is run without the check.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace quern {

// CRC-32 (IEEE 802.3, reflected, init and final XOR 0xFFFFFFFF), fed in pieces.
class TCrc32 {
public:
    void Update(const uint8_t* data, size_t count);
    uint32_t Value() const { return ~state_; }

private:
    uint32_t state_ = 0xFFFFFFFFu;
};

uint32_t Crc32(const uint8_t* data, size_t count);

constexpr uint16_t IntegrityVersion = 1;
constexpr size_t IntegrityRecordSize = 28;
constexpr int64_t IntegrityTailScan = 65536;

struct IntegrityRecord {
    int32_t ArchiveLength = 0;
    int32_t PayloadSize = 0;
    uint32_t RecordStart = 0;
    uint32_t DataCrc = 0;
};

std::array<uint8_t, IntegrityRecordSize> IntegrityRecordBytes(const IntegrityRecord& record);

// The record held by these bytes when they are one (magic, version, size and
// RecordCrc right); nothing otherwise.
std::optional<IntegrityRecord> ParseIntegrityRecord(const uint8_t* bytes, size_t count);

// True for bytes that are not a valid record but were one: the magic is
// there, or the record parses once the magic is restored. (Bytes after a
// payload that carries no record, such as a signature, are neither.)
bool IsDamagedIntegrityRecord(const uint8_t* bytes, size_t count);

}  // namespace quern
