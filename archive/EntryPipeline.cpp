#include "EntryPipeline.h"

#include <algorithm>

#include <quern/Platform.h>

namespace quern {

unsigned DefaultThreadCount() { return std::max(1u, std::thread::hardware_concurrency()); }

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

TSpillStream::TSpillStream(size_t memoryLimit, const std::atomic<bool>* stop)
    : memoryLimit_(memoryLimit), stop_(stop) {}

TSpillStream::~TSpillStream() {
    file_.reset();
    if (!tempName_.empty()) platform::DeleteFile(tempName_);
}

int32_t TSpillStream::Read(void* buffer, int32_t count) {
    return file_ ? file_->Read(buffer, count) : memory_.Read(buffer, count);
}

int32_t TSpillStream::Write(const void* buffer, int32_t count) {
    if (stop_ && *stop_) throw EWriteError();
    if (file_) return WriteFile(buffer, count);
    const int64_t end = memory_.Position() + std::max(count, 0);
    if (end <= static_cast<int64_t>(memoryLimit_)) return memory_.Write(buffer, count);
    // Past the limit: everything so far goes to a fresh temporary file, which
    // takes this write and all later ones.
    tempName_ = platform::CreateTempFileName(platform::TempPath(), "qsp");
    if (tempName_.empty()) throw ESpillError();
    try {
        file_ = std::make_unique<TFileStream>(tempName_, fmOpenReadWrite | fmShareExclusive);
    } catch (const EStreamError&) {
        throw ESpillError();
    }
    const int64_t position = memory_.Position();
    const auto& bytes = memory_.Bytes();
    if (file_->Write(bytes.data(), static_cast<int32_t>(bytes.size())) != static_cast<int32_t>(bytes.size()))
        throw ESpillError();
    file_->SetPosition(position);
    memory_ = TMemoryStream();
    return WriteFile(buffer, count);
}

int32_t TSpillStream::WriteFile(const void* buffer, int32_t count) {
    if (file_->Write(buffer, count) != count) throw ESpillError();
    return count;
}

int64_t TSpillStream::Seek(int64_t offset, SeekOrigin origin) {
    return file_ ? file_->Seek(offset, origin) : memory_.Seek(offset, origin);
}

int64_t TSpillStream::Size() { return file_ ? file_->Size() : memory_.Size(); }

int32_t TStreamView::Read(void* buffer, int32_t count) {
    std::lock_guard<std::mutex> hold(lock_);
    shared_.SetPosition(position_);
    const int32_t n = shared_.Read(buffer, count);
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
