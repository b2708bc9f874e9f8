// Method type 1, "RLE": byte run-length code with the marker byte 0x94.
#pragma once

#include <quern/CodecEngine.h>

namespace quern {

void RleCompress(CodecIO& io);
void RleExpand(CodecIO& io);

}  // namespace quern
