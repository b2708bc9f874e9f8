#include <stdexcept>

#include "codecs/lh5/Lh5.h"

void Lh5Encode(CodecIO&) { throw std::logic_error("LH5 encoder not built yet"); }
