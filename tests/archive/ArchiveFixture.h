// Hand-built archives for the tests: each entry's header fields default to
// what a correct writer stores, and any of them can be set to a damaged value.
#pragma once

#include <algorithm>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <quern/ArchiveFormat.h>
#include "tests/support/TestSupport.h"

using namespace quern;

namespace archive_fixture {

using testing_support::Bytes;

// 1 November 1998, 13:30:18, as in the bootstrap's own archive.
constexpr uint32_t SampleDate = 0x25616BC9;

struct Entry {
    std::string name{};  // stored form, "\" between components
    Bytes data{};
    uint8_t type = 0;
    uint32_t checksum = 0;
    int32_t lockFlag = 0;
    std::optional<int32_t> uncompressedSize{};  // default: data.size()
    std::optional<int32_t> compressedSize{};    // default: data.size()
    uint16_t attr = 0x20;
    uint32_t date = SampleDate;
    std::optional<int16_t> nameLength{};        // default: name.size()
};

using testing_support::ByteSum;

inline Bytes ArchiveHeaderBytes(const std::string& id, int32_t totalSize, uint8_t archiveType = caMulti) {
    TArchiveHeader header;
    InitArchiveHeader(header, id, totalSize, archiveType, 0);
    uint8_t raw[ArchiveHeaderSize];
    EncodeArchiveHeader(header, raw);
    return Bytes(raw, raw + ArchiveHeaderSize);
}

inline Bytes EntryBytes(const Entry& e) {
    TFileHeader fh{};
    fh.NameLength = e.nameLength.value_or(static_cast<int16_t>(e.name.size()));
    fh.FileDate = e.date;
    fh.FileAttr = e.attr;
    fh.UncompressedSize = e.uncompressedSize.value_or(static_cast<int32_t>(e.data.size()));
    fh.CompressedSize = e.compressedSize.value_or(static_cast<int32_t>(e.data.size()));
    fh.CompressionType = e.type;
    fh.Checksum = e.checksum;
    fh.LockFlag = e.lockFlag;
    uint8_t raw[FileHeaderSize];
    EncodeFileHeader(fh, raw);
    // Sized once and filled: growing the vector from exactly the header's size
    // trips false -Warray-bounds / -Wstringop-overflow in MinGW's g++ 12.
    Bytes out(FileHeaderSize + e.name.size() + e.data.size());
    std::copy(raw, raw + FileHeaderSize, out.begin());
    std::copy(e.name.begin(), e.name.end(), out.begin() + FileHeaderSize);
    std::copy(e.data.begin(), e.data.end(), out.begin() + static_cast<std::ptrdiff_t>(FileHeaderSize + e.name.size()));
    return out;
}

// totalSize: default the sum of the entries' uncompressed sizes.
inline Bytes MakeArchive(const std::vector<Entry>& entries, const std::string& id = "LH5",
                         std::optional<int32_t> totalSize = std::nullopt) {
    int32_t sum = 0;
    for (const auto& e : entries) sum += e.uncompressedSize.value_or(static_cast<int32_t>(e.data.size()));
    Bytes out = ArchiveHeaderBytes(id, totalSize.value_or(sum));
    for (const auto& e : entries) {
        const Bytes b = EntryBytes(e);
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

using testing_support::Text;

}  // namespace archive_fixture
