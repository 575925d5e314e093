// zlib framing without compression: the checksums and the stored-block stream that the PNG and
// PRT writers wrap their data in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tf {

// Largest payload of one stored deflate block.
inline constexpr size_t kStoredBlockMax = 65535;

// Adler-32 of `size` bytes (a = 1, b = 0 at the start).
uint32_t Adler32(const uint8_t* data, size_t size);

// CRC-32 with the reflected polynomial 0xEDB88320, all ones at the start and inverted at the end.
// `crc` continues an earlier result: Crc32(b, nb, Crc32(a, na)) is the CRC of a followed by b.
// The table is built once, on first use.
uint32_t Crc32(const uint8_t* data, size_t size, uint32_t crc = 0);

// Appends the zlib stream of `size` bytes: the header 0x78 0x01, stored deflate blocks of at most
// 65535 bytes (at least one, so empty data gives one final block of length 0) and the Adler-32,
// big-endian.
void AppendZlibStored(std::vector<uint8_t>& out, const uint8_t* data, size_t size);

// The size of that stream for `size` bytes of data.
size_t ZlibStoredSize(size_t size);

}  // namespace tf
