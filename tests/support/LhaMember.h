// Wraps one coded stream into a standard LHA archive (a level-0 member header
// with the CRC-16 of the original data, then the end byte), so that peer LHA
// tools can be used as oracles for our codecs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

uint16_t Crc16(const std::vector<uint8_t>& data);  // CRC-16/ARC, as LHA uses it

// method: "-lh1-" for our "LZH" streams, "-lh5-" for "LH5", "-lh0-" stored.
std::vector<uint8_t> MakeLhaArchive(const std::string& method, const std::string& name,
                                    const std::vector<uint8_t>& original, const std::vector<uint8_t>& coded);

// Runs a shell command; its exit status.
int RunCommand(const std::string& command);
// True when `tool` is on the PATH.
bool HaveTool(const std::string& tool);

}  // namespace testing_support
