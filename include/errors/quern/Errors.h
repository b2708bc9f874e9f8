// The archive component's exception classes, declared in this order, each
// carrying only its message. They sit below the codecs, which raise them too;
// callers tell failures apart by class.
#pragma once

#include <string>

#include <quern/Exceptions.h>

namespace quern {

class ELZHBadDecodeTable : public Exception {
public:
    ELZHBadDecodeTable() : Exception("Bad decode table in archive!") {}
};
class EUnableToCompress : public Exception {
public:
    EUnableToCompress() : Exception("Could not compress data") {}
};
class EInsufficientDiskSpace : public Exception {
public:
    explicit EInsufficientDiskSpace(const std::string& target)
        : Exception("Not enough disk space to expand " + target) {}
};
class EUnrecognizedCompressionMethod : public Exception {
public:
    explicit EUnrecognizedCompressionMethod(const std::string& id)
        : Exception("Unrecognized compression method: \"" + id + "\" in header") {}
};
class EInvalidHeaderArchiveType : public Exception {
public:
    EInvalidHeaderArchiveType() : Exception("Archive type must be caMulti") {}
};
class EInvalidHeader : public Exception {
public:
    EInvalidHeader() : Exception("Can't recognize compressed file header") {}
};
class EBadChecksum : public Exception {
public:
    EBadChecksum() : Exception("Bad checksum during expansion -- data may be invalid") {}

protected:
    explicit EBadChecksum(const std::string& message) : Exception(message) {}
};
// Damaged data found before the checksum: a compressed stream that needs more
// bits than its stored span holds. Handlers of bad data catch it as EBadChecksum.
class EUnexpectedEndOfData : public EBadChecksum {
public:
    EUnexpectedEndOfData() : EBadChecksum("Unexpected end of compressed data") {}
};
class EInvalidKey : public Exception {
public:
    EInvalidKey() : Exception("File locked -- valid key required") {}
};

}  // namespace quern
