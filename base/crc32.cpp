#include "base/crc32.h"

#include <libdeflate.h>

namespace n2 {

uint32_t Crc32(std::string_view data, uint32_t crc) { return libdeflate_crc32(crc, data.data(), data.size()); }

}  // namespace n2
