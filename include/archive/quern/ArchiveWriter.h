// Writes "ZMAR" archives that TQuern reads: entries from disk or memory, each
// with its own method type and lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <quern/ArchiveFormat.h>
#include <quern/Quern.h>
#include <quern/CodecEngine.h>
#include <quern/Stream.h>

namespace quern {

class TArchiveWriter {
public:
    // Method ID recorded in the archive header; entries choose their own types.
    std::string CompressID = "LH5";
    // Key for locked entries; must be non-zero when any entry is locked.
    int32_t Key = 0;
    // When set, files added later keep no date past it (packed, as stored):
    // SOURCE_DATE_EPOCH for reproducible archives.
    std::optional<uint32_t> LatestDate;
    TShowProgressEvent OnShowProgress;
    // Called with each entry's index (in the order added) before it is written.
    std::function<void(int index)> OnEntry;
    // Codes entries of type 3: reads source to its end, writes the coded bytes
    // to dest and sets checksum to the byte sum of what it read (the writer
    // adds Key for locked entries). Outputsize is ignored: the bytes written
    // are counted.
    TOnCompressEvent OnCompress;
    // Entries coded at once on worker threads; 1 codes them one after the
    // other on the calling thread. The archive's bytes are the same either
    // way, and OnEntry and OnShowProgress are raised on the calling thread in
    // the same order: each entry's reports when it is that entry's turn to be
    // written. OnCompress always runs on the calling thread.
    unsigned Threads = 1;

    // lockFlag: 0 open, 1 locked (the checksum carries Key), 2 locked and the
    // coded bytes scrambled with Key. A coded entry to be scrambled keeps its
    // coded bytes even where storing would be shorter; entries of type 0 or 3
    // are never scrambled, so 2 is recorded as 1 for them. Every entry's
    // checksum is its byte sum (plus Key when locked), stored ones included.
    //
    // A file on disk, read when the archive is written; its date, time and
    // attributes are those on disk at the time of this call.
    void AddFile(const std::string& path, const std::string& storedName, uint8_t type, int32_t lockFlag = 0);
    void AddMemory(const std::string& storedName, std::vector<uint8_t> data, uint32_t fileDate, uint16_t fileAttr,
                   uint8_t type, int32_t lockFlag = 0);
    int Count() const { return static_cast<int>(entries_.size()); }

    // Writes the archive through a TSafeFileStream: on failure no partial
    // file is left and an existing fileName stays as it was.
    void WriteToFile(const std::string& fileName);
    // Writes the archive at dest's position; dest must be seekable, since each
    // file header is completed after its data.
    void WriteToStream(TStream& dest);

private:
    struct Entry {
        std::string storedName;  // with "\" separators
        std::string path;        // empty: data holds the bytes
        std::vector<uint8_t> data;
        uint32_t fileDate;
        uint16_t fileAttr;
        uint8_t type;
        int32_t lockFlag;
    };
    void Add(Entry entry);
    static std::unique_ptr<TStream> OpenSource(const Entry& entry);
    // Writes one entry from its source: file header, name and data.
    void WriteSource(TStream& dest, const Entry& entry, int64_t& total, const TShowProgressEvent& progress);
    void WriteEntry(TStream& dest, const Entry& entry, TStream& source, int32_t size,
                    const TShowProgressEvent& progress);
    void WriteEntriesParallel(TStream& dest, int64_t& total);

    std::vector<Entry> entries_;
};

}  // namespace quern
