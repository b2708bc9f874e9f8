#include "codecs/Lzh.h"

#include <stdexcept>

void CompressLZH(CodecIO&) { throw std::logic_error("LZH compressor not built yet"); }
void ExpandLZH(CodecIO&, int32_t) { throw std::logic_error("LZH expander not built yet"); }
