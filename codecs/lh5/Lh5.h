// Method type 4, "LH5": LHA's -lh5- static Huffman sliding-window code.
#pragma once

#include <quern/CodecEngine.h>

namespace quern {

void Lh5Encode(CodecIO& io);
void Lh5Decode(CodecIO& io, int32_t expectedSize);

}  // namespace quern
