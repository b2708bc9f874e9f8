// quern_codec: one codec over one file through RunCodec, for profiling and for
// the side-by-side comparison with LHA tools (bench/peers.sh).
//
//   quern_codec enc rle|lzh|lh5 IN OUT         raw coded stream
//   quern_codec dec rle|lzh|lh5 IN OUT SIZE    raw coded stream back to SIZE bytes
//   quern_codec lha lzh|lh5 IN CODED OUT.lzh   CODED (from enc of IN) as an LHA
//                                              member (-lh1-/-lh5-, level 0, CRC-16)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <quern/CodecEngine.h>

using namespace quern;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadAll(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "quern_codec: cannot open %s\n", path);
        std::exit(1);
    }
    in.seekg(0, std::ios::end);
    Bytes bytes(static_cast<size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

void WriteAll(const char* path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "quern_codec: cannot write %s\n", path);
        std::exit(1);
    }
}

uint8_t MethodType(const std::string& name) {
    if (name == "rle") return ctRle;
    if (name == "lzh") return ctLzh;
    if (name == "lh5") return ctLh5;
    std::fprintf(stderr, "quern_codec: unknown method %s\n", name.c_str());
    std::exit(2);
}

// CRC-16/ARC, the check LHA keeps of the original data.
uint16_t Crc16(const Bytes& data) {
    uint16_t crc = 0;
    for (uint8_t b : data) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = static_cast<uint16_t>((crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1);
    }
    return crc;
}

void PutLe(Bytes& out, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes LhaMember(const std::string& method, const Bytes& original, const Bytes& coded) {
    const std::string name = "data.bin";
    Bytes h;
    h.push_back(0);  // header size, set below
    h.push_back(0);  // header checksum, set below
    h.insert(h.end(), method.begin(), method.end());
    PutLe(h, static_cast<uint32_t>(coded.size()), 4);
    PutLe(h, static_cast<uint32_t>(original.size()), 4);
    PutLe(h, 0x5A210000, 4);  // 2025-01-01 00:00 as a DOS date and time
    h.push_back(0x20);        // archive attribute
    h.push_back(0);           // header level 0
    h.push_back(static_cast<uint8_t>(name.size()));
    h.insert(h.end(), name.begin(), name.end());
    PutLe(h, Crc16(original), 2);
    h[0] = static_cast<uint8_t>(h.size() - 2);
    uint8_t sum = 0;
    for (size_t i = 2; i < h.size(); ++i) sum = static_cast<uint8_t>(sum + h[i]);
    h[1] = sum;
    h.insert(h.end(), coded.begin(), coded.end());
    h.push_back(0);  // end of archive
    return h;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: quern_codec enc|dec|lha METHOD IN OUT [SIZE|OUT.lzh]\n");
        return 2;
    }
    const std::string mode = argv[1];
    const uint8_t method = MethodType(argv[2]);
    if (mode == "lha" && argc == 6) {
        const Bytes original = ReadAll(argv[3]);
        const Bytes coded = ReadAll(argv[4]);
        WriteAll(argv[5], LhaMember(method == ctLh5 ? "-lh5-" : "-lh1-", original, coded));
        return 0;
    }
    CodecSettings settings;
    settings.CompressReserve = -(1 << 30);  // incompressible input must not raise
    uint32_t sum = 0;
    try {
        // Streamed through 8 KB buffers, file to file, as quern x and c do.
        TFileStream source(argv[3], fmOpenRead | fmShareDenyWrite);
        const auto inputSize = static_cast<int32_t>(source.Size());
        std::unique_ptr<TFileStream> dest;
        try {
            dest = std::make_unique<TFileStream>(argv[4], fmCreate);
        } catch (const EFCreateError&) {
            // A device such as /dev/null cannot be truncated.
            dest = std::make_unique<TFileStream>(argv[4], fmOpenWrite | fmShareDenyNone);
        }
        if (mode == "enc") {
            RunCodec(*dest, source, inputSize, 0, method, sum, false, false, settings);
        } else if (mode == "dec" && argc == 6) {
            const int32_t size = static_cast<int32_t>(std::strtol(argv[5], nullptr, 10));
            RunCodec(*dest, source, inputSize, size, method, sum, true, false, settings);
        } else {
            std::fprintf(stderr, "quern_codec: bad arguments\n");
            return 2;
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "quern_codec: %s\n", e.what());
        return 1;
    }
    return 0;
}
