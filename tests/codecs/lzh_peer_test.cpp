// Our "LZH" streams are LHA's -lh1-: wrapped in a standard LHA member they
// must extract with the peer archivers to the original bytes (the member's
// CRC-16 checks them too). 7zz and bsdtar do not handle -lh1-, so only lhasa
// and unar serve as oracles.
// Peer LHA tools and a POSIX shell are needed: the native run covers this.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/codecs/rle_lzh_support.h"
#include "tests/support/LhaMember.h"

using namespace quern;

namespace {

using namespace rle_lzh_test;
using testing_support::FromHex;
using testing_support::HaveTool;
using testing_support::MakeLhaArchive;
using testing_support::RandomBytes;
using testing_support::ReadFileBytes;
using testing_support::RunCommand;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

struct PeerTool {
    const char* name;
    // Extracts archive into the directory out (trailing separator).
    std::string (*command)(const std::string& archive, const std::string& out);
};

void PrintTo(const PeerTool& tool, std::ostream* os) { *os << tool.name; }

const PeerTool Peers[] = {
    {"lhasa", [](const std::string& a, const std::string& o) { return "cd '" + o + "' && lhasa xf '" + a + "'"; }},
    {"unar", [](const std::string& a, const std::string& o) { return "unar -q -f -o '" + o + "' '" + a + "'"; }},
};

struct PeerCase {
    std::string name;
    Bytes plain;
    Bytes coded;
};

const std::vector<PeerCase>& Cases() {
    static const std::vector<PeerCase> cases = [] {
        std::vector<PeerCase> out;
        auto add = [&](const std::string& name, Bytes plain) {
            Bytes coded = Compress(ctLzh, plain, Unbudgeted()).out;
            out.push_back({name, std::move(plain), std::move(coded)});
        };
        add("one.bin", {0x41});
        add("run.bin", Bytes(5000, 0x07));
        add("spaces.bin", Bytes(1000, 0x20));
        add("random.bin", RandomBytes(50000, 21));
        add("mixed.bin", MixedData(3'000'000, 5));
        return out;
    }();
    return cases;
}

// Missing tools skip locally; on CI (CI=true) they fail.
bool ToolMissing(const PeerTool& tool) {
    if (HaveTool(tool.name)) return false;
    const char* ci = std::getenv("CI");
    if (ci && std::string(ci) == "true") ADD_FAILURE() << tool.name << " is not installed; CI must provide it";
    return true;
}

Bytes Extract(const PeerTool& tool, const std::string& member, const Bytes& plain, const Bytes& coded) {
    TempDir dir;
    const std::string archive = dir / "peer.lzh";
    WriteFileBytes(archive, MakeLhaArchive("-lh1-", member, plain, coded));
    const std::string command = tool.command(archive, dir.Path()) + " >/dev/null 2>&1";
    EXPECT_EQ(RunCommand(command), 0) << command;
    return ReadFileBytes(dir / member);
}

class LzhPeer : public testing::TestWithParam<PeerTool> {};

TEST_P(LzhPeer, ExtractsOurStreamsToTheOriginalBytes) {
    if (ToolMissing(GetParam())) GTEST_SKIP() << GetParam().name << " not installed";
    for (const auto& c : Cases()) {
        SCOPED_TRACE(c.name);
        const Bytes extracted = Extract(GetParam(), c.name, c.plain, c.coded);
        ASSERT_EQ(extracted.size(), c.plain.size());
        EXPECT_TRUE(extracted == c.plain);
    }
}

// A damaged stream may read ring positions 4036 to 4095 before writing them:
// 8C FF FC is a 3-byte match at distance 4095 as the first symbol. We read
// spaces there, as lhasa does; unar starts from zeros and is not asked.
TEST(LzhPeerLhasa, UnwrittenRingPositionsReadAsLhasaReadsThem) {
    const PeerTool& lhasa = Peers[0];
    if (ToolMissing(lhasa)) GTEST_SKIP() << lhasa.name << " not installed";
    const Bytes stored = FromHex("8C FF FC");
    const Bytes ours = Expand(ctLzh, stored, 3).out;
    EXPECT_EQ(Extract(lhasa, "ring.bin", ours, stored), ours);
}

INSTANTIATE_TEST_SUITE_P(Tools, LzhPeer, testing::ValuesIn(Peers),
                         [](const testing::TestParamInfo<PeerTool>& info) { return std::string(info.param.name); });

}  // namespace

#endif  // _WIN32
