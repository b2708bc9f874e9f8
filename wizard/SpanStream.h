// A read-only window onto part of another stream: the installation payload
// inside the setup executable, read in place rather than copied to memory.
#pragma once

#include <cstdint>

#include <quern/Stream.h>

namespace quern {

class TSpanStream : public TStream {
public:
    // The span [start, start + size) of base; the caller has checked that it
    // lies inside base and keeps base alive.
    TSpanStream(TStream& base, int64_t start, int64_t size) : base_(base), start_(start), size_(size) {}

    // Never reads past the span's end, wherever the position was moved.
    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;  // always -1
    // Positions before 0 are refused (-1, position unchanged); beyond the end
    // they are allowed and read as the end.
    int64_t Seek(int64_t offset, SeekOrigin origin) override;
    int64_t Size() override { return size_; }

private:
    TStream& base_;
    int64_t start_;
    int64_t size_;
    int64_t position_ = 0;
};

}  // namespace quern
