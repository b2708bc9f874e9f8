// The LH5 encoder with a test seam: the same run as Lh5Encode, with every
// chosen item also shown to an observer.
#pragma once

#include "Lh5.h"
#include "Lh5BlockWriter.h"

namespace quern {

void Lh5EncodeObserved(CodecIO& io, Lh5ItemObserver* observer);

}  // namespace quern
