// Pins the encoders' exact output: every generated input is coded with RLE,
// LZH and LH5 through RunCodec and the SHA-256 of each coded stream must
// equal the value recorded from the encoders before any speed work. A faster
// encoder must pass this unchanged. Each stream is also decoded again, so the
// decoders' fast paths are held to the same inputs.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <quern/CodecEngine.h>
#include "tests/codecs/sha256.h"
#include "tests/support/TestSupport.h"

using namespace quern;

namespace {

using testing_support::Bytes;

// xorshift32: a generator whose sequence no library version can change.
class Random {
public:
    explicit Random(uint32_t seed) : state_(seed ? seed : 1) {}
    uint32_t Next() {
        state_ ^= state_ << 13;
        state_ ^= state_ >> 17;
        state_ ^= state_ << 5;
        return state_;
    }
    uint32_t Below(uint32_t n) { return Next() % n; }

private:
    uint32_t state_;
};

// Lines of words drawn from a skewed vocabulary: the matches of prose.
Bytes Prose(size_t size, uint32_t seed) {
    Random rnd(seed);
    std::vector<std::string> words;
    for (int i = 0; i < 300; ++i) {
        std::string w;
        const uint32_t len = 2 + rnd.Below(8);
        for (uint32_t k = 0; k < len; ++k) w += static_cast<char>('a' + rnd.Below(26));
        words.push_back(w);
    }
    Bytes out;
    size_t column = 0;
    while (out.size() < size) {
        const uint32_t i = rnd.Below(300) * rnd.Below(300) / 300;  // small indices are common
        out.insert(out.end(), words[i].begin(), words[i].end());
        column += words[i].size();
        const uint32_t sep = rnd.Below(20);
        const char* s = sep == 0 ? ". " : sep == 1 ? ", " : " ";
        if (column > 60 + rnd.Below(15)) {
            s = ".\r\n";
            column = 0;
        }
        out.insert(out.end(), s, s + std::char_traits<char>::length(s));
    }
    out.resize(size);
    return out;
}

// 40-byte records: counters, a few names, noisy low bytes, zero padding.
Bytes Records(size_t size, uint32_t seed) {
    Random rnd(seed);
    static const char* const names[] = {"alpha", "beta", "gamma", "delta", "epsilon"};
    Bytes out;
    for (uint32_t id = 0; out.size() < size; ++id) {
        const uint32_t stamp = 1700000000u + id * 17u + rnd.Below(5);
        for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(id >> (8 * k)));
        for (int k = 0; k < 4; ++k) out.push_back(static_cast<uint8_t>(stamp >> (8 * k)));
        std::string name = names[rnd.Below(5)];
        name.resize(12, '\0');
        out.insert(out.end(), name.begin(), name.end());
        for (int k = 0; k < 8; ++k) out.push_back(static_cast<uint8_t>(k < 2 ? rnd.Next() : 0x40 + k));
        out.insert(out.end(), 12, uint8_t{0});
    }
    out.resize(size);
    return out;
}

Bytes Noise(size_t size, uint32_t seed) {
    Random rnd(seed);
    Bytes out(size);
    for (auto& b : out) b = static_cast<uint8_t>(rnd.Next() >> 24);
    return out;
}

// Runs of every interesting length, of ordinary bytes, zero and RLE's marker.
Bytes Runs(size_t size, uint32_t seed) {
    Random rnd(seed);
    static const uint32_t lengths[] = {1, 2, 3, 4, 5, 17, 254, 255, 256, 257, 258, 300, 511, 1000, 5000};
    static const uint8_t values[] = {0x00, 0x94, 0x20, 0xFF, 0x41};
    Bytes out;
    while (out.size() < size) {
        const uint8_t v = rnd.Below(3) == 0 ? static_cast<uint8_t>(rnd.Next()) : values[rnd.Below(5)];
        out.insert(out.end(), lengths[rnd.Below(15)], v);
    }
    out.resize(size);
    return out;
}

Bytes SmallAlphabet(size_t size, uint32_t seed) {
    Random rnd(seed);
    Bytes out(size);
    for (auto& b : out) b = static_cast<uint8_t>("ACGT"[rnd.Below(4)]);
    return out;
}

// Noise, then its start twice more: the last match is cut by the end of input.
Bytes EndsInsideMatch() {
    Bytes out = Noise(5000, 77);
    const Bytes head(out.begin(), out.begin() + 4000);
    out.insert(out.end(), head.begin(), head.end());
    out.insert(out.end(), head.begin(), head.begin() + 100);
    return out;
}

// Noise repeated with the given period: a period of 8191 puts every LH5 match at
// the farthest distance the window holds, 8192 just out of its reach.
Bytes Periodic(size_t size, size_t period, uint32_t seed) {
    const Bytes unit = Noise(period, seed);
    Bytes out;
    while (out.size() < size) out.insert(out.end(), unit.begin(), unit.end());
    out.resize(size);
    return out;
}

struct GoldenCase {
    const char* name;
    Bytes (*make)();
    int32_t key;
    const char* rle;
    const char* lzh;
    const char* lh5;
};

const GoldenCase kCases[] = {
    {"empty", [] { return Bytes{}; }, 0,
     "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
     "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
     "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
    {"one byte", [] { return Bytes{0x94}; }, 0,
     "1462f2e42ee74d8471f4fce6fe45b1c889c9611f8c5c6ccb77f16fa3e42e666d",
     "36a9e7f1c95b82ffb99743e0c5c4ce95d83c9a430aac59f84ef3cbfab6145068",
     "2d7ee70ce382cf2841a4050dc49a6e556298a467f4cc8595886e2c9f3f03a11e"},
    {"prose 300000 (several LH5 blocks, LZH rebuilds)", [] { return Prose(300000, 1); }, 0,
     "9caec3c21cff27d6ec1479585119ed35ddd5e48d582f81f0440c9726c8a808ee",
     "7770b902aa408521a86b2335813a1f64c554036102a3566d1244a4fa75ad7841",
     "2953ae62ee4e798b616f998486634cea85ebf938552ee6e6b937682530084d9d"},
    {"records 160000", [] { return Records(160000, 2); }, 0,
     "27a69237c56cf0d465b501ee1a941660e75493b2846de164751ef3620495c801",
     "453c57611e918855b4d644eb4f9c492946f1e933e15823a623b1ca758ca30555",
     "37588c52ff31c398a19606f4334ce507183a3e3ff05805413a52dad123d4f755"},
    {"noise 70000", [] { return Noise(70000, 3); }, 0,
     "b52b8033c572a4932356724a2eb37b5693c604a35036d1c99e2938e05debc1e3",
     "70d33433640e713128d83fed3b2153ca69f2a9af29ead80189ec386062824085",
     "d82fa12553344bb257b820e195cdb94a0cef19c83175511459b1d4fbf75ab367"},
    {"runs 100000", [] { return Runs(100000, 4); }, 0,
     "6a34b35d161c09cb11ab3a803f6387179bef25cef706a561aeaabad7443b87f5",
     "c2c81b2744025afb3ff88dbb643e842408a97207d186d4aa855995da32635edd",
     "3cc93dedc7db42a454fc7464c98477e4b840707b045454e1d982bfd51bff8667"},
    {"small alphabet 80000", [] { return SmallAlphabet(80000, 5); }, 0,
     "784762df3b33b1e843c373ccd391f92f4b13f67adc3c4909e5cc383c663aab9f",
     "6aafb98cdd969acb8e5468599444f21427865b11714669a9a2bb9fd0993a6462",
     "914ad62aefc2432891d9d0c402d1dea1f109bfe03f786969073cf1d21949bbe6"},
    {"prose 7935", [] { return Prose(7935, 6); }, 0,
     "8f3e8265c5b3cf0ced8e002dc2ded709a67a0c983befefdcd6f3af258516d7e6",
     "871b04df3a012e6daed72f145d349521f47f7b783fe21b62406a975a0fe1a711",
     "9dd682d504f2db177f7bc59b974c959065c9b5f3fb3d94320179cd0df1c8f0f5"},
    {"prose 7936", [] { return Prose(7936, 7); }, 0,
     "2d91cbd09b4932dd00484aad5148412dd0d1a35ded8e24c21695173173bb4948",
     "67e788790d8aa2237685ca5acbbf505dfc8de04fccef4aeeda8fdaf2690c6bea",
     "cc36439effc240c49e468a935c53f0d41c9ca9eb119c388d35e2d09d45b466d6"},
    {"prose 16128", [] { return Prose(16128, 8); }, 0,
     "92f024045dc5400d59398c3c8ce76c4888bfb99c59d38ab9244347546d30b83e",
     "67178038ff29ed3d82ec138be25bae184564ae949a7ba421047464a0ff2c6513",
     "e6a65ae0aa9b5151975428f964850b1f94f5ba6793730909b9534b43050841cc"},
    {"records 16128", [] { return Records(16128, 9); }, 0,
     "6c04128f9a3665b3cdfaeefde4f587791f7cff0a4239f5a353cff1b5644f1dc1",
     "8489a45acfb11d83f5ab9c311b7090229299618f6abbbb3a1548ab89b6450bc0",
     "7ac0cfc78997f80f3ce6c0b220dc9af3a506b4d847ce5f122f662bf872688583"},
    {"ends inside a long match", EndsInsideMatch, 0,
     "68b08080ca923239c86a5d77dd4aaf53755d89b1ff6045111e2e911334e0966e",
     "f6fe1838b0c23d2334b8e87a34a87c2a3068df98c36e6cfe22238117507785e9",
     "d8281c8f99b591e417c77dce3875f03f8575a77078c96e2439eaa51626ba777a"},
    {"prose 20000 with a key", [] { return Prose(20000, 10); }, 0x5A3C1B07,
     "5a09497d278b486c0ed6226516ce86838a68368f60c3e1e429e1183f6a677cfb",
     "4c4ac8a89e17518d65fd00b120ced0deb7592e0d4da10baad5de00f71741f402",
     "f84d1ffc6759998d68b5e764a7dfb56eb470e190119f14ccfeb085ad9777af65"},
    {"period 8191, every match at the farthest distance", [] { return Periodic(40000, 8191, 11); }, 0,
     "fbbe6453bc487b974e77f3a3e074e54a46365edf1aa147e3b7867334d564b7fc",
     "ff53c7971a0a1d795b989b13af9d81fd16744fc3d9d14c6c58f2aae2bd103c38",
     "3bf5dab640579d200d1f9c1f6b44f8410aae73745b3001bde0a1b7fd67921af6"},
    {"period 8192, just out of reach", [] { return Periodic(40000, 8192, 12); }, 0,
     "da1fe08b27baff70ddfaa077d4f80ec1290ef9898b6df1b282d381e476dd039a",
     "5416bb24d047434c0b89499ee7332eaa3710b5977be4061ac2b766c64b638deb",
     "7effebd51d27ba00c593b3ff404292b548f02fd74c83a9c5152358a2d22dca0c"},
    {"period 8193", [] { return Periodic(40000, 8193, 13); }, 0,
     "bf77659ce9dccced20de2fbc18ccc51a6c510b5df48f3ae60355dfdfd8f6aeea",
     "16e8a066388b65bc74894f2e5d20ad8f7424f4236a8b202ac42370b50cae909b",
     "daa7e0311b06924be4efbbb2736ed9442ac59ab36ffe06e6d167374e79178a4e"},
    {"one byte 70000 times (full-length matches across slides)", [] { return Bytes(70000, 0x61); }, 0,
     "a14ede1a98300b832f76bc40f9238f03dd40ba7742710827c0fca37a47ae244a",
     "79e28ea260ac814bd5db15451f334154aa0e95815c079df24abdb38545d7425c",
     "d30008105789e8d11a4e675ee3e3248535e458747ce989cea6ce8c8dcd9f6e1b"},
};

// No budget: random bytes and marker-rich runs code longer than they are.
CodecSettings Settings(int32_t key) {
    CodecSettings s;
    s.Key = key;
    s.CompressReserve = -0x40000000;
    return s;
}

TEST(GoldenEncoders, CodedStreamsKeepTheirDigests) {
    struct Method {
        uint8_t type;
        const char* name;
        const char* GoldenCase::*digest;
    };
    const Method methods[] = {{ctRle, "RLE", &GoldenCase::rle},
                              {ctLzh, "LZH", &GoldenCase::lzh},
                              {ctLh5, "LH5", &GoldenCase::lh5}};
    std::string table;  // the table's rows as they are today, shown on a mismatch
    bool allMatch = true;
    for (const GoldenCase& c : kCases) {
        const Bytes input = c.make();
        const CodecSettings settings = Settings(c.key);
        std::string row = std::string("    {\"") + c.name + "\", ...";
        for (const Method& m : methods) {
            SCOPED_TRACE(std::string(c.name) + " / " + m.name);
            TMemoryStream source(input), coded;
            uint32_t inputSum = 0;
            const int32_t written = RunCodec(coded, source, static_cast<int32_t>(input.size()), 0, m.type, inputSum,
                                             false, false, settings);
            const Bytes stream = coded.Bytes();
            EXPECT_EQ(written, static_cast<int32_t>(stream.size()));
            EXPECT_EQ(inputSum, testing_support::ByteSum(input));
            const std::string digest = codec_test::Sha256Hex(stream);
            EXPECT_EQ(digest, c.*m.digest);
            if (digest != c.*m.digest) allMatch = false;
            row += ", \"" + digest + "\"";

            TMemoryStream storedSource(stream), plain;
            uint32_t outputSum = 0;
            RunCodec(plain, storedSource, static_cast<int32_t>(stream.size()), static_cast<int32_t>(input.size()),
                     m.type, outputSum, true, c.key != 0, settings);
            EXPECT_TRUE(plain.Bytes() == input);
            EXPECT_EQ(outputSum, testing_support::ByteSum(input));
        }
        table += row + "},\n";
    }
    if (!allMatch) ADD_FAILURE() << "digests today:\n" << table;
}

TEST(GoldenEncoders, Sha256KnownAnswers) {
    EXPECT_EQ(codec_test::Sha256Hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(codec_test::Sha256Hex(testing_support::Text("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(codec_test::Sha256Hex(testing_support::Text(
                  "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
