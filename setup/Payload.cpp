#include "setup/Payload.h"

#include <algorithm>
#include <cstring>

#include "platform/Exceptions.h"

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
    exe.SetPosition(pos + 4);
    location.ArchiveLength = ReadInt32(exe);
    location.PayloadSize = ReadInt32(exe);
    location.PayloadStart = static_cast<int32_t>(static_cast<uint32_t>(exe.Position()) +
                                                 static_cast<uint32_t>(location.ArchiveLength));
    return LocateOutcome::Found;
}

bool CopyArchive(TStream& exe, uint8_t* buffer, int32_t ArchiveLength, const std::string& path,
                 TProgressBar& bar, TApplication& application) {
    TFileStream out(path, fmCreate);
    int32_t remaining = ArchiveLength;
    while (remaining > 0) {
        const int32_t n = exe.Read(buffer, ScanBlockSize);
        // A source that ends or fails early would otherwise never finish.
        if (n <= 0) return false;
        const int64_t advanced = static_cast<int64_t>(bar.Position()) + n;
        bar.SetPosition(static_cast<int32_t>(std::min<int64_t>(advanced, INT32_MAX)));
        application.ProcessMessages();
        // Only the archive's bytes; the last block may hold payload bytes too.
        out.Write(buffer, std::min(n, remaining));
        remaining -= n;
    }
    return true;
}
