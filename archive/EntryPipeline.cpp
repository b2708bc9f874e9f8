#include "EntryPipeline.h"

#include <algorithm>
#include <cstring>

#include <quern/Platform.h>

namespace quern {

unsigned DefaultThreadCount() { return std::clamp(std::thread::hardware_concurrency(), 1u, MaxDefaultThreads); }

TEntryPipeline::TEntryPipeline(size_t count, unsigned threads, Job job)
    : job_(std::move(job)), count_(count), slots_(WindowFor(threads)) {
    // Two entries more than workers: one the caller is taking, one waiting,
    // so no worker idles while the caller copies a result out.
    const size_t workers = std::min<size_t>(std::max(threads, 1u), count);
    workers_.reserve(workers);
    try {
        for (size_t i = 0; i < workers; ++i) workers_.emplace_back([this] { Work(); });
    } catch (...) {
        Stop();  // no destructor runs for a constructor that failed
        throw;
    }
}

TEntryPipeline::~TEntryPipeline() { Stop(); }

void TEntryPipeline::Stop() {
    {
        std::lock_guard<std::mutex> hold(mutex_);
        stopping_ = true;
        for (auto& slot : slots_) slot.abandoned = true;
    }
    changed_.notify_all();
    for (auto& worker : workers_) worker.join();
    workers_.clear();
}

void TEntryPipeline::Work() {
    std::unique_lock<std::mutex> hold(mutex_);
    for (;;) {
        // The next entry starts once it is within the window and the job that
        // had its slot (perhaps an abandoned one) has ended.
        changed_.wait(hold, [&] {
            return stopping_ || next_ >= count_ ||
                   (next_ < taken_ + slots_.size() && !slots_[next_ % slots_.size()].running);
        });
        if (stopping_ || next_ >= count_) return;
        const size_t index = next_++;
        Slot& slot = slots_[index % slots_.size()];
        Claim(slot, index);
        hold.unlock();

        std::exception_ptr error;
        const TShowProgressEvent progress = [this, &slot](int32_t& percent) {
            bool wake = false;
            {
                std::lock_guard<std::mutex> report(mutex_);
                slot.reports.push_back(percent);
                // Reports of an entry the caller is not waiting for wait for
                // it, and the caller is woken for the one it waits for at most
                // every 20 ms: no wake-up per 8 KB read.
                if (slot.index == awaited_) {
                    const auto now = std::chrono::steady_clock::now();
                    if (now - lastWake_ >= std::chrono::milliseconds(20)) {
                        lastWake_ = now;
                        wake = true;
                    }
                }
            }
            if (wake) changed_.notify_all();
            if (slot.abandoned) percent = -1;
        };
        try {
            job_(index, progress, slot.abandoned);
        } catch (...) {
            error = std::current_exception();
        }

        hold.lock();
        slot.error = error;
        slot.running = false;
        slot.done = true;
        changed_.notify_all();
    }
}

void TEntryPipeline::Claim(Slot& slot, size_t index) {
    slot.index = index;
    slot.running = true;
    slot.done = false;
    slot.abandoned = false;
    slot.reports.clear();
    slot.error = nullptr;
}

TEntryPipeline::Outcome TEntryPipeline::Take(size_t index, const TShowProgressEvent& onProgress) {
    std::unique_lock<std::mutex> hold(mutex_);
    for (size_t passed = taken_; passed < index && passed < next_; ++passed) {
        Slot& slot = slots_[passed % slots_.size()];
        if (slot.index == passed) slot.abandoned = true;
    }
    taken_ = std::max(taken_, index);
    next_ = std::max(next_, taken_);  // nobody starts an entry that was passed over
    changed_.notify_all();

    Slot& slot = slots_[index % slots_.size()];
    awaited_ = index;
    const auto started = [&] { return index < next_ && slot.index == index; };
    Outcome outcome;
    size_t relayed = 0;
    for (;;) {
        if (!started() && index >= next_ && !slot.running) {
            // No worker has come to it (all busy, or not yet woken): the
            // caller codes it itself rather than wait, with its handler's
            // answers taking effect at once, as in a serial run.
            next_ = index + 1;
            Claim(slot, index);
            hold.unlock();
            const TShowProgressEvent direct = [&](int32_t& percent) {
                ++outcome.relayed;
                if (onProgress) onProgress(percent);
            };
            try {
                job_(index, direct, slot.abandoned);
            } catch (...) {
                outcome.error = std::current_exception();
            }
            hold.lock();
            slot.running = false;
            slot.done = true;
            changed_.notify_all();
            return outcome;
        }
        if (started()) {
            // The handler runs unlocked: it may take its time or draw on the
            // terminal while the workers go on.
            while (relayed < slot.reports.size()) {
                int32_t percent = slot.reports[relayed++];
                hold.unlock();
                if (onProgress && outcome.cancelledAt < 0) {
                    onProgress(percent);
                    ++outcome.relayed;
                    if (percent == -1) outcome.cancelledAt = static_cast<int>(relayed - 1);
                }
                hold.lock();
            }
            if (slot.done) break;
        }
        changed_.wait(hold);
    }
    outcome.error = slot.error;
    return outcome;
}

bool TEntryPipeline::Outcome::Redo() const {
    if (cancelledAt >= 0) return true;
    if (!error) return false;
    try {
        std::rethrow_exception(error);
    } catch (const ESpillError&) {
        return true;
    } catch (...) {
        return false;
    }
}

TShowProgressEvent ResumedProgress(const TShowProgressEvent& handler, const TEntryPipeline::Outcome& outcome) {
    const int cancelledAt = outcome.cancelledAt, raised = outcome.relayed;
    auto seen = std::make_shared<int>(0);
    return [handler, cancelledAt, raised, seen](int32_t& percent) {
        const int n = (*seen)++;
        if (n == cancelledAt) percent = -1;
        else if (n >= raised && handler) handler(percent);
    };
}

namespace {

// The spill streams' blocks. A block given back waits for the next stream:
// blocks freed on one thread and taken on another would leave each thread's
// allocator keeping its own peak.
class TSpillPool {
public:
    uint8_t* Take() {
        std::lock_guard<std::mutex> hold(lock_);
        if (free_.empty()) {
            if (made_ == SpillMemoryBudget / SpillBlockSize) return nullptr;
            free_.push_back(std::make_unique<uint8_t[]>(SpillBlockSize));
            ++made_;
        }
        uint8_t* block = free_.back().release();
        free_.pop_back();
        ++used_;
        return block;
    }
    void GiveBack(uint8_t* block) {
        std::lock_guard<std::mutex> hold(lock_);
        free_.emplace_back(block);
        --used_;
    }
    size_t Used() {
        std::lock_guard<std::mutex> hold(lock_);
        return used_ * SpillBlockSize;
    }

private:
    std::mutex lock_;
    std::vector<std::unique_ptr<uint8_t[]>> free_;
    size_t made_ = 0, used_ = 0;
};

// Never destroyed: a job still running while the program exits may give
// its blocks back.
TSpillPool& SpillPool() {
    static TSpillPool* const pool = new TSpillPool;
    return *pool;
}

}  // namespace

size_t SpillMemoryInUse() { return SpillPool().Used(); }

TSpillStream::TSpillStream(size_t memoryLimit, const std::atomic<bool>* stop, std::optional<std::string> unnamedIn)
    : memoryLimit_(memoryLimit), stop_(stop), unnamedIn_(std::move(unnamedIn)) {
    blocks_.reserve((std::min(memoryLimit, SpillMemoryBudget) + SpillBlockSize - 1) / SpillBlockSize);
}

TSpillStream::~TSpillStream() {
    GiveBackBlocks();
    if (writeBlock_) SpillPool().GiveBack(writeBlock_);
    file_.reset();
    if (!tempName_.empty()) platform::DeleteFile(tempName_);
}

void TSpillStream::GiveBackBlocks() {
    for (uint8_t* block : blocks_) SpillPool().GiveBack(block);
    blocks_.clear();
}

int32_t TSpillStream::Read(void* buffer, int32_t count) {
    if (file_) {
        Flush();
        const int32_t n = file_->Read(buffer, count);
        if (n > 0) position_ += n;
        return n;
    }
    if (count <= 0 || position_ >= size_) return 0;
    const auto n = static_cast<int32_t>(std::min<int64_t>(count, size_ - position_));
    auto* to = static_cast<uint8_t*>(buffer);
    for (int32_t done = 0; done < n;) {
        const auto at = static_cast<size_t>(position_);
        const auto k = static_cast<int32_t>(std::min<size_t>(n - done, SpillBlockSize - at % SpillBlockSize));
        std::memcpy(to + done, blocks_[at / SpillBlockSize] + at % SpillBlockSize, static_cast<size_t>(k));
        done += k;
        position_ += k;
    }
    return n;
}

int32_t TSpillStream::Write(const void* buffer, int32_t count) {
    if (stop_ && *stop_) throw EWriteError();
    if (file_) return WriteFile(buffer, count);
    if (count <= 0) return 0;
    if (!Reserve(position_ + count)) {
        // Past the limit or the pool: everything so far goes to a fresh
        // temporary file, which takes this write and all later ones.
        MoveToFile();
        return WriteFile(buffer, count);
    }
    // A write past the end leaves zeros before it, as in memory streams.
    for (int64_t at = size_; at < position_;) {
        const auto offset = static_cast<size_t>(at) % SpillBlockSize;
        const auto k = std::min<int64_t>(position_ - at, static_cast<int64_t>(SpillBlockSize - offset));
        std::memset(blocks_[static_cast<size_t>(at) / SpillBlockSize] + offset, 0, static_cast<size_t>(k));
        at += k;
    }
    const auto* from = static_cast<const uint8_t*>(buffer);
    for (int32_t done = 0; done < count;) {
        const auto at = static_cast<size_t>(position_);
        const auto k = static_cast<int32_t>(std::min<size_t>(count - done, SpillBlockSize - at % SpillBlockSize));
        std::memcpy(blocks_[at / SpillBlockSize] + at % SpillBlockSize, from + done, static_cast<size_t>(k));
        done += k;
        position_ += k;
    }
    size_ = std::max(size_, position_);
    return count;
}

bool TSpillStream::Reserve(int64_t end) {
    if (end > static_cast<int64_t>(memoryLimit_)) return false;
    const auto needed = static_cast<size_t>((end + static_cast<int64_t>(SpillBlockSize) - 1) /
                                            static_cast<int64_t>(SpillBlockSize));
    const size_t had = blocks_.size();
    while (blocks_.size() < needed) {
        uint8_t* block = SpillPool().Take();
        if (!block) {
            // All or none: the write goes to the file whole.
            while (blocks_.size() > had) {
                SpillPool().GiveBack(blocks_.back());
                blocks_.pop_back();
            }
            return false;
        }
        blocks_.push_back(block);
    }
    return true;
}

void TSpillStream::MoveToFile() {
    const platform::FileHandle unnamed =
        unnamedIn_ ? platform::CreateUnnamedFile(*unnamedIn_) : platform::InvalidFile;
    if (unnamed != platform::InvalidFile) {
        file_ = std::make_unique<TFileStream>(unnamed, *unnamedIn_);
    } else {
        tempName_ = platform::CreateTempFileName(platform::TempPath(), "qsp");
        if (tempName_.empty()) throw ESpillError();
        try {
            file_ = std::make_unique<TFileStream>(tempName_, fmOpenReadWrite | fmShareExclusive);
        } catch (const EStreamError&) {
            throw ESpillError();
        }
    }
    for (int64_t at = 0; at < size_;) {
        const auto k = static_cast<int32_t>(std::min<int64_t>(size_ - at, static_cast<int64_t>(SpillBlockSize)));
        if (file_->Write(blocks_[static_cast<size_t>(at) / SpillBlockSize], k) != k) throw ESpillError();
        at += k;
    }
    file_->SetPosition(position_);
    if (unnamedIn_) {
        // One block gathers the codec's 8 KB writes into fewer system calls.
        if (!blocks_.empty()) {
            writeBlock_ = blocks_.back();
            blocks_.pop_back();
        } else {
            writeBlock_ = SpillPool().Take();
        }
    }
    GiveBackBlocks();
}

// Position and size stay tracked in the file too: the file is this stream's
// own, and Size() needs no system call. Bytes held back in the write block
// are always the file's last ones: they are written before any other access.
int32_t TSpillStream::WriteFile(const void* buffer, int32_t count) {
    if (count <= 0) return 0;
    if (writeBlock_ && position_ == size_ && count < static_cast<int32_t>(SpillBlockSize)) {
        if (buffered_ + count > static_cast<int32_t>(SpillBlockSize)) Flush();
        std::memcpy(writeBlock_ + buffered_, buffer, static_cast<size_t>(count));
        buffered_ += count;
    } else {
        Flush();
        if (file_->Write(buffer, count) != count) throw ESpillError();
    }
    position_ += count;
    size_ = std::max(size_, position_);
    return count;
}

void TSpillStream::Flush() {
    if (buffered_ == 0) return;
    const int32_t n = buffered_;
    buffered_ = 0;
    if (file_->Write(writeBlock_, n) != n) throw ESpillError();
}

int64_t TSpillStream::Seek(int64_t offset, SeekOrigin origin) {
    const int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? position_ : size_;
    const int64_t to = std::max<int64_t>(0, base + offset);
    if (file_ && to != position_) {
        Flush();
        if (file_->Seek(to, SeekOrigin::Begin) < 0) return -1;
    }
    position_ = to;
    return position_;
}

int64_t TSpillStream::Size() { return size_; }

int32_t TStreamView::Read(void* buffer, int32_t count) {
    int32_t n = 0;
    if (file_) {
        n = platform::ReadFileAt(file_->Handle(), position_, buffer, count);
    } else {
        std::lock_guard<std::mutex> hold(lock_);
        shared_.SetPosition(position_);
        n = shared_.Read(buffer, count);
    }
    if (n > 0) position_ += n;
    return n;
}

int64_t TStreamView::Seek(int64_t offset, SeekOrigin origin) {
    int64_t base = position_;
    if (origin == SeekOrigin::Begin) base = 0;
    if (origin == SeekOrigin::End) base = Size();
    position_ = std::max<int64_t>(0, base + offset);
    return position_;
}

int64_t TStreamView::Size() {
    std::lock_guard<std::mutex> hold(lock_);
    return shared_.Size();
}

}  // namespace quern
