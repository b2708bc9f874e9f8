// A memory stream that counts the calls the dispatcher makes on it.
#pragma once

#include <cstdint>
#include <vector>

#include <quern/Stream.h>

using namespace quern;

namespace codec_test {

class CountingStream : public TMemoryStream {
public:
    CountingStream() = default;
    explicit CountingStream(std::vector<uint8_t> bytes) : TMemoryStream(std::move(bytes)) {}
    int32_t Read(void* buffer, int32_t count) override {
        ++Reads;
        return TMemoryStream::Read(buffer, count);
    }
    int32_t Write(const void* buffer, int32_t count) override {
        ++Writes;
        return TMemoryStream::Write(buffer, count);
    }
    int Reads = 0;
    int Writes = 0;
};

}  // namespace codec_test
