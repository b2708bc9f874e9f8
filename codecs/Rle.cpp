#include "codecs/Rle.h"

#include <stdexcept>

void RleCompress(CodecIO&) { throw std::logic_error("RLE compressor not built yet"); }
void RleExpand(CodecIO&) { throw std::logic_error("RLE expander not built yet"); }
