#include "setup/Payload.h"

#include <algorithm>
#include <cstring>

#include <vector>

#include <quern/Exceptions.h>
#include <quern/Platform.h>
#include "setup/Genfile.h"

namespace quern {

std::array<uint8_t, 5> PayloadMagic() {
    // Stored scrambled; the volatile key keeps the compiler from folding the
    // plain bytes back into the image.
    static const uint8_t scrambled[5] = {'Q' ^ 0x5A, 'n' ^ 0x5A, 't' ^ 0x5A, '_' ^ 0x5A, '!' ^ 0x5A};
    static volatile uint8_t key = 0x5A;
    std::array<uint8_t, 5> magic{};
    for (size_t i = 0; i < magic.size(); ++i) magic[i] = static_cast<uint8_t>(scrambled[i] ^ key);
    return magic;
}

std::array<uint8_t, PayloadTrailerSize> PayloadTrailer(int32_t ArchiveLength, int32_t PayloadSize) {
    std::array<uint8_t, PayloadTrailerSize> trailer{};
    const auto magic = PayloadMagic();
    std::copy(magic.begin(), magic.end(), trailer.begin());
    for (int i = 0; i < 4; ++i) {
        trailer[5 + i] = static_cast<uint8_t>(static_cast<uint32_t>(ArchiveLength) >> (8 * i));
        trailer[9 + i] = static_cast<uint8_t>(static_cast<uint32_t>(PayloadSize) >> (8 * i));
    }
    return trailer;
}

namespace {
int32_t ReadInt32(TStream& stream) {
    uint8_t b[4] = {};
    stream.Read(b, 4);
    return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                                static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24);
}
}  // namespace

LocateOutcome LocatePayload(TStream& exe, uint8_t* buffer, PayloadLocation& location) {
    const auto magic = PayloadMagic();
    bool found = false;
    int64_t pos = PayloadScanStart;
    int32_t n = 0;
    do {
        exe.SetPosition(pos);
        n = exe.Read(buffer, ScanBlockSize);
        if (n == 0) return LocateOutcome::EmptyFirstRead;
        if (n > 6) {
            // n - 5 candidates; the next read starts at the first untested one.
            for (int32_t i = 0; i <= n - 6; ++i) {
                ++pos;
                if (std::memcmp(buffer + i, magic.data(), magic.size()) == 0) {
                    found = true;
                    break;
                }
            }
        }
    } while (!found && n > 6);
    if (!found) return LocateOutcome::NotFound;

    // pos is M + 1: it was advanced before the matching comparison too.
    location.Offset = pos - 1;
    exe.SetPosition(pos + 4);
    location.ArchiveLength = ReadInt32(exe);
    location.PayloadSize = ReadInt32(exe);
    location.PayloadStart = static_cast<int32_t>(static_cast<uint32_t>(exe.Position()) +
                                                 static_cast<uint32_t>(location.ArchiveLength));
    return LocateOutcome::Found;
}

bool PayloadFitsFile(const PayloadLocation& location, int64_t fileSize) {
    if (location.ArchiveLength < 0 || location.PayloadSize < 0) return false;
    const int64_t payloadStart = location.Offset + PayloadTrailerSize + location.ArchiveLength;
    return payloadStart <= INT32_MAX && payloadStart + location.PayloadSize <= fileSize;
}

namespace {
// The bar moves by the bytes read, not by those written (the last block of
// the copy reads payload bytes too); messages are pumped after each block.
void Advance(TProgressBar& bar, TApplication& application, int32_t n) {
    const int64_t advanced = static_cast<int64_t>(bar.Position()) + n;
    bar.SetPosition(static_cast<int32_t>(std::min<int64_t>(advanced, INT32_MAX)));
    application.ProcessMessages();
    CheckInterruption();
}
}  // namespace

bool CopyArchive(TStream& exe, uint8_t* buffer, int32_t ArchiveLength, const std::string& path,
                 TProgressBar& bar, TApplication& application, TCrc32* crc) {
    TFileStream out(path, fmCreate);
    int32_t remaining = ArchiveLength;
    while (remaining > 0) {
        const int32_t n = exe.Read(buffer, ScanBlockSize);
        // A source that ends or fails early would otherwise never finish.
        if (n <= 0) return false;
        Advance(bar, application, n);
        // Only the archive's bytes; the last block may hold payload bytes too.
        const int32_t wanted = std::min(n, remaining);
        if (crc) crc->Update(buffer, static_cast<size_t>(wanted));
        // A full disk must be told here, not later as a file that cannot be
        // read or written.
        if (out.Write(buffer, wanted) != wanted)
            throw ETempDirectoryError("Cannot write to " + path + ": " + platform::ErrorText(platform::LastErrorCode()));
        remaining -= n;
    }
    return true;
}

RecordOutcome FindIntegrityRecord(TStream& exe, const PayloadLocation& location, IntegrityRecord& record) {
    const int64_t size = exe.Size();
    const auto readAt = [&exe](int64_t at, uint8_t* bytes, size_t count) {
        exe.SetPosition(at);
        return exe.Read(bytes, static_cast<int32_t>(count)) == static_cast<int32_t>(count);
    };
    const int64_t expected =
        location.Offset + PayloadTrailerSize + int64_t{location.ArchiveLength} + location.PayloadSize;
    uint8_t bytes[IntegrityRecordSize];
    if (expected + static_cast<int64_t>(IntegrityRecordSize) <= size && readAt(expected, bytes, sizeof bytes)) {
        if (const auto found = ParseIntegrityRecord(bytes, sizeof bytes)) {
            record = *found;
            const bool agrees = found->ArchiveLength == location.ArchiveLength &&
                                found->PayloadSize == location.PayloadSize &&
                                static_cast<int64_t>(found->RecordStart) == expected;
            return agrees ? RecordOutcome::Present : RecordOutcome::Damaged;
        }
        // Our record with a damaged byte: its magic is intact (so the rest
        // is wrong), or it parses once the magic is put right.
        if (IsDamagedIntegrityRecord(bytes, sizeof bytes)) return RecordOutcome::Damaged;
    }
    // Not where the trailer says. A record in the file's tail that sits at its
    // own recorded offset shows that the trailer's lengths were changed.
    const int64_t from = std::max<int64_t>(location.Offset + PayloadTrailerSize,
                                           size - IntegrityTailScan - static_cast<int64_t>(IntegrityRecordSize));
    if (from >= size) return RecordOutcome::Absent;
    std::vector<uint8_t> tail(static_cast<size_t>(size - from));
    if (!readAt(from, tail.data(), tail.size())) return RecordOutcome::Absent;
    for (size_t i = 0; i + IntegrityRecordSize <= tail.size(); ++i) {
        if (tail[i] != 'Q') continue;
        const auto found = ParseIntegrityRecord(tail.data() + i, tail.size() - i);
        if (found && static_cast<int64_t>(found->RecordStart) == from + static_cast<int64_t>(i)) {
            record = *found;
            return RecordOutcome::Damaged;
        }
    }
    return RecordOutcome::Absent;
}

bool HashPayload(TStream& exe, uint8_t* buffer, const PayloadLocation& location, TCrc32& crc, TProgressBar& bar,
                 TApplication& application) {
    exe.SetPosition(location.PayloadStart);
    int32_t remaining = location.PayloadSize;
    while (remaining > 0) {
        const int32_t n = exe.Read(buffer, std::min(remaining, ScanBlockSize));
        if (n <= 0) return false;
        crc.Update(buffer, static_cast<size_t>(n));
        Advance(bar, application, n);
        remaining -= n;
    }
    return true;
}

}  // namespace quern
