#include "fuzz/FuzzSupport.h"

#include <cstring>
#include <filesystem>

#include <quern/Quern.h>
#include <quern/Platform.h>
#include <quern/Stream.h>

using namespace quern;

namespace fuzz {

CodecSettings ExpandSettings(const ExpandHead& head, int& progressCalls) {
    CodecSettings settings;
    settings.Key = head.scrambled ? FuzzKey : 0;
    if (head.cancelAt > 0) {
        settings.OnShowProgress = [&progressCalls, cancelAt = head.cancelAt](int32_t& percentage) {
            FUZZ_CHECK(percentage >= 0 && percentage <= 100);
            if (++progressCalls == cancelAt) percentage = -1;
        };
    }
    return settings;
}

ExpandResult RunExpander(uint8_t method, const uint8_t* data, size_t size, int32_t sizeCap) {
    ExpandResult result;
    if (size < ExpandHeadSize) return result;
    const ExpandHead head = ReadExpandHead(data, sizeCap);
    int progressCalls = 0;
    // Bytes after the span that the codec must not read.
    Bytes stored(data + ExpandHeadSize, data + size);
    const auto span = static_cast<int32_t>(stored.size());
    stored.insert(stored.end(), 16, 0xA5);
    TMemoryStream source(std::move(stored));
    TMemoryStream dest;
    RunCodec(dest, source, span, head.declaredSize, method, result.checksum, true, head.scrambled,
             ExpandSettings(head, progressCalls));
    FUZZ_CHECK(source.Position() <= span);
    result.out = std::move(dest.Bytes());
    FUZZ_CHECK(result.checksum == ByteSum(result.out));
    return result;
}

void CheckRoundTrip(uint8_t method, const uint8_t* data, size_t size) {
    if (size < 1) return;
    const bool scrambled = (data[0] & 1) != 0;
    const bool budgeted = (data[0] & 2) != 0;
    const Bytes plain(data + 1, data + size);
    const auto plainSize = static_cast<int32_t>(plain.size());

    CodecSettings settings;
    settings.Key = scrambled ? FuzzKey : 0;
    if (!budgeted) settings.CompressReserve = -DeclaredSizeCap * 64;
    TMemoryStream source(plain), coded;
    uint32_t inputSum = 0;
    int32_t written = 0;
    try {
        written = RunCodec(coded, source, plainSize, 0, method, inputSum, false, false, settings);
    } catch (const EUnableToCompress&) {
        FUZZ_CHECK(budgeted);  // only the usual budget may refuse
        return;
    }
    FUZZ_CHECK(inputSum == ByteSum(plain));
    FUZZ_CHECK(written == static_cast<int32_t>(coded.Size()));
    if (budgeted) FUZZ_CHECK(written <= plainSize);

    coded.SetPosition(0);
    TMemoryStream decoded;
    uint32_t outputSum = 0;
    RunCodec(decoded, coded, written, plainSize, method, outputSum, true, scrambled, settings);
    FUZZ_CHECK(decoded.Bytes() == plain);
    FUZZ_CHECK(outputSum == inputSum);
}

void AcceptHashIds(TQuern& quern) {
    quern.OnRecognize = [](const std::string& id, bool& recognized) { recognized = !id.empty() && id[0] == '#'; };
}

void CopyCustom(TStream& dest, TStream& source, int32_t Sourcesize, int32_t /*Destsize*/,
                const std::string& /*CompressID*/, int32_t& checksum) {
    uint8_t buffer[4096];
    uint32_t sum = 0;
    for (int32_t left = std::min(Sourcesize, DeclaredSizeCap); left > 0;) {
        const int32_t n = source.Read(buffer, std::min<int32_t>(left, sizeof buffer));
        if (n <= 0) break;
        for (int32_t i = 0; i < n; ++i) sum += buffer[i];
        dest.WriteBuffer(buffer, n);
        left -= n;
    }
    checksum = static_cast<int32_t>(sum);
}

std::vector<bool> EntriesWithinBudget(const uint8_t* data, size_t size) {
    constexpr int MaxFilesWritten = 32;
    TMemoryStream stream(Bytes(data, data + size));
    TQuern lister;
    AcceptHashIds(lister);
    TStringList list;
    try {
        lister.ListArchiveStream(stream, list);
    } catch (const Exception&) {
    }
    std::vector<bool> wanted;
    int64_t budget = DeclaredSizeCap;
    int filesWritten = 0;
    for (int i = 0; i < list.Count(); ++i) {
        const int32_t declared = static_cast<const TArchiveFileInfo*>(list.Objects(i))->UncompressedSize;
        const bool within = declared <= budget && filesWritten < MaxFilesWritten;
        if (within) {
            budget -= declared;
            ++filesWritten;
        }
        wanted.push_back(within);
    }
    TQuern::FreeListing(&list);
    return wanted;
}

namespace {

struct Scratch {
    Scratch() : path(platform::CreatePrivateDirectory(platform::TempPath(), "qfz")) { FUZZ_CHECK(!path.empty()); }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

}  // namespace

const std::string& ScratchDirectory() {
    static const Scratch scratch;
    return scratch.path;
}

std::vector<std::string> SplitFields(const uint8_t* data, size_t size, int count) {
    std::vector<std::string> fields;
    if (size == 0) return std::vector<std::string>(static_cast<size_t>(count) + 1);
    const char* p = reinterpret_cast<const char*>(data);
    const char* end = p + size;
    for (int i = 0; i < count; ++i) {
        const char* nul = static_cast<const char*>(std::memchr(p, 0, static_cast<size_t>(end - p)));
        if (!nul) nul = end;
        fields.emplace_back(p, nul);
        p = nul == end ? end : nul + 1;
    }
    fields.emplace_back(p, end);
    return fields;
}

}  // namespace fuzz
