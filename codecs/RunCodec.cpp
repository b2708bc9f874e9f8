// The two-way dispatcher. Kept out of CodecEngine.cpp: whatever links it links
// every compressor.
#include <quern/CodecEngine.h>

#include <memory>

#include "Lzh.h"
#include "Rle.h"
#include "lh5/Lh5.h"

namespace quern {

int32_t RunCodec(TStream& dest, TStream& source, int32_t Sourcesize, int32_t Destsize, uint8_t method,
                 uint32_t& checksum, bool Expanding, bool Scrambled, const CodecSettings& settings) {
    if (Expanding) return RunExpansion(dest, source, Sourcesize, Destsize, method, checksum, Scrambled, settings);
    auto io = std::make_unique<CodecIO>(dest, source, Sourcesize, false, Scrambled, settings);
    switch (method) {
        case ctRle: RleCompress(*io); break;
        case ctLzh: CompressLZH(*io); break;
        case ctLh5: Lh5Encode(*io); break;
        default: break;
    }
    io->FlushRest();
    checksum = io->InputSum();
    return io->OutputCount();
}

}  // namespace quern
