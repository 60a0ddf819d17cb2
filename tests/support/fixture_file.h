#pragma once
// The committed media fixtures of tests/fixtures, read by test programs built with the compile
// definition KAVEX_FIXTURES_DIR.
#include <cstdint>
#include <string>
#include <vector>

namespace fixture_file {

// Where the fixture is, as this program's file functions name it (under Wine: on drive Z:).
std::string Path(const char* name);
// The packets of a simulator packet file ("PSIMPKT1", then u32 length and bytes per packet); empty
// when the file is missing or not such a file.
std::vector<std::vector<uint8_t>> ReadPackets(const char* name);
// The same for a packet file anywhere, by the path this program's file functions take.
std::vector<std::vector<uint8_t>> ReadPacketsAt(const std::string& path);

}  // namespace fixture_file
