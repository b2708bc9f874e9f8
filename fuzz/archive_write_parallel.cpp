// Writing an archive with its entries coded on two threads must write the
// archive of one thread: the same bytes, the same OnEntry and progress
// events in the same order, the same failure. Input layout:
//   byte 0   bits 0..3: n > 0 makes the progress handler answer -1 to its
//            n-th report; bit 4: the writer has a key
//   then entries, each: a kind byte (type = kind % 5, type 3 copied by
//   OnCompress; lock flag = kind / 5 % 3), a 16-bit little-endian length
//   (cut to what is left) and that many bytes of data.
#include <algorithm>
#include <string>
#include <typeinfo>
#include <vector>

#include <quern/ArchiveWriter.h>
#include "fuzz/FuzzSupport.h"

using namespace quern;

namespace {

struct Written {
    fuzz::Bytes archive;
    std::vector<std::string> events;
    std::string error;
    bool operator==(const Written&) const = default;
};

Written Write(const uint8_t* data, size_t size, unsigned threads) {
    Written w;
    TArchiveWriter writer;
    writer.Threads = threads;
    writer.Key = (data[0] & 0x10) ? fuzz::FuzzKey : 0;
    writer.CompressID = "#CU";
    writer.OnCompress = [](TStream& dest, TStream& source, std::string&, int32_t&, int32_t& checksum) {
        uint8_t buffer[4096];
        uint32_t sum = 0;
        for (int32_t n; (n = source.Read(buffer, sizeof buffer)) > 0;) {
            for (int32_t i = 0; i < n; ++i) sum += buffer[i];
            dest.WriteBuffer(buffer, n);
        }
        checksum = static_cast<int32_t>(sum);
    };
    const int cancelAt = data[0] & 15;
    int reports = 0;
    writer.OnEntry = [&](int index) { w.events.push_back("entry " + std::to_string(index)); };
    writer.OnShowProgress = [&](int32_t& percent) {
        w.events.push_back(std::to_string(percent) + "%");
        if (++reports == cancelAt) percent = -1;
    };
    int index = 0;
    for (size_t at = 1; at + 3 <= size; ++index) {
        const uint8_t kind = data[at];
        const size_t length = std::min<size_t>(data[at + 1] | (data[at + 2] << 8), size - at - 3);
        at += 3;
        writer.AddMemory("entry" + std::to_string(index), fuzz::Bytes(data + at, data + at + length), 0x25616BC9,
                         0x20, static_cast<uint8_t>(kind % 5), kind / 5 % 3);
        at += length;
    }
    TMemoryStream out;
    try {
        writer.WriteToStream(out);
    } catch (const Exception& x) {
        w.error = std::string(typeid(x).name()) + ": " + x.Message;
    }
    w.archive = out.Bytes();
    return w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    FUZZ_CHECK(Write(data, size, 2) == Write(data, size, 1));
    return 0;
}
