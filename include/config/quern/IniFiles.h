// TIniFile: the class library's profile-file writer, reduced to the two
// writes the hand-off settings file needs. Every write goes to the file at
// once; the object holds nothing but the file's name.
#pragma once

#include <cstdint>
#include <string>

#include <quern/Exceptions.h>
#include <quern/StringList.h>

namespace quern {

// A write the platform refused: "Unable to write to %s" with the file's name.
class EIniFileException : public Exception {
public:
    explicit EIniFileException(const std::string& fileName) : Exception("Unable to write to " + fileName) {}
};

class TIniFile : public TObject {
public:
    // The file need not exist; creation touches nothing.
    explicit TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

    // Leaves `section` holding the line key=value: a missing file is created,
    // a missing section appended, an existing key (ignoring case) replaced, a
    // new key appended to its section. The value is written unchanged.
    // Raises EIniFileException when the write is refused.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    // WriteString of the value's decimal text.
    void WriteInteger(const std::string& section, const std::string& key, int32_t value);

    const std::string& FileName() const { return fileName_; }

private:
    std::string fileName_;
};

}  // namespace quern
