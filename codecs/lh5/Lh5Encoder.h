// The LH5 encoder with a test seam: the same run as Lh5Encode, with every
// chosen item also shown to an observer.
#pragma once

#include "codecs/lh5/Lh5.h"
#include "codecs/lh5/Lh5BlockWriter.h"

namespace quern {

void Lh5EncodeObserved(CodecIO& io, Lh5ItemObserver* observer);

}  // namespace quern
