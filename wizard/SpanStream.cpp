#include "wizard/SpanStream.h"

#include <algorithm>

namespace quern {

int32_t TSpanStream::Read(void* buffer, int32_t count) {
    if (count <= 0 || position_ >= size_) return 0;
    const auto wanted = static_cast<int32_t>(std::min<int64_t>(count, size_ - position_));
    if (base_.Seek(start_ + position_, SeekOrigin::Begin) != start_ + position_) return -1;
    const int32_t got = base_.Read(buffer, wanted);
    if (got > 0) position_ += got;
    return got;
}

int32_t TSpanStream::Write(const void*, int32_t) { return -1; }

int64_t TSpanStream::Seek(int64_t offset, SeekOrigin origin) {
    const int64_t base = origin == SeekOrigin::Begin ? 0 : origin == SeekOrigin::Current ? position_ : size_;
    // Offsets come from archive headers; keep the sum from overflowing.
    if ((offset > 0 && base > INT64_MAX - offset) || base + offset < 0) return -1;
    position_ = base + offset;
    return position_;
}

}  // namespace quern
