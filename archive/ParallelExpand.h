// Expansion with the entries decoded ahead on worker threads. The walk stays
// on the calling thread and raises every event as a serial expansion does, in
// the same order (each entry's progress reports are raised when the walk
// reaches it); the first failure in entry order is the one raised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "EntryPipeline.h"
#include <quern/Quern.h>

namespace quern {

// Whether an entry (its number in archive order and its header) is worth
// decoding ahead; entries passed over are decoded by the walk itself.
using TEntryFilter = std::function<bool(size_t index, const TFileHeader& header)>;

class TParallelExpander : public TEntryDecoder {
public:
    // Reads the archive at archive's position; the walk and the workers share
    // it through `lock`, so the walk must read it through a TStreamView of the
    // same lock. Entries of types 0, 1, 2 and 4 that the filter (called on any
    // thread) lets through are decoded by `threads` workers with `key`; their
    // output is kept (in memory up to EntryMemoryLimit each, else in a
    // temporary file) for the walk's dest when keepOutput, else only counted
    // and checked. The workers find the entries with a walk of their own that
    // keeps only the window ahead, so memory does not grow with the number
    // of entries. With `spillIn` (the extraction root, "" for the current
    // directory), an entry larger than EntryMemoryLimit goes straight to an
    // unnamed file there while that file system has room to spare, and the
    // file becomes the target's as it is when dest is a TSafeFileStream on
    // the same file system, instead of being copied into it.
    TParallelExpander(TStream& archive, std::mutex& lock, unsigned threads, int32_t key, bool keepOutput,
                      TEntryFilter filter = {}, std::optional<std::string> spillIn = std::nullopt);
    ~TParallelExpander() override;

    bool Expand(TQuern& quern, int64_t headerOffset, TStream& dest, TStream& source) override;

private:
    struct Item {
        size_t index;  // among the entries decoded ahead
        int64_t headerOffset;
        int64_t dataStart;
        TFileHeader header;
    };
    bool WalkToNextItem();
    std::optional<Item> ItemAt(size_t index);
    bool HasRoomUpTo(size_t index);
    void Decode(size_t index, const TShowProgressEvent& progress, const std::atomic<bool>& abandoned);

    TStream& archive_;
    std::mutex& lock_;
    int32_t key_;
    bool keepOutput_;
    TEntryFilter filter_;
    std::optional<std::string> spillIn_;

    std::mutex walkLock_;  // guards what follows, up to the outputs
    TStreamView walkView_;
    std::unique_ptr<TArchiveWalk> walk_;
    std::string compressID_;
    size_t walked_ = 0;     // entries the walk has passed
    size_t found_ = 0;      // entries to decode found so far
    std::deque<Item> items_;  // found and not yet passed by the expansion

    std::vector<std::unique_ptr<TStream>> outputs_;  // one per pipeline slot
    std::unique_ptr<TEntryPipeline> pipeline_;
};

// quern.ExpandArchiveFile with the entries decoded ahead on `threads` threads;
// exactly ExpandArchiveFile when threads is 1.
void ExpandArchiveFileParallel(TQuern& quern, const std::string& fileName, TStringList* fileList, unsigned threads,
                               const TEntryFilter& filter = {});

}  // namespace quern
