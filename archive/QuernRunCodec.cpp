// TQuern::RunCodec links every compressor, so it lives apart from the
// expansion, which the setup stub links.
#include <quern/Quern.h>

namespace quern {

int32_t TQuern::RunCodec(TStream& dest, TStream& source, int32_t Sourcesize, int32_t Destsize, uint8_t method,
                         uint32_t& checksum, bool Expanding, bool Scrambled) {
    const CodecSettings settings{Key, CompressReserve, OnShowProgress};
    return quern::RunCodec(dest, source, Sourcesize, Destsize, method, checksum, Expanding, Scrambled, settings);
}

}  // namespace quern
