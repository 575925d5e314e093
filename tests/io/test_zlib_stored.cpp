// The stored-block zlib stream against zlib itself: it must inflate to the data, with the
// checksum zlib computes, at the block boundaries where an off-by-one would show.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <vector>

#include "io/zlib_stored.h"

namespace {

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

// Inflates with zlib; fails the test when zlib reports an error or leftover input.
std::vector<uint8_t> Inflate(const std::vector<uint8_t>& stream, size_t expected) {
  std::vector<uint8_t> out(expected + 16);
  uLongf outLen = static_cast<uLongf>(out.size());
  uLong inLen = static_cast<uLong>(stream.size());
  int rc = uncompress2(out.data(), &outLen, stream.data(), &inLen);
  EXPECT_EQ(rc, Z_OK);
  EXPECT_EQ(inLen, stream.size()) << "zlib stopped before the end of the stream";
  out.resize(outLen);
  return out;
}

// The BFINAL flags and lengths of the stored blocks, walked by hand.
std::vector<std::pair<int, size_t>> Blocks(const std::vector<uint8_t>& s) {
  std::vector<std::pair<int, size_t>> blocks;
  size_t at = 2;
  while (at + 5 <= s.size()) {
    int final = s[at];
    size_t len = s[at + 1] | (s[at + 2] << 8);
    size_t nlen = s[at + 3] | (s[at + 4] << 8);
    EXPECT_EQ(len ^ 0xFFFFu, nlen);
    blocks.emplace_back(final, len);
    at += 5 + len;
    if (final) break;
  }
  EXPECT_EQ(at + 4, s.size());
  return blocks;
}

TEST(ZlibStored, InflatesWithZlibAcrossBlockBoundaries) {
  for (size_t n : {size_t(0), size_t(1), size_t(65534), size_t(65535), size_t(65536),
                   size_t(3 * 65535 + 7)}) {
    SCOPED_TRACE(n);
    std::vector<uint8_t> data = RandomBytes(n, static_cast<uint32_t>(n));
    std::vector<uint8_t> stream;
    tf::AppendZlibStored(stream, data.data(), data.size());
    EXPECT_EQ(stream.size(), tf::ZlibStoredSize(n));
    EXPECT_EQ(stream[0], 0x78);
    EXPECT_EQ(stream[1], 0x01);
    EXPECT_EQ(Inflate(stream, n), data);
  }
}

TEST(ZlibStored, BlockSplitAtTheLimit) {
  std::vector<uint8_t> data(65535, 7);
  std::vector<uint8_t> stream;
  tf::AppendZlibStored(stream, data.data(), data.size());
  EXPECT_EQ(Blocks(stream), (std::vector<std::pair<int, size_t>>{{1, 65535}}));

  data.push_back(9);
  stream.clear();
  tf::AppendZlibStored(stream, data.data(), data.size());
  EXPECT_EQ(Blocks(stream), (std::vector<std::pair<int, size_t>>{{0, 65535}, {1, 1}}));

  stream.clear();
  tf::AppendZlibStored(stream, nullptr, 0);
  EXPECT_EQ(Blocks(stream), (std::vector<std::pair<int, size_t>>{{1, 0}}));
  EXPECT_EQ(Inflate(stream, 0).size(), 0u);
}

TEST(ZlibStored, ChecksumsMatchZlib) {
  // Long enough that the deferred modulo of Adler-32 has to be right.
  std::vector<uint8_t> data(100000, 0xFF);
  EXPECT_EQ(tf::Adler32(data.data(), data.size()), adler32(1, data.data(), static_cast<uInt>(data.size())));
  data = RandomBytes(70001, 5);
  EXPECT_EQ(tf::Adler32(data.data(), data.size()), adler32(1, data.data(), static_cast<uInt>(data.size())));
  EXPECT_EQ(tf::Crc32(data.data(), data.size()), crc32(0, data.data(), static_cast<uInt>(data.size())));
  // Continuing a CRC equals one CRC over the whole.
  uint32_t part = tf::Crc32(data.data(), 1000);
  EXPECT_EQ(tf::Crc32(data.data() + 1000, data.size() - 1000, part), tf::Crc32(data.data(), data.size()));
  const uint8_t zeros[4] = {0, 0, 0, 0};
  EXPECT_EQ(tf::Adler32(zeros, 4), 0x00040001u);
  EXPECT_EQ(tf::Adler32(nullptr, 0), 1u);
}

}  // namespace
