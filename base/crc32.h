// The zip checksum, CRC-32 with the reflected polynomial 0xEDB88320: archive
// entries carry it, and the data folder's records seal their text with it.
#pragma once

#include <cstdint>
#include <string_view>

namespace n2 {

// The checksum of data, continuing from crc (that of the bytes before it).
uint32_t Crc32(std::string_view data, uint32_t crc = 0);

}  // namespace n2
