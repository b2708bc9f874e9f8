#include <quern/ArchiveWriter.h>

#include <algorithm>
#include <limits>
#include <memory>

#include "EntryPipeline.h"
#include <quern/Platform.h>

namespace quern {

namespace {

constexpr int64_t MaxSize = std::numeric_limits<int32_t>::max();
constexpr int32_t MaxNameLength = 32767;
constexpr uint32_t Date1980 = ((0u << 9) | (1u << 5) | 1u) << 16;  // 1 January 1980, 00:00:00

// Copies a stored entry's bytes and returns their byte sum, its checksum.
uint32_t CopyStored(TStream& dest, TStream& source, int32_t size) {
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<int32_t>(std::max<int32_t>(size, 0), 61440)));
    uint32_t sum = 0;
    for (int32_t left = size; left > 0;) {
        const int32_t n = std::min<int32_t>(left, static_cast<int32_t>(buffer.size()));
        source.ReadBuffer(buffer.data(), n);
        for (int32_t i = 0; i < n; ++i) sum += buffer[static_cast<size_t>(i)];
        dest.WriteBuffer(buffer.data(), n);
        left -= n;
    }
    return sum;
}

}  // namespace

void TArchiveWriter::Add(Entry entry) {
    if (entry.storedName.size() > static_cast<size_t>(MaxNameLength))
        throw Exception("Name too long for an archive: " + entry.storedName);
    if (entry.lockFlag < 0 || entry.lockFlag > 2) throw Exception("Lock flag must be 0, 1 or 2");
    if (entry.type > ctLh5) throw Exception("Unknown compression type " + std::to_string(entry.type));
    entries_.push_back(std::move(entry));
}

void TArchiveWriter::AddFile(const std::string& path, const std::string& storedName, uint8_t type,
                             int32_t lockFlag) {
    const auto attributes = platform::GetFileAttributes(path);
    if (!attributes || (*attributes & platform::faDirectory)) throw EFOpenError(path);
    uint32_t date = platform::GetFileDatePacked(path).value_or(Date1980);
    if (LatestDate && date > *LatestDate) date = *LatestDate;
    Add({platform::ToStoredSeparators(storedName), path, {}, date, static_cast<uint16_t>(*attributes), type,
         lockFlag});
}

void TArchiveWriter::AddMemory(const std::string& storedName, std::vector<uint8_t> data, uint32_t fileDate,
                               uint16_t fileAttr, uint8_t type, int32_t lockFlag) {
    if (static_cast<int64_t>(data.size()) > MaxSize) throw Exception("Entry too large for an archive: " + storedName);
    Add({platform::ToStoredSeparators(storedName), {}, std::move(data), fileDate, fileAttr, type, lockFlag});
}

void TArchiveWriter::WriteToFile(const std::string& fileName) {
    TSafeFileStream output(fileName);
    WriteToStream(output);
    output.Commit();
}

void TArchiveWriter::WriteToStream(TStream& dest) {
    for (const auto& entry : entries_)
        if (entry.lockFlag > 0 && Key == 0) throw Exception("Locked entries need a key: " + entry.storedName);

    const int64_t archiveStart = dest.Position();
    TArchiveHeader header;
    InitArchiveHeader(header, CompressID, 0, caMulti, Key);
    uint8_t raw[ArchiveHeaderSize];
    EncodeArchiveHeader(header, raw);
    dest.WriteBuffer(raw, ArchiveHeaderSize);

    int64_t total = 0;
    if (Threads > 1 && entries_.size() > 1) {
        WriteEntriesParallel(dest, total);
    } else {
        for (const auto& entry : entries_) {
            if (OnEntry) OnEntry(static_cast<int>(&entry - entries_.data()));
            WriteSource(dest, entry, total, OnShowProgress);
        }
    }

    const int64_t archiveEnd = dest.Position();
    header.TotalSize = static_cast<int32_t>(total);
    EncodeArchiveHeader(header, raw);
    dest.SetPosition(archiveStart);
    dest.WriteBuffer(raw, ArchiveHeaderSize);
    dest.SetPosition(archiveEnd);
}

std::unique_ptr<TStream> TArchiveWriter::OpenSource(const Entry& entry) {
    if (entry.path.empty()) return std::make_unique<TMemoryStream>(entry.data);
    return std::make_unique<TFileStream>(entry.path, fmOpenRead | fmShareDenyWrite);
}

void TArchiveWriter::WriteSource(TStream& dest, const Entry& entry, int64_t& total, const TShowProgressEvent& progress) {
    const std::unique_ptr<TStream> source = OpenSource(entry);
    const int64_t size = source->Size();
    total += size;
    if (size > MaxSize || total > MaxSize) throw Exception("Archive too large: " + entry.storedName);
    WriteEntry(dest, entry, *source, static_cast<int32_t>(size), progress);
}

void TArchiveWriter::WriteEntriesParallel(TStream& dest, int64_t& total) {
    // Each entry is written whole (header, name, data) into a stream of its
    // own by a worker, then copied to dest in entry order: the same bytes as
    // a serial run, with at most a window of entries in flight, each holding
    // at most EntryMemoryLimit bytes of memory.
    struct Coded {
        std::unique_ptr<TSpillStream> bytes;
        int64_t size = 0;
        bool written = false;  // false: too large, or left to the calling thread
    };
    std::vector<Coded> coded(TEntryPipeline::WindowFor(Threads));
    TEntryPipeline pipeline(
        entries_.size(), Threads,
        [&](size_t index, const TShowProgressEvent& progress, const std::atomic<bool>& abandoned) {
            const Entry& entry = entries_[index];
            Coded& result = coded[index % coded.size()];
            result = Coded{};
            if (entry.type == ctCustom) return;  // OnCompress belongs to the calling thread
            const std::unique_ptr<TStream> source = OpenSource(entry);
            result.size = source->Size();
            if (result.size > MaxSize) return;
            result.bytes = std::make_unique<TSpillStream>(EntryMemoryLimit, &abandoned);
            WriteEntry(*result.bytes, entry, *source, static_cast<int32_t>(result.size), progress);
            result.written = true;
        });
    for (size_t index = 0; index < entries_.size(); ++index) {
        const Entry& entry = entries_[index];
        if (OnEntry) OnEntry(static_cast<int>(index));
        const TEntryPipeline::Outcome outcome = pipeline.Take(index, OnShowProgress);
        Coded& result = coded[index % coded.size()];
        if (outcome.Redo() || (!outcome.error && !result.written)) {
            // Written here, as a serial run writes it: a handler that ended
            // the input got reports the worker had gone past, or the worker
            // had nowhere to keep the entry.
            result.bytes.reset();
            WriteSource(dest, entry, total, ResumedProgress(OnShowProgress, outcome));
            continue;
        }
        if (outcome.error) std::rethrow_exception(outcome.error);
        total += result.size;
        if (total > MaxSize) throw Exception("Archive too large: " + entry.storedName);
        dest.CopyFrom(*result.bytes, 0);
        result.bytes.reset();
    }
}

void TArchiveWriter::WriteEntry(TStream& dest, const Entry& entry, TStream& source, int32_t size,
                                const TShowProgressEvent& progress) {
    TFileHeader fh{};
    fh.NameLength = static_cast<int16_t>(entry.storedName.size());
    fh.FileDate = entry.fileDate;
    fh.FileAttr = entry.fileAttr;
    fh.UncompressedSize = size;
    fh.CompressionType = entry.type;
    fh.LockFlag = entry.lockFlag;

    const int64_t headerStart = dest.Position();
    uint8_t raw[FileHeaderSize];
    EncodeFileHeader(fh, raw);  // completed once the data is written
    dest.WriteBuffer(raw, FileHeaderSize);
    dest.WriteBuffer(entry.storedName.data(), fh.NameLength);
    const int64_t dataStart = dest.Position();
    const int64_t sourceStart = source.Position();

    uint32_t sum = 0;
    switch (entry.type) {
        case ctRle:
        case ctLzh:
        case ctLh5:
            try {
                // The engine scrambles its output whenever it has a key, so
                // only entries to be scrambled are coded with it.
                const CodecSettings settings{entry.lockFlag == 2 ? Key : 0, 0, progress};
                quern::RunCodec(dest, source, size, 0, entry.type, sum, false, false, settings);
            } catch (const EUnableToCompress&) {
                dest.SetPosition(dataStart);
                source.SetPosition(sourceStart);
                if (entry.lockFlag == 2) {
                    // A stored copy would be plain: a scrambled entry keeps
                    // its coded bytes even where they are the longer ones.
                    const CodecSettings unbounded{Key, std::numeric_limits<int32_t>::min(), progress};
                    quern::RunCodec(dest, source, size, 0, entry.type, sum, false, false, unbounded);
                } else {
                    // Coding would not shrink it: store it. The stored copy
                    // is at least as long as anything the codec wrote.
                    fh.CompressionType = ctNone;
                    sum = CopyStored(dest, source, size);
                }
            }
            break;
        case ctCustom: {
            if (!OnCompress) throw Exception("No handler to code entry " + entry.storedName);
            std::string id = CompressID;
            int32_t outputSize = 0, checksum = 0;
            OnCompress(dest, source, id, outputSize, checksum);
            sum = static_cast<uint32_t>(checksum);
            break;
        }
        default:
            sum = CopyStored(dest, source, size);
            break;
    }
    const int64_t dataEnd = dest.Position();
    if (dataEnd - dataStart > MaxSize) throw Exception("Coded entry too large: " + entry.storedName);
    fh.CompressedSize = static_cast<int32_t>(dataEnd - dataStart);
    if (fh.CompressionType == ctNone || fh.CompressionType == ctCustom) fh.LockFlag = std::min(fh.LockFlag, 1);
    // Stored entries carry their byte sum too, so damage to them is found
    // and a locked one needs its key.
    fh.Checksum = sum + (fh.LockFlag > 0 ? static_cast<uint32_t>(Key) : 0u);

    EncodeFileHeader(fh, raw);
    dest.SetPosition(headerStart);
    dest.WriteBuffer(raw, FileHeaderSize);
    dest.SetPosition(dataEnd);
}

}  // namespace quern
