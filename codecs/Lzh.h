// Method type 2, "LZH": adaptive Huffman sliding-window code (LHA's -lh1-).
#pragma once

#include <quern/CodecEngine.h>

namespace quern {

void CompressLZH(CodecIO& io);
void ExpandLZH(CodecIO& io, int32_t Destsize);

}  // namespace quern
