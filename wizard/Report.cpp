#include "wizard/Report.h"

#include <quern/Stream.h>

namespace quern {

std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    return text;
}

void TInstallReport::Line(const std::string& name, const std::string& value) {
    text_ += OneLine(name) + "=" + OneLine(value) + "\n";
}

void TInstallReport::WriteTo(const std::string& path) const {
    TFileStream file(path, fmCreate);
    file.WriteBuffer(text_.data(), static_cast<int32_t>(text_.size()));
}

}  // namespace quern
