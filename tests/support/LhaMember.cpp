#include "tests/support/LhaMember.h"

#include <cstdlib>
#include <stdexcept>

namespace testing_support {

uint16_t Crc16(const std::vector<uint8_t>& data) {
    uint16_t crc = 0;
    for (uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

namespace {
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
}  // namespace

std::vector<uint8_t> MakeLhaArchive(const std::string& method, const std::string& name,
                                    const std::vector<uint8_t>& original, const std::vector<uint8_t>& coded) {
    if (method.size() != 5 || name.size() > 200) throw std::invalid_argument("bad LHA member");
    // Level 0: size, header sum, method, packed size, original size, DOS time,
    // attribute, level, name length, name, CRC-16 of the original data.
    std::vector<uint8_t> h;
    h.insert(h.end(), method.begin(), method.end());
    Put32(h, static_cast<uint32_t>(coded.size()));
    Put32(h, static_cast<uint32_t>(original.size()));
    Put32(h, 0x2561'6BC9);  // 1 November 1998, 13:30:18
    h.push_back(0x20);
    h.push_back(0x00);
    h.push_back(static_cast<uint8_t>(name.size()));
    h.insert(h.end(), name.begin(), name.end());
    const uint16_t crc = Crc16(original);
    h.push_back(static_cast<uint8_t>(crc));
    h.push_back(static_cast<uint8_t>(crc >> 8));
    uint8_t sum = 0;
    for (uint8_t b : h) sum = static_cast<uint8_t>(sum + b);

    std::vector<uint8_t> out;
    out.reserve(2 + h.size() + coded.size() + 1);
    out.push_back(static_cast<uint8_t>(h.size()));
    out.push_back(sum);
    for (uint8_t b : h) out.push_back(b);
    out.insert(out.end(), coded.begin(), coded.end());
    out.push_back(0x00);
    return out;
}

int RunCommand(const std::string& command) {
    const int status = std::system(command.c_str());
    if (status == -1) return -1;
#ifdef _WIN32
    return status;
#else
    return (status & 0x7F) == 0 ? (status >> 8) & 0xFF : 128 + (status & 0x7F);
#endif
}

bool HaveTool(const std::string& tool) {
#ifdef _WIN32
    (void)tool;
    return false;
#else
    return RunCommand("command -v " + tool + " >/dev/null 2>&1") == 0;
#endif
}

}  // namespace testing_support
