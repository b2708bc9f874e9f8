#include "setup/Integrity.h"

#include <algorithm>

namespace quern {

namespace {

constexpr uint8_t IntegrityMagic[4] = {'Q', 'n', 'I', 'R'};

struct CrcTable {
    uint32_t entries[256];
    constexpr CrcTable() : entries{} {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            entries[i] = c;
        }
    }
};
constexpr CrcTable Table;

void Put32(uint8_t* at, uint32_t value) {
    for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Get32(const uint8_t* at) {
    return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
           static_cast<uint32_t>(at[3]) << 24;
}

}  // namespace

void TCrc32::Update(const uint8_t* data, size_t count) {
    uint32_t c = state_;
    for (size_t i = 0; i < count; ++i) c = Table.entries[(c ^ data[i]) & 0xFF] ^ (c >> 8);
    state_ = c;
}

uint32_t Crc32(const uint8_t* data, size_t count) {
    TCrc32 crc;
    crc.Update(data, count);
    return crc.Value();
}

std::array<uint8_t, IntegrityRecordSize> IntegrityRecordBytes(const IntegrityRecord& record) {
    std::array<uint8_t, IntegrityRecordSize> bytes{};
    for (int i = 0; i < 4; ++i) bytes[i] = IntegrityMagic[i];
    bytes[4] = static_cast<uint8_t>(IntegrityVersion);
    bytes[5] = static_cast<uint8_t>(IntegrityVersion >> 8);
    bytes[6] = static_cast<uint8_t>(IntegrityRecordSize);
    bytes[7] = 0;
    Put32(&bytes[8], static_cast<uint32_t>(record.ArchiveLength));
    Put32(&bytes[12], static_cast<uint32_t>(record.PayloadSize));
    Put32(&bytes[16], record.RecordStart);
    Put32(&bytes[20], record.DataCrc);
    Put32(&bytes[24], Crc32(bytes.data(), 24));
    return bytes;
}

std::optional<IntegrityRecord> ParseIntegrityRecord(const uint8_t* bytes, size_t count) {
    if (count < IntegrityRecordSize) return std::nullopt;
    for (int i = 0; i < 4; ++i)
        if (bytes[i] != IntegrityMagic[i]) return std::nullopt;
    const unsigned version = bytes[4] | bytes[5] << 8, size = bytes[6] | bytes[7] << 8;
    if (version != IntegrityVersion || size != IntegrityRecordSize) return std::nullopt;
    if (Get32(&bytes[24]) != Crc32(bytes, 24)) return std::nullopt;
    IntegrityRecord record;
    record.ArchiveLength = static_cast<int32_t>(Get32(&bytes[8]));
    record.PayloadSize = static_cast<int32_t>(Get32(&bytes[12]));
    record.RecordStart = Get32(&bytes[16]);
    record.DataCrc = Get32(&bytes[20]);
    return record;
}

bool IsDamagedIntegrityRecord(const uint8_t* bytes, size_t count) {
    if (count < IntegrityRecordSize || ParseIntegrityRecord(bytes, count)) return false;
    uint8_t restored[IntegrityRecordSize];
    std::copy(bytes, bytes + IntegrityRecordSize, restored);
    if (std::equal(IntegrityMagic, IntegrityMagic + 4, restored)) return true;
    std::copy(IntegrityMagic, IntegrityMagic + 4, restored);
    return ParseIntegrityRecord(restored, sizeof restored).has_value();
}

}  // namespace quern
