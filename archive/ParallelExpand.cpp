#include "ParallelExpand.h"

#include <algorithm>
#include <cstdint>

namespace quern {

namespace {

// Where a test run's decoded bytes go: counted, so the size check holds,
// and dropped.
class TCountingStream : public TStream {
public:
    explicit TCountingStream(const std::atomic<bool>& stop) : stop_(stop) {}
    int32_t Read(void*, int32_t) override { return 0; }
    int32_t Write(const void*, int32_t count) override {
        if (stop_) throw EWriteError();
        if (count <= 0) return 0;
        position_ += count;
        size_ = std::max(size_, position_);
        return count;
    }
    int64_t Seek(int64_t offset, SeekOrigin origin) override {
        const int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? position_ : size_;
        position_ = std::max<int64_t>(0, base + offset);
        return position_;
    }

private:
    const std::atomic<bool>& stop_;
    int64_t position_ = 0, size_ = 0;
};

// An entry that went to an unnamed file on dest's file system becomes dest's
// content as it is: its bytes are not read and written again.
bool Adopt(TStream& dest, TSpillStream* output) {
    auto* const target = dynamic_cast<TSafeFileStream*>(&dest);
    if (!target || !output || output->UnnamedFile() == platform::InvalidFile) return false;
    // Only an empty dest is all the entry's: otherwise it keeps what lies
    // before the entry, as a copy would.
    if (target->Position() != 0 || target->Size() != 0) return false;
    if (!target->Adopt(output->UnnamedFile())) return false;
    target->Seek(0, SeekOrigin::End);
    return true;
}

bool BuiltInType(uint8_t type) { return type == ctNone || type == ctRle || type == ctLzh || type == ctLh5; }

// Below this many stored bytes an entry decodes in less time than it takes to
// hand it to a worker and back: the walk decodes it itself.
constexpr int32_t MinAheadSize = 4096;

}  // namespace

TParallelExpander::TParallelExpander(TStream& archive, std::mutex& lock, unsigned threads, int32_t key,
                                     bool keepOutput, TEntryFilter filter, std::optional<std::string> spillIn)
    : archive_(archive), lock_(lock), key_(key), keepOutput_(keepOutput), filter_(std::move(filter)),
      spillIn_(std::move(spillIn)), walkView_(archive, lock) {
    // At damage the walk ahead stops; the expansion's walk meets the damage itself.
    walkView_.SetPosition(archive.Position());
    try {
        walk_ = std::make_unique<TArchiveWalk>(walkView_, nullptr);
        compressID_ = walk_->CompressID;
    } catch (const Exception&) {
        return;
    }
    outputs_.resize(TEntryPipeline::WindowFor(threads));
    // As many jobs as there may be entries: past the last one a job finds
    // nothing and ends at once, and the window keeps the workers from going on.
    pipeline_ = std::make_unique<TEntryPipeline>(
        SIZE_MAX, threads, [this](size_t index, const TShowProgressEvent& progress, const std::atomic<bool>& abandoned) {
            Decode(index, progress, abandoned);
        });
}

TParallelExpander::~TParallelExpander() { pipeline_.reset(); }  // the workers end before the outputs go

bool TParallelExpander::WalkToNextItem() {
    while (walk_) {
        try {
            if (!walk_->Next()) break;
        } catch (const Exception&) {
            break;
        }
        const size_t entry = walked_++;
        if (BuiltInType(walk_->Entry.CompressionType) && walk_->Entry.CompressedSize >= MinAheadSize &&
            (!filter_ || filter_(entry, walk_->Entry))) {
            items_.push_back({found_++, walk_->HeaderOffset, walk_->DataStart, walk_->Entry});
            return true;
        }
    }
    walk_.reset();
    return false;
}

std::optional<TParallelExpander::Item> TParallelExpander::ItemAt(size_t index) {
    std::lock_guard<std::mutex> hold(walkLock_);
    while (found_ <= index && WalkToNextItem()) {
    }
    if (items_.empty() || index < items_.front().index || index >= found_) return std::nullopt;
    return items_[index - items_.front().index];
}

bool TParallelExpander::HasRoomUpTo(size_t index) {
    // An entry decoded ahead into the targets' file system takes room there
    // that a serial run still has, for the entries before it and for one
    // that must be decoded again on the walk: it goes there only while the
    // file system has room for it and all the entries before it twice over,
    // so that the free-space check and the writes fare as in a serial run.
    int64_t needed = 0;
    {
        std::lock_guard<std::mutex> hold(walkLock_);
        for (const Item& item : items_) {
            if (item.index > index) break;
            needed += std::max<int32_t>(item.header.UncompressedSize, 0);
        }
    }
    const auto free = platform::DiskFree(0, *spillIn_);
    return free && *free / 2 >= static_cast<uint64_t>(needed);
}

void TParallelExpander::Decode(size_t index, const TShowProgressEvent& progress, const std::atomic<bool>& abandoned) {
    auto& output = outputs_[index % outputs_.size()];
    output.reset();
    const std::optional<Item> item = ItemAt(index);
    if (!item) return;
    if (keepOutput_ && spillIn_ && item->header.UncompressedSize > static_cast<int64_t>(EntryMemoryLimit) &&
        HasRoomUpTo(index))
        output = std::make_unique<TSpillStream>(0, &abandoned, spillIn_);  // bound for the file anyway
    else if (keepOutput_)
        output = std::make_unique<TSpillStream>(EntryMemoryLimit, &abandoned);
    else
        output = std::make_unique<TCountingStream>(abandoned);
    TStreamView source(archive_, lock_);
    source.SetPosition(item->dataStart);
    TQuern quern;
    quern.Key = key_;
    quern.OnShowProgress = progress;
    const TFileHeader& fh = item->header;
    // What the spill holds back is written here, where its failure sends
    // the entry to the walk, as a failed write of the spill does.
    auto* const spill = dynamic_cast<TSpillStream*>(output.get());
    try {
        quern.ExpandEntry(*output, source, fh.CompressedSize, fh.UncompressedSize, fh.Checksum, fh.CompressionType,
                          compressID_, fh.LockFlag);
    } catch (...) {
        if (spill && !abandoned) spill->Flush();
        throw;
    }
    if (spill) spill->Flush();
}

bool TParallelExpander::Expand(TQuern& quern, int64_t headerOffset, TStream& dest, TStream& source) {
    if (!pipeline_ || quern.Key != key_) return false;
    std::optional<Item> item;
    {
        // The expansion moves forward only: what lies before this entry is
        // passed and can go.
        std::lock_guard<std::mutex> hold(walkLock_);
        while ((items_.empty() || items_.back().headerOffset < headerOffset) && WalkToNextItem()) {
        }
        while (!items_.empty() && items_.front().headerOffset < headerOffset) items_.pop_front();
        if (!items_.empty() && items_.front().headerOffset == headerOffset) item = items_.front();
    }
    if (!item) return false;
    const TFileHeader& fh = item->header;

    const TEntryPipeline::Outcome outcome = pipeline_->Take(item->index, quern.OnShowProgress);
    auto& output = outputs_[item->index % outputs_.size()];
    if (outcome.Redo()) {
        // The handler ended the entry's input at a report the worker had
        // passed, or the worker had nowhere to keep the output: decode it
        // here, where that answer takes effect and no buffer is needed.
        output.reset();
        const TShowProgressEvent handler = quern.OnShowProgress;
        quern.OnShowProgress = ResumedProgress(handler, outcome);
        try {
            quern.ExpandEntry(dest, source, fh.CompressedSize, fh.UncompressedSize, fh.Checksum, fh.CompressionType,
                              compressID_, fh.LockFlag);
        } catch (...) {
            quern.OnShowProgress = handler;
            throw;
        }
        quern.OnShowProgress = handler;
        return true;
    }
    // What a failed entry wrote before its failure reaches dest too, as it
    // would have serially.
    if (keepOutput_ && output && (outcome.error || !Adopt(dest, dynamic_cast<TSpillStream*>(output.get()))))
        dest.CopyFrom(*output, 0);
    output.reset();
    if (outcome.error) std::rethrow_exception(outcome.error);
    source.SetPosition(item->dataStart + std::max<int32_t>(fh.CompressedSize, 0));
    return true;
}

void ExpandArchiveFileParallel(TQuern& quern, const std::string& fileName, TStringList* fileList, unsigned threads,
                               const TEntryFilter& filter) {
    if (threads <= 1) return quern.ExpandArchiveFile(fileName, fileList);
    TFileStream file(fileName, fmOpenRead | fmShareExclusive);
    std::mutex lock;
    TStreamView walk(file, lock);
    // Entries decoded ahead wait in unnamed files of the extraction root,
    // the file system of (nearly) every target.
    TParallelExpander ahead(file, lock, threads, quern.Key, true, filter, quern.TargetPath());
    TEntryDecoder* const before = quern.EntryDecoder;
    quern.EntryDecoder = &ahead;
    try {
        quern.ExpandArchiveStream(walk, fileList);
    } catch (...) {
        quern.EntryDecoder = before;
        throw;
    }
    quern.EntryDecoder = before;
}

}  // namespace quern
