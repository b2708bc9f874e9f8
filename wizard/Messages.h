// The wizard's console texts: built-in English, replaced key by key from the
// chosen language's .lng file, section [Messages]:
//   Installing  "Installing %1 into %2"     %1 product, %2 destination
//   ReadMe      "Read me:"                  heading before the read-me text
//   File        "  %1 (%2 bytes)"           %1 stored name, %2 size
//   Done        "%1 is installed (%2 files)." %1 product, %2 file count
//   Failed      "Installation failed: %1"   %1 the reason (stderr)
// "%1" and "%2" are replaced wherever they appear and "%%" gives "%";
// texts from a file are never used as printf formats.
#pragma once

#include <map>
#include <string>

namespace quern {

class TMessages {
public:
    TMessages();
    // Takes the keys of section [Messages] that the file defines; false when
    // the file does not exist (the built-in texts stay).
    bool LoadLanguageFile(const std::string& path);
    std::string Text(const std::string& key, const std::string& arg1 = {}, const std::string& arg2 = {}) const;

private:
    std::map<std::string, std::string> texts_;
};

}  // namespace quern
