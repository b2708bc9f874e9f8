// The data appended to the setup executable, and the scan and copy that take
// the embedded archive out of it.
//
//   offset from M   size            field
//   0               5               PayloadMagic "Qnt_!"
//   5               4               ArchiveLength  (int32, little-endian)
//   9               4               PayloadSize    (int32, little-endian)
//   13              ArchiveLength   the embedded archive ("ZMAR" format)
//   13+ArchiveLength PayloadSize    the installation payload (read by the wizard)
//
// The scan starts at PayloadScanStart, so the stub's own code and data below
// that offset can never be mistaken for the trailer.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "platform/Forms.h"
#include <quern/Stream.h>
#include "setup/Integrity.h"

namespace quern {

constexpr int32_t PayloadScanStart = 210000;
constexpr int32_t ScanBlockSize = 32000;
constexpr int32_t ScanBufferSize = ScanBlockSize + 1;
constexpr int32_t PayloadTrailerSize = 13;

// The five magic bytes, built at run time: a literal copy in the stub's image
// could lie above the scan start and be found instead of the real trailer.
std::array<uint8_t, 5> PayloadMagic();

// The 13 bytes that start the appended data: magic, ArchiveLength, PayloadSize.
std::array<uint8_t, PayloadTrailerSize> PayloadTrailer(int32_t ArchiveLength, int32_t PayloadSize);

enum class LocateOutcome { Found, NotFound, EmptyFirstRead };

struct PayloadLocation {
    int64_t Offset = 0;  // M, the trailer's file offset
    int32_t ArchiveLength = 0;
    int32_t PayloadSize = 0;
    int32_t PayloadStart = 0;
};

// Scans `exe` from PayloadScanStart in ScanBlockSize reads with a 5-byte
// overlap; the first match wins. On Found the stream stands at the archive's
// first byte.
LocateOutcome LocatePayload(TStream& exe, uint8_t* buffer, PayloadLocation& location);

// True when the trailer's lengths are possible for a file of `fileSize`
// bytes: neither negative, the payload's start within 32 bits, the archive
// and the payload inside the file.
bool PayloadFitsFile(const PayloadLocation& location, int64_t fileSize);

// Copies ArchiveLength bytes from `exe` (positioned at the archive) into a new
// file at `path`, advancing the bar by the bytes read and pumping messages
// after each block; `crc`, when given, is fed the archive's bytes. False when
// the source ends or fails first. A write that stores less than asked raises
// ETempDirectoryError with the system's reason; a signal, EInterrupted.
bool CopyArchive(TStream& exe, uint8_t* buffer, int32_t ArchiveLength, const std::string& path,
                 TProgressBar& bar, TApplication& application, TCrc32* crc = nullptr);

enum class RecordOutcome { Absent, Present, Damaged };

// The integrity record (Integrity.h) of the located data: Present (in
// `record`) when it lies where the trailer says and agrees with it; Damaged
// when it disagrees, or when a record elsewhere in the file's tail proves
// the trailer's lengths wrong; Absent when there is none.
RecordOutcome FindIntegrityRecord(TStream& exe, const PayloadLocation& location, IntegrityRecord& record);

// Feeds the payload's bytes to `crc` in ScanBlockSize reads, advancing the
// bar by the bytes read and pumping messages after each. False when the file
// ends or fails first; a signal raises EInterrupted.
bool HashPayload(TStream& exe, uint8_t* buffer, const PayloadLocation& location, TCrc32& crc, TProgressBar& bar,
                 TApplication& application);

}  // namespace quern
