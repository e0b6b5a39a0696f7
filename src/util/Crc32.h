// CRC-32 (IEEE 802.3, as zlib computes it): the check of every record the server and
// the bridge keep on disk.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kassiro {

std::uint32_t Crc32(const void* data, std::size_t size);

}  // namespace kassiro
