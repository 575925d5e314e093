// Bitmaps: creation limits, 16-bit rows, PNG round trips, PNGs of every colour type and JPEGs
// decoded to known pixels, and missing, truncated, corrupt and oversized files refused cleanly.
#include <gtest/gtest.h>

#include <fstream>

#include "host/core/atomic_file.h"
#include "host/view/bitmap.h"
#include "tests/host/view/image_files.h"

namespace host {
namespace {

using testimg::Bytes;
using testimg::TempFolder;
using testimg::FileNames;

std::vector<Rgba16> Row(const Bitmap& b, int y) {
  std::vector<Rgba16> row(static_cast<std::size_t>(b.Width()));
  EXPECT_TRUE(b.GetRow(y, row));
  return row;
}

Rgba16 At(const Bitmap& b, int x, int y) { return Row(b, y)[std::size_t(x)]; }
Rgba16 Gray16(int v, int a = 65535) { return {uint16_t(v), uint16_t(v), uint16_t(v), uint16_t(a)}; }
bool Contains(const std::string& s, const std::string& part) { return s.find(part) != std::string::npos; }

// A pattern over the whole 16-bit range.
std::unique_ptr<Bitmap> Pattern(int w, int h, int bits) {
  auto b = CreateBitmap(w, h, bits, "pattern", nullptr);
  std::vector<Rgba16> row(static_cast<std::size_t>(w));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x)
      row[std::size_t(x)] = {uint16_t(x * 9001 + y * 17), uint16_t(65535 - x * 4099), uint16_t(y * 12345),
                             uint16_t((x + y) % 3 == 0 ? 65535 : x * 3000)};
    b->PutRow(y, row);
  }
  return b;
}

// Loads a file that must be refused and returns the message, which names the file.
std::string Refused(const std::filesystem::path& p) {
  std::string msg;
  EXPECT_FALSE(LoadBitmapFile(p, &msg)) << p;
  std::string start = "cannot read image '";
  start += p.string();
  start += "': ";
  EXPECT_EQ(msg.rfind(start, 0), 0u) << msg;
  return msg;
}

TEST(Bitmap, CreateRefusesSizesAndDepthsItCannotHold) {
  std::string msg;
  for (const auto& [w, h] : {std::pair{0, 10}, {10, -1}, {32769, 1}, {20000, 20000}}) {
    EXPECT_FALSE(CreateBitmap(w, h, 8, "big", &msg)) << w << " x " << h;
    EXPECT_TRUE(Contains(msg, "out of range")) << msg;
  }
  EXPECT_FALSE(CreateBitmap(4, 4, 12, "odd", &msg));
  EXPECT_TRUE(Contains(msg, "12 bits")) << msg;
}

TEST(Bitmap, SixteenBitRowsWriteAndReadBackExactly) {
  auto b = CreateBitmap(8, 3, 16, "rows", nullptr);
  ASSERT_TRUE(b);
  EXPECT_EQ(Row(*b, 2), std::vector<Rgba16>(8));  // a new bitmap is all zero
  std::vector<Rgba16> row(8);
  for (int x = 0; x < 8; ++x) row[std::size_t(x)] = {uint16_t(x * 8191), uint16_t(1 + x), 0xABCD, uint16_t(65535 - x)};
  ASSERT_TRUE(b->PutRow(1, row));
  EXPECT_EQ(Row(*b, 1), row);
  // A run inside a row.
  const Rgba16 run[3] = {Gray16(1), Gray16(2), Gray16(3)};
  ASSERT_TRUE(b->PutRow(2, run, 5));
  std::vector<Rgba16> part(4);
  ASSERT_TRUE(b->GetRow(2, part, 4));
  EXPECT_EQ(part, (std::vector<Rgba16>{Rgba16{}, Gray16(1), Gray16(2), Gray16(3)}));
  // Runs that leave the bitmap are refused whole.
  EXPECT_FALSE(b->PutRow(-1, row));
  EXPECT_FALSE(b->PutRow(3, row));
  EXPECT_FALSE(b->PutRow(1, run, 6));
  EXPECT_FALSE(b->PutRow(1, run, -1));
  EXPECT_FALSE(b->GetRow(0, part, 5));
  EXPECT_EQ(Row(*b, 1), row);

  // An 8-bit bitmap keeps the nearest 8-bit step: 1000 / 257 = 3.9, 128 / 257 = 0.498, 386 / 257 = 1.502.
  b = CreateBitmap(2, 1, 8, "bytes", nullptr);
  const Rgba16 in[2] = {{1000, 65535, 128 * 257, 0}, {128, 129, 386, 65407}};
  ASSERT_TRUE(b->PutRow(0, in));
  EXPECT_EQ(Row(*b, 0), (std::vector<Rgba16>{{1028, 65535, 128 * 257, 0}, {0, 257, 514, 65535}}));
}

TEST(BitmapPng, RoundTripKeepsEveryValueAndSaysWhyASaveFails) {
  TempFolder dir;
  std::string msg;
  for (int bits : {8, 16}) {
    const auto b = Pattern(13, 7, bits);
    const auto path = dir / (std::to_string(bits) + "bit.png");
    ASSERT_TRUE(SaveBitmapPng(*b, path, &msg)) << msg;
    const auto back = LoadBitmapFile(path, &msg);
    ASSERT_TRUE(back) << msg;
    EXPECT_EQ(back->BitsPerChannel(), bits);
    ASSERT_EQ(back->Width(), 13);
    ASSERT_EQ(back->Height(), 7);
    for (int y = 0; y < 7; ++y) EXPECT_EQ(Row(*back, y), Row(*b, y)) << bits << " bits, row " << y;
    // Encoded in memory, the same file to the byte.
    std::vector<uint8_t> png;
    ASSERT_TRUE(EncodeBitmapPng(*b, &png, &msg)) << msg;
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(png, std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {})) << bits << " bits";
  }
  const auto b = Pattern(5, 4, 8);
  EXPECT_FALSE(SaveBitmapPng(*b, dir / "no" / "folder.png", &msg));
  EXPECT_TRUE(Contains(msg, "cannot write")) << msg;
  // The file goes through a temporary one: a folder in its way stops the save.
  std::filesystem::create_directory(AtomicFile::TemporaryPathFor(dir / "8bit.png"));
  EXPECT_FALSE(SaveBitmapPng(*b, dir / "8bit.png", &msg));
}

TEST(BitmapPng, DecodesEveryColourTypeAndDepthToRgba) {
  TempFolder dir;
  int n = 0;
  const auto load = [&](const testimg::PngImage& s) {
    const auto path = dir / (std::to_string(n++) + ".png");
    testimg::WriteBytes(path, testimg::MakePng(s));
    std::string msg;
    auto b = LoadBitmapFile(path, &msg);
    EXPECT_TRUE(b && b->Width() == s.width && b->Height() == s.height) << msg;
    return b;
  };
  // 1-bit gray: black and white.
  const testimg::PngImage bw = testimg::Png(11, 1, 1, 0, {1, 0, 0, 1, 1, 1, 0, 1, 0, 0, 1});
  auto b = load(bw);
  ASSERT_TRUE(b);
  EXPECT_EQ(b->BitsPerChannel(), 8);
  for (int x = 0; x < 11; ++x) EXPECT_EQ(At(*b, x, 0), Gray16(bw.samples[std::size_t(x)] ? 65535 : 0)) << x;
  // 8-bit gray with a transparent level, and 4-bit palette with a translucent entry.
  testimg::PngImage s = testimg::Png(4, 1, 8, 0, {0, 7, 200, 7});
  s.trns = {0, 7};
  b = load(s);
  ASSERT_TRUE(b);
  EXPECT_EQ(Row(*b, 0), (std::vector<Rgba16>{Gray16(0), Gray16(7 * 257, 0), Gray16(200 * 257), Gray16(7 * 257, 0)}));
  s = testimg::Png(5, 1, 4, 3, {0, 1, 2, 1, 0});
  s.palette = {255, 0, 0, 0, 255, 0, 1, 2, 3};
  s.trns = {255, 0x40};
  b = load(s);
  ASSERT_TRUE(b);
  const Rgba16 red{65535, 0, 0, 65535}, green{0, 65535, 0, 0x40 * 257}, dark{257, 514, 771, 65535};
  EXPECT_EQ(Row(*b, 0), (std::vector<Rgba16>{red, green, dark, green, red}));

  // 16-bit RGB, plain and interlaced, keeps all 16 bits; 8-bit RGBA interlaced.
  for (bool interlaced : {false, true}) {
    s = testimg::Png(13, 11, 16, 2, {}, interlaced);
    for (int i = 0; i < 13 * 11 * 3; ++i) s.samples.push_back(uint16_t(i * 4001));
    b = load(s);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->BitsPerChannel(), 16);
    for (int i = 0; i < 13 * 11; ++i)
      ASSERT_EQ(At(*b, i % 13, i / 13), (Rgba16{s.samples[std::size_t(3 * i)], s.samples[std::size_t(3 * i + 1)],
                                                s.samples[std::size_t(3 * i + 2)], 65535})) << i;
  }
  s = testimg::Png(9, 10, 8, 6, {}, true);
  for (int i = 0; i < 9 * 10 * 4; ++i) s.samples.push_back(uint16_t((i * 37) & 255));
  b = load(s);
  ASSERT_TRUE(b);
  for (int i = 0; i < 9 * 10; ++i) {
    const auto v = [&](int c) { return uint16_t(s.samples[std::size_t(4 * i + c)] * 257); };
    ASSERT_EQ(At(*b, i % 9, i / 9), (Rgba16{v(0), v(1), v(2), v(3)})) << i;
  }
}

TEST(BitmapPng, TruncatedOrChangedAnywhereIsRefused) {
  TempFolder dir;
  ASSERT_TRUE(SaveBitmapPng(*Pattern(6, 5, 16), dir / "whole.png", nullptr));
  const Bytes whole = testimg::ReadBytes(dir / "whole.png");
  for (std::size_t n = 0; n < whole.size(); ++n) {
    testimg::WriteBytes(dir / "cut.png", Bytes(whole.begin(), whole.begin() + long(n)));
    const std::string why = Refused(dir / "cut.png");
    EXPECT_TRUE(Contains(why, n == 0 ? "empty" : n < 8 ? "not a PNG or JPEG" : "truncated")) << n << ": " << why;
  }
  // Every byte lies in the signature or in a chunk with a CRC: no change gets through.
  for (std::size_t i = 0; i < whole.size(); ++i) {
    Bytes damaged = whole;
    damaged[i] ^= 0xFF;
    testimg::WriteBytes(dir / "bad.png", damaged);
    Refused(dir / "bad.png");
  }
  Bytes damaged = whole;
  damaged[50] ^= 0x01;  // inside IDAT: the library's reason
  testimg::WriteBytes(dir / "bad.png", damaged);
  EXPECT_TRUE(Contains(Refused(dir / "bad.png"), "corrupt PNG ("));
}

// A 32 x 16 RGB JPEG: red on the left half, blue on the right (the edge on an MCU boundary).
Bytes RedBlueJpeg() {
  Bytes px;
  for (int i = 0; i < 32 * 16; ++i) px.insert(px.end(), {uint8_t(i % 32 < 16 ? 250 : 20), 20, uint8_t(i % 32 < 16 ? 20 : 250)});
  return testimg::MakeJpeg(32, 16, 3, px);
}

TEST(BitmapFiles, OversizedHeadersAreRefusedBeforeAllocating) {
  TempFolder dir;
  Bytes png = testimg::MakePng(testimg::Png(2, 2, 8, 2, std::vector<uint16_t>(12, 100)));
  Bytes jpg = RedBlueJpeg();
  const auto refused = [&](const Bytes& file, const std::string& name) {
    testimg::WriteBytes(dir / name, file);
    return Refused(dir / name);
  };
  testimg::SetPngSize(png, 100000, 100000);
  EXPECT_TRUE(Contains(refused(png, "huge.png"), "declares 100000 x 100000 pixels, more than the"));
  testimg::SetJpegSize(jpg, 60000, 60000);
  EXPECT_TRUE(Contains(refused(jpg, "huge.jpg"), "declares 60000 x 60000 pixels, more than the"));
  // Within the limits, but far more than a file this short can hold.
  testimg::SetPngSize(png, 10000, 10000);
  EXPECT_TRUE(Contains(refused(png, "big.png"), "declares 10000 x 10000 pixels, more than its"));
  testimg::SetJpegSize(jpg, 8000, 8000);
  EXPECT_TRUE(Contains(refused(jpg, "big.jpg"), "declares 8000 x 8000 pixels, more than its"));
}

TEST(BitmapJpeg, ColourAndGrayJpegsDecodeToKnownPixels) {
  TempFolder dir;
  testimg::WriteBytes(dir / "rb.jpg", RedBlueJpeg());
  std::string msg;
  auto b = LoadBitmapFile(dir / "rb.jpg", &msg);
  ASSERT_TRUE(b) << msg;
  EXPECT_EQ(b->Width(), 32);
  EXPECT_EQ(b->Height(), 16);
  EXPECT_EQ(b->BitsPerChannel(), 8);
  for (int y = 0; y < 16; y += 3)
    for (int x : {1, 6, 12, 19, 25, 30}) {
      const Rgba16 p = At(*b, x, y);
      EXPECT_NEAR(p.r / 257, x < 16 ? 250 : 20, 10) << x << "," << y;
      EXPECT_NEAR(p.g / 257, 20, 10);
      EXPECT_NEAR(p.b / 257, x < 16 ? 20 : 250, 10);
      EXPECT_EQ(p.a, 65535);
      EXPECT_EQ(p.r % 257, 0);  // 8-bit values carried as v * 257
    }
  Bytes gray;
  for (int i = 0; i < 24 * 8; ++i) gray.push_back(uint8_t(i % 24 * 10));
  testimg::WriteBytes(dir / "gray.jpg", testimg::MakeJpeg(24, 8, 1, gray));
  b = LoadBitmapFile(dir / "gray.jpg", &msg);
  ASSERT_TRUE(b) << msg;
  for (int x = 0; x < 24; ++x) {
    const Rgba16 p = At(*b, x, 4);
    EXPECT_TRUE(p.r == p.g && p.g == p.b);
    EXPECT_NEAR(p.r / 257, x * 10, 6) << x;
  }
}

TEST(BitmapJpeg, TruncatedCorruptAndCmykFilesAreRefused) {
  TempFolder dir;
  const Bytes whole = RedBlueJpeg();
  for (std::size_t n = 3; n < whole.size(); ++n) {
    testimg::WriteBytes(dir / "cut.jpg", Bytes(whole.begin(), whole.begin() + long(n)));
    const std::string why = Refused(dir / "cut.jpg");
    EXPECT_TRUE(Contains(why, "truncated")) << n << ": " << why;
  }
  Bytes bad = whole;
  testimg::SetJpegSize(bad, 32, 0);  // a frame with no lines
  testimg::WriteBytes(dir / "empty.jpg", bad);
  EXPECT_TRUE(Contains(Refused(dir / "empty.jpg"), "corrupt JPEG ("));
  testimg::WriteBytes(dir / "cmyk.jpg", testimg::MakeJpeg(8, 8, 4, Bytes(8 * 8 * 4, 100)));
  EXPECT_TRUE(Contains(Refused(dir / "cmyk.jpg"), "CMYK"));

  // Damage in the coded data may decode to wrong pixels, but never to more than the file can
  // hold, and never brings the program down.
  for (std::size_t i = 2; i < whole.size(); i += 3) {
    bad = whole;
    bad[i] ^= 0x5A;
    testimg::WriteBytes(dir / "damaged.jpg", bad);
    std::string msg;
    if (const auto b = LoadBitmapFile(dir / "damaged.jpg", &msg))
      EXPECT_LE(int64_t(b->Width()) * b->Height(), int64_t(512) * int64_t(bad.size())) << i;
    else
      EXPECT_EQ(msg.rfind("cannot read image", 0), 0u) << msg;
  }
}

TEST(BitmapFiles, MissingEmptyFolderAndForeignFilesAreRefused) {
  TempFolder dir;
  EXPECT_TRUE(Contains(Refused(dir / "absent.png"), "no such file"));
  EXPECT_TRUE(Contains(Refused(dir.path()), "folder"));
  testimg::WriteBytes(dir / "empty.png", {});
  EXPECT_TRUE(Contains(Refused(dir / "empty.png"), "empty"));
  const std::string text = "P3\n1 1\n255\n0 0 0\n";
  testimg::WriteBytes(dir / "image.ppm", Bytes(text.begin(), text.end()));
  EXPECT_TRUE(Contains(Refused(dir / "image.ppm"), "not a PNG or JPEG"));
}

TEST(BitmapShow, DefaultReportsAndHooksSaveOrReplaceIt) {
  struct RestoreDefault {
    ~RestoreDefault() { SetBitmapShowHook({}); }
  } restore;
  const auto b = Pattern(7, 5, 8);
  std::string msg;
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(ShowBitmap(*b, "Tolvaris Fire - preview, frame 3", &msg));
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_TRUE(Contains(out, "\"Tolvaris Fire - preview, frame 3\"") && Contains(out, "7 x 5")) << out;
  EXPECT_EQ(out, msg + "\n");

  SetBitmapShowHook([](const Bitmap& bm, const std::string& title, std::string* m) {
    *m = title + " " + std::to_string(bm.Width());
    return false;
  });
  EXPECT_FALSE(ShowBitmap(*b, "mine", &msg));
  EXPECT_EQ(msg, "mine 7");

  TempFolder dir;
  SetBitmapShowHook(SaveShownBitmapsTo(dir / "shown"));
  ASSERT_TRUE(ShowBitmap(*b, "Tolvaris Fire - preview, frame 3", &msg)) << msg;
  const auto saved = dir / "shown" / "Tolvaris_Fire_-_preview__frame_3.png";
  EXPECT_EQ(msg, "saved " + saved.string());
  const auto back = LoadBitmapFile(saved, &msg);
  ASSERT_TRUE(back) << msg;
  EXPECT_EQ(Row(*back, 4), Row(*b, 4));
  // Titles cannot reach out of the folder; an empty one still names a file.
  ASSERT_TRUE(ShowBitmap(*b, "../../escape", &msg)) << msg;
  ASSERT_TRUE(ShowBitmap(*b, "", &msg)) << msg;
  EXPECT_TRUE(std::filesystem::exists(dir / "shown" / ".._.._escape.png"));
  EXPECT_TRUE(std::filesystem::exists(dir / "shown" / "bitmap.png"));
  EXPECT_EQ(FileNames(dir.path()), std::vector<std::string>{"shown"});

  // A .png target is the file itself, replaced by every show.
  SetBitmapShowHook(SaveShownBitmapsTo(dir / "last.PNG"));
  ASSERT_TRUE(ShowBitmap(*b, "first", &msg)) << msg;
  ASSERT_TRUE(ShowBitmap(*Pattern(3, 2, 16), "second", &msg)) << msg;
  const auto last = LoadBitmapFile(dir / "last.PNG", &msg);
  ASSERT_TRUE(last) << msg;
  EXPECT_EQ(last->Width(), 3);
}

}  // namespace
}  // namespace host
