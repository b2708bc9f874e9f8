// The machinery that codes an archive's entries on several threads while the
// calling thread keeps the serial order: a pipeline of entry jobs whose
// results and progress reports are taken in entry order, a stream that keeps
// a job's output in memory up to a limit and in a temporary file past it, and
// views that let several threads read one archive stream.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <quern/CodecEngine.h>
#include <quern/Stream.h>

namespace quern {

// The number of threads a tool uses when the user names none: one per
// processor, up to MaxDefaultThreads. Each further job costs its codec's work
// areas; with that many `quern x` stays under 8 MiB on any machine.
unsigned DefaultThreadCount();
constexpr unsigned MaxDefaultThreads = 8;

// Runs job(index) for index 0 to count-1 on `threads` worker threads, at most
// `window` entries ahead of the one the caller is taking, and hands each
// entry's outcome and progress reports to the caller in entry order.
//
// A job writes its result into the caller's own storage at index % Window():
// that slot is the job's from its start until the caller's next Take (or the
// pipeline's end), never shared with another running job.
class TEntryPipeline {
public:
    // `progress` records a report for the caller; it answers -1 once the
    // entry has been abandoned, so a codec ends its input early. A job's
    // output stream should also stop at `abandoned`.
    using Job = std::function<void(size_t index, const TShowProgressEvent& progress,
                                   const std::atomic<bool>& abandoned)>;

    TEntryPipeline(size_t count, unsigned threads, Job job);
    ~TEntryPipeline();  // abandons what is still running and joins the workers
    TEntryPipeline(const TEntryPipeline&) = delete;
    TEntryPipeline& operator=(const TEntryPipeline&) = delete;

    // The slots of a pipeline of that many threads: callers size their
    // result storage with it before the workers start.
    static size_t WindowFor(unsigned threads) { return std::max(threads, 1u) + size_t{2}; }
    size_t Window() const { return slots_.size(); }

    struct Outcome {
        std::exception_ptr error;  // what the job raised, if anything
        // The number of the report to which onProgress answered -1, or -1: the
        // job ran on without that answer, so its result is not the serial one.
        int cancelledAt = -1;
        int relayed = 0;  // reports raised on onProgress
        // Whether the entry is to be coded again on the calling thread: its
        // handler ended the input, or the job's own buffer failed.
        bool Redo() const;
    };
    // Waits for entry `index` (ascending from call to call; entries passed
    // over are abandoned), raising onProgress on the calling thread with each
    // of its reports in their order, then gives its outcome. Its result stays
    // the caller's until the next Take.
    Outcome Take(size_t index, const TShowProgressEvent& onProgress);

private:
    struct Slot {
        size_t index = 0;
        bool running = false, done = false;
        std::atomic<bool> abandoned{false};
        std::vector<int32_t> reports;
        std::exception_ptr error;
    };
    void Work();
    void Stop();
    void Claim(Slot& slot, size_t index);  // under the lock: the slot is index's from now

    Job job_;
    size_t count_;
    std::vector<Slot> slots_;
    std::mutex mutex_;
    std::condition_variable changed_;
    size_t next_ = 0;   // the next entry a worker starts
    size_t taken_ = 0;  // entries before it are the caller's or abandoned
    size_t awaited_ = SIZE_MAX;  // the entry the caller waits for
    std::chrono::steady_clock::time_point lastWake_{};
    bool stopping_ = false;
    std::vector<std::thread> workers_;
};

// A progress handler for coding an entry again on the calling thread after
// a pipeline run whose outcome asks for it: the reports already raised are not
// raised again; when the handler answered -1 to one, that one answers -1 again;
// later ones reach the handler.
TShowProgressEvent ResumedProgress(const TShowProgressEvent& handler, const TEntryPipeline::Outcome& outcome);

// The failure of a job's own buffer (no temporary file could be made, or its
// directory is full), not of the entry: the entry is coded again on the
// calling thread, which needs no buffer.
class ESpillError : public EWriteError {};

// A seekable stream in memory up to `memoryLimit` bytes, moved into a
// temporary file (deleted with the stream) when it grows past it, so that
// entries in flight hold bounded memory whatever their size. The memory is
// blocks of one pool of SpillMemoryBudget bytes, shared by every spill stream
// of the process and never given back to the allocator: a stream that finds
// the pool spent moves to its file early, so that all entries in flight hold
// that much at most together, whatever the number of jobs. Writes raise
// EWriteError once `stop` is set. With `unnamedIn`, the file is an unnamed one
// in that directory where the platform has them, which a TSafeFileStream on
// the same file system can adopt instead of copying it.
class TSpillStream : public TStream {
public:
    TSpillStream(size_t memoryLimit, const std::atomic<bool>* stop = nullptr,
                 std::optional<std::string> unnamedIn = std::nullopt);
    ~TSpillStream() override;
    TSpillStream(const TSpillStream&) = delete;
    TSpillStream& operator=(const TSpillStream&) = delete;

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() override;
    // Writes out what a stream with `unnamedIn` holds back of its file's
    // bytes; ESpillError on failure. Reading or seeking does it too.
    void Flush();
    // The unnamed file that holds the bytes, if they went to one (and all
    // of them are written).
    platform::FileHandle UnnamedFile() const {
        return file_ && tempName_.empty() && buffered_ == 0 ? file_->Handle() : platform::InvalidFile;
    }

private:
    int32_t WriteFile(const void* buffer, int32_t count);  // all of it, or ESpillError
    bool Reserve(int64_t end);  // blocks for `end` bytes, within the limit and the pool
    void MoveToFile();
    void GiveBackBlocks();
    size_t memoryLimit_;
    const std::atomic<bool>* stop_;
    std::optional<std::string> unnamedIn_;
    std::vector<uint8_t*> blocks_;  // SpillBlockSize bytes each, from the pool
    int64_t size_ = 0, position_ = 0;
    std::string tempName_;
    std::unique_ptr<TFileStream> file_;
    uint8_t* writeBlock_ = nullptr;  // a block of the pool, for the file's last bytes
    int32_t buffered_ = 0;
};

// A read-only view of a stream shared between threads: each view keeps its
// own position, and every access seeks and reads the shared stream under the
// one lock; a file stream is read at the view's position without the lock
// (its own position is then not to be relied on while views read it).
class TStreamView : public TStream {
public:
    TStreamView(TStream& shared, std::mutex& lock)
        : shared_(shared), file_(dynamic_cast<TFileStream*>(&shared)), lock_(lock) {}

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void*, int32_t) override { return -1; }
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() override;

private:
    TStream& shared_;
    TFileStream* file_;
    std::mutex& lock_;
    int64_t position_ = 0;
};

// Memory a job's output may hold before it moves to a temporary file.
constexpr size_t EntryMemoryLimit = size_t{1} << 20;
// Memory all spill streams may hold together, in blocks of SpillBlockSize.
constexpr size_t SpillMemoryBudget = size_t{2} << 20;
constexpr size_t SpillBlockSize = size_t{64} << 10;
// Bytes of the pool's blocks now held by spill streams.
size_t SpillMemoryInUse();

}  // namespace quern
