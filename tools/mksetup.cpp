// mksetup: makes a setup executable from a stub, an embedded archive and a
// payload:  stub + padding to the scan start + "Qnt_!" + ArchiveLength +
// PayloadSize + archive + payload (integers little-endian) + the integrity
// record (setup/Integrity.h).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "archive/ArchiveWriter.h"
#include "config/Myini.h"
#include "platform/Platform.h"
#include "setup/Genfile.h"
#include "setup/Integrity.h"
#include "setup/Payload.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char* const kUsage =
    "usage: mksetup -o OUT [--stub STUB] [-m METHOD] (--wizard DIR | --archive FILE)\n"
    "               --payload (DIR | FILE)\n"
    "\n"
    "Makes a setup executable: the stub program, padded to the scan start,\n"
    "followed by the trailer, the embedded archive, the payload and an\n"
    "integrity record (a CRC-32 of trailer, archive and payload).\n"
    "\n"
    "  -o OUT          the setup executable to write\n"
    "  --stub STUB     the stub program (default: the setup stub built with mksetup)\n"
    "  --wizard DIR    the wizard's files: inst32.exe, install.ini, optional\n"
    "                  readme.txt and the .lng file of each language that\n"
    "                  install.ini names; archived as \"<temp>\\NAME\"\n"
    "  --archive FILE  a ready embedded archive instead of --wizard\n"
    "  --payload DIR   the tree to install, archived with names relative to DIR\n"
    "  --payload FILE  a ready payload archive (or any bytes) instead\n"
    "  -m METHOD       coding of the archives made from directories:\n"
    "                  lh5 (default), lzh, rle or none; files that would not\n"
    "                  shrink are stored\n";

struct Failure {
    std::string message;
};

Bytes ReadWhole(const std::string& path, const char* what) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw Failure{std::string("cannot read ") + what + " " + path};
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::string DefaultStub() {
#ifdef _WIN32
    const char* name = "setup.exe";
#else
    const char* name = "setup";
#endif
    const std::string here = platform::ExtractFilePath(platform::ModuleFileName());
    for (const std::string& candidate : {here + name, here + ".." + platform::PathDelim + "setup" +
                                                          platform::PathDelim + name})
        if (platform::FileExists(candidate)) return candidate;
    throw Failure{"no stub found beside mksetup; name one with --stub"};
}

bool ContainsMagic(const Bytes& data, size_t from) {
    const auto magic = PayloadMagic();
    for (size_t i = from; i + magic.size() <= data.size(); ++i)
        if (std::memcmp(data.data() + i, magic.data(), magic.size()) == 0) return true;
    return false;
}

uint8_t MethodType(const std::string& name) {
    if (name == "lh5") return ctLh5;
    if (name == "lzh") return ctLzh;
    if (name == "rle") return ctRle;
    if (name == "none") return ctNone;
    throw Failure{"unknown method " + name + " (lh5, lzh, rle or none)"};
}

Bytes ArchiveBytes(TArchiveWriter& writer) {
    TMemoryStream stream;
    writer.WriteToStream(stream);
    return stream.Bytes();
}

// The file of the wizard directory named `name` ignoring ASCII case, as the
// setup asks for the wizard's files ignoring case too; "" when absent.
std::string FindIgnoringCase(const std::filesystem::path& dir, const std::string& name) {
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.is_regular_file() && SameAsciiText(entry.path().filename().string(), name))
            return entry.path().filename().string();
    return {};
}

// The embedded archive: the wizard's files under "<temp>\", checked first.
Bytes WizardArchive(const std::string& dir, uint8_t method) {
    namespace fs = std::filesystem;
    if (!fs::is_directory(dir)) throw Failure{"wizard directory " + dir + " does not exist"};
    const fs::path root(dir);
    std::vector<std::string> files;
    for (const char* required : {"install.ini", "inst32.exe"}) {
        files.push_back(FindIgnoringCase(root, required));
        if (files.back().empty())
            throw Failure{std::string("the wizard directory has no ") + required + ": " + (root / required).string()};
    }
    if (const std::string readme = FindIgnoringCase(root, "readme.txt"); !readme.empty()) files.push_back(readme);
    TStringList languages;
    TMyIniFile((root / files[0]).string()).ReadSection("Languages", languages);
    for (int i = 0; i < languages.Count(); ++i) {
        const std::string lng = languages.Strings(i) + ".lng";
        files.push_back(FindIgnoringCase(root, lng));
        if (files.back().empty())
            throw Failure{"install.ini names the language \"" + languages.Strings(i) +
                          "\" but the wizard directory has no " + lng};
    }
    TArchiveWriter writer;
    for (const std::string& file : files) writer.AddFile((root / file).string(), "<temp>\\" + file, method);
    return ArchiveBytes(writer);
}

// The payload archive: every file below dir, names relative with "\\".
Bytes PayloadArchive(const std::string& dir, uint8_t method) {
    namespace fs = std::filesystem;
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file()) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    if (files.empty()) throw Failure{"the payload directory " + dir + " holds no files"};
    TArchiveWriter writer;
    for (const auto& file : files)
        writer.AddFile(file.string(), platform::ToStoredSeparators(fs::relative(file, dir).string()), method);
    return ArchiveBytes(writer);
}

int Run(int argc, char** argv) {
    std::optional<std::string> out, stub, archive, payload, wizard, method;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::optional<std::string>& slot) {
            if (i + 1 >= argc) throw Failure{"option " + arg + " needs a value"};
            slot = argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return 0;
        } else if (arg == "-o") value(out);
        else if (arg == "--stub") value(stub);
        else if (arg == "--archive") value(archive);
        else if (arg == "--wizard") value(wizard);
        else if (arg == "-m") value(method);
        else if (arg == "--payload") value(payload);
        else throw Failure{"unknown argument " + arg + " (see mksetup --help)"};
    }
    if (!out) throw Failure{"no output given (-o OUT)"};
    if (archive && wizard) throw Failure{"give either --wizard DIR or --archive FILE, not both"};
    if (!archive && !wizard) throw Failure{"no wizard given (--wizard DIR or --archive FILE)"};
    if (!payload) throw Failure{"no payload given (--payload DIR or FILE)"};
    const uint8_t type = MethodType(method ? *method : "lh5");

    Bytes image = ReadWhole(stub ? *stub : DefaultStub(), "stub");
    const Bytes archiveBytes = wizard ? WizardArchive(*wizard, type) : ReadWhole(*archive, "archive");
    const Bytes payloadBytes =
        std::filesystem::is_directory(*payload) ? PayloadArchive(*payload, type) : ReadWhole(*payload, "payload");
    if (archiveBytes.size() > 0x7FFFFFFF || payloadBytes.size() > 0x7FFFFFFF)
        throw Failure{"archive and payload must each be smaller than 2 GB"};
    // The scan starts at a fixed offset: a stub's own bytes from there on must
    // not contain the magic, or the setup would find the wrong trailer.
    if (ContainsMagic(image, PayloadScanStart)) throw Failure{"the stub itself contains the payload magic"};
    if (image.size() < static_cast<size_t>(PayloadScanStart)) image.resize(PayloadScanStart, 0);

    // The setup reads the payload's start and the record's offset as signed
    // 32-bit numbers: everything up to the record's end has to fit in them.
    const uint64_t recordStart = image.size() + PayloadTrailerSize + archiveBytes.size() + payloadBytes.size();
    if (recordStart + IntegrityRecordSize > 0x7FFFFFFF)
        throw Failure{"the setup would be larger than 2 GB: the payload's start (" +
                      std::to_string(image.size() + PayloadTrailerSize + archiveBytes.size()) +
                      ") and its end must fit in a signed 32-bit offset"};

    const size_t trailerAt = image.size();
    const auto trailer = PayloadTrailer(static_cast<int32_t>(archiveBytes.size()), static_cast<int32_t>(payloadBytes.size()));
    image.insert(image.end(), trailer.begin(), trailer.end());
    image.insert(image.end(), archiveBytes.begin(), archiveBytes.end());
    image.insert(image.end(), payloadBytes.begin(), payloadBytes.end());
    // The integrity record follows the payload; its CRC runs from the trailer
    // on, so it can be computed while the parts are streamed out.
    IntegrityRecord record;
    record.ArchiveLength = static_cast<int32_t>(archiveBytes.size());
    record.PayloadSize = static_cast<int32_t>(payloadBytes.size());
    record.RecordStart = static_cast<uint32_t>(recordStart);
    record.DataCrc = Crc32(image.data() + trailerAt, image.size() - trailerAt);
    const auto recordBytes = IntegrityRecordBytes(record);
    image.insert(image.end(), recordBytes.begin(), recordBytes.end());

    const std::string temp = *out + ".part";
    {
        std::ofstream file(temp, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
        if (!file) {
            std::remove(temp.c_str());
            throw Failure{"cannot write " + *out};
        }
    }
    std::remove(out->c_str());
    if (std::rename(temp.c_str(), out->c_str()) != 0) {
        std::remove(temp.c_str());
        throw Failure{"cannot write " + *out};
    }
    std::error_code ignored;
    std::filesystem::permissions(*out, std::filesystem::perms::owner_exec | std::filesystem::perms::group_exec |
                                           std::filesystem::perms::others_exec,
                                 std::filesystem::perm_options::add, ignored);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const Failure& f) {
        std::cerr << "mksetup: " << f.message << "\n";
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "mksetup: " << e.what() << "\n";
        return 1;
    }
}
