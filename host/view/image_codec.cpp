#include "host/view/image_codec.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <new>
#include <system_error>

#include <png.h>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
#include <jerror.h>

#include "host/core/atomic_file.h"
#include "host/core/status.h"

// libpng and libjpeg report errors through callbacks that must not return; ours leave by longjmp
// to the function that armed the jump. A longjmp skips destructors, so every function below that
// calls setjmp holds only trivially destructible locals, and the objects with destructors (the
// readers, buffers and row tables) live in its caller, which the jump never leaves.

namespace host::codec {

namespace {

std::string Quote(const std::filesystem::path& p) {
  std::string q(1, '\'');
  q += p.string();
  q += '\'';
  return q;
}

// --------------------------------------------------------------------------------------------
// libpng

struct PngError {
  std::jmp_buf jump;
  char text[256];
  bool ours;  // the text is our own finding, not the library's
};

// Our own reason for giving up, worded for the user.
template <class E>
void Refuse(E* e, const char* text) {
  std::snprintf(e->text, sizeof e->text, "%s", text);
  e->ours = true;
}

void PngErrorFn(png_structp png, png_const_charp msg) {
  auto* e = static_cast<PngError*>(png_get_error_ptr(png));
  std::snprintf(e->text, sizeof e->text, "%s", msg ? msg : "libpng error");
  std::longjmp(e->jump, 1);
}

// Warnings (a damaged ancillary chunk, say) leave the image intact: not worth a message.
void PngWarningFn(png_structp, png_const_charp) {}

struct PngWriter {
  PngError err{};
  png_structp png = nullptr;
  png_infop info = nullptr;

  ~PngWriter() {
    if (png) png_destroy_write_struct(&png, &info);
  }
};

// Appends what libpng writes to the vector behind its io pointer.
void PngAppend(png_structp png, png_bytep data, png_size_t size) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  bool full = false;
  try {
    out->insert(out->end(), data, data + size);
  } catch (const std::bad_alloc&) {
    full = true;
  }
  // Outside the handler: the jump must not leave an exception behind.
  if (full) png_error(png, "out of memory");
}

void PngFlushNothing(png_structp) {}

// Encodes into the file `fp`, or when it is null into `memory`.
bool EncodePng(PngWriter* w, std::FILE* fp, std::vector<uint8_t>* memory, int width, int height, int channels,
               int bitDepth, png_bytep* rows) {
  if (setjmp(w->err.jump)) return false;
  w->png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &w->err, PngErrorFn, PngWarningFn);
  if (w->png) w->info = png_create_info_struct(w->png);
  if (!w->png || !w->info) {
    Refuse(&w->err, "out of memory");
    return false;
  }
  if (fp) png_init_io(w->png, fp);
  else png_set_write_fn(w->png, memory, PngAppend, PngFlushNothing);
  png_set_IHDR(w->png, w->info, png_uint_32(width), png_uint_32(height), bitDepth,
               channels == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(w->png, w->info);
  png_write_image(w->png, rows);
  png_write_end(w->png, nullptr);
  return true;
}

struct PngReader {
  PngError err{};
  png_structp png = nullptr;
  png_infop info = nullptr;
  const uint8_t* data = nullptr;
  size_t size = 0, pos = 0;
  bool truncated = false;

  ~PngReader() {
    if (png) png_destroy_read_struct(&png, &info, nullptr);
  }
};

void PngReadFn(png_structp png, png_bytep out, size_t n) {
  auto* r = static_cast<PngReader*>(png_get_io_ptr(png));
  if (n > r->size - r->pos) {
    r->truncated = true;
    png_error(png, "unexpected end of file");
  }
  std::memcpy(out, r->data + r->pos, n);
  r->pos += n;
}

struct PngLayout {
  uint32_t width = 0, height = 0;
  int sourceBitsPerPixel = 0;  // as stored in the file, for the size check
  int bitDepth = 0;            // after expansion to RGBA: 8 or 16
  size_t rowBytes = 0;
};

bool PngReadHeader(PngReader* r, PngLayout* out) {
  if (setjmp(r->err.jump)) return false;
  r->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &r->err, PngErrorFn, PngWarningFn);
  if (r->png) r->info = png_create_info_struct(r->png);
  if (!r->png || !r->info) {
    Refuse(&r->err, "out of memory");
    return false;
  }
  png_set_read_fn(r->png, r, PngReadFn);
  png_read_info(r->png, r->info);

  png_structp png = r->png;
  png_infop info = r->info;
  const int colorType = png_get_color_type(png, info);
  const int depth = png_get_bit_depth(png, info);
  out->width = png_get_image_width(png, info);
  out->height = png_get_image_height(png, info);
  out->sourceBitsPerPixel = png_get_channels(png, info) * depth;

  // Everything becomes RGBA of 8 or 16 bits.
  const bool hasTrns = png_get_valid(png, info, PNG_INFO_tRNS) != 0;
  if (colorType == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colorType == PNG_COLOR_TYPE_GRAY && depth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (hasTrns) png_set_tRNS_to_alpha(png);
  if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png);
  if (!(colorType & PNG_COLOR_MASK_ALPHA) && !hasTrns) png_set_add_alpha(png, 0xFFFF, PNG_FILLER_AFTER);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);

  out->bitDepth = png_get_bit_depth(png, info);
  out->rowBytes = png_get_rowbytes(png, info);
  if (png_get_channels(png, info) != 4 || (out->bitDepth != 8 && out->bitDepth != 16) ||
      out->rowBytes != size_t(out->width) * 4 * size_t(out->bitDepth / 8)) {
    Refuse(&r->err, "unsupported PNG layout");
    return false;
  }
  return true;
}

bool PngReadRows(PngReader* r, png_bytep* rows) {
  if (setjmp(r->err.jump)) return false;
  png_read_image(r->png, rows);
  png_read_end(r->png, nullptr);
  return true;
}

// --------------------------------------------------------------------------------------------
// libjpeg

struct JpegError {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
  char text[JMSG_LENGTH_MAX];
  bool ours;
  bool truncated;
};

void JpegErrorExit(j_common_ptr c) {
  auto* e = reinterpret_cast<JpegError*>(c->err);
  (*c->err->format_message)(c, e->text);
  if (c->err->msg_code == JWRN_JPEG_EOF) e->truncated = true;
  std::longjmp(e->jump, 1);
}

void JpegEmitMessage(j_common_ptr c, int level) {
  if (level >= 0) return;  // trace output
  // Stray bytes between markers leave the image whole. Every other warning means corrupt or
  // missing data that libjpeg would quietly paint grey: we refuse the image instead.
  if (c->err->msg_code == JWRN_EXTRANEOUS_DATA) {
    ++c->err->num_warnings;
    return;
  }
  JpegErrorExit(c);
}

struct JpegReader {
  JpegError err{};
  jpeg_decompress_struct cinfo{};
  bool created = false;

  ~JpegReader() {
    if (created) jpeg_destroy_decompress(&cinfo);
  }
};

bool JpegReadHeader(JpegReader* r, const uint8_t* data, size_t size) {
  r->cinfo.err = jpeg_std_error(&r->err.pub);
  r->err.pub.error_exit = JpegErrorExit;
  r->err.pub.emit_message = JpegEmitMessage;
  if (setjmp(r->err.jump)) return false;
  r->created = true;
  jpeg_create_decompress(&r->cinfo);
  jpeg_mem_src(&r->cinfo, data, static_cast<unsigned long>(size));
  jpeg_read_header(&r->cinfo, TRUE);
  switch (r->cinfo.jpeg_color_space) {
    case JCS_GRAYSCALE:
    case JCS_YCbCr:
    case JCS_RGB:
      r->cinfo.out_color_space = JCS_RGB;
      return true;
    default:
      Refuse(&r->err, "unsupported JPEG colour space (CMYK or unknown)");
      return false;
  }
}

bool JpegReadRows(JpegReader* r, uint8_t* pixels, size_t rowBytes) {
  if (setjmp(r->err.jump)) return false;
  jpeg_decompress_struct* c = &r->cinfo;
  jpeg_start_decompress(c);
  if (c->output_components != 3 || c->output_width != c->image_width || c->output_height != c->image_height) {
    Refuse(&r->err, "unsupported JPEG layout");
    return false;
  }
  while (c->output_scanline < c->output_height) {
    JSAMPROW row = pixels + size_t(c->output_scanline) * rowBytes;
    if (jpeg_read_scanlines(c, &row, 1) != 1) {
      Refuse(&r->err, "decoding stopped early");
      return false;
    }
  }
  jpeg_finish_decompress(c);
  return true;
}

// --------------------------------------------------------------------------------------------

bool ReadWholeFile(const std::filesystem::path& path, std::vector<uint8_t>* data, std::string* reason) {
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (!std::filesystem::exists(status)) {
    *reason = "no such file";
    return false;
  }
  if (std::filesystem::is_directory(status)) {
    *reason = "it is a folder";
    return false;
  }
  const auto size = std::filesystem::file_size(path, ec);
  if (ec) {
    *reason = ec.message();
    return false;
  }
  if (size > uint64_t(kMaxImageFileBytes)) {
    *reason = "the file is larger than " + std::to_string(kMaxImageFileBytes >> 20) + " MiB";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *reason = std::strerror(errno);
    return false;
  }
  data->resize(size_t(size));
  if (size > 0 && !in.read(reinterpret_cast<char*>(data->data()), std::streamsize(size))) {
    *reason = "read error";
    return false;
  }
  return true;
}

// The limits every decoder applies once the header is known and before any pixel is allocated.
bool CheckDimensions(uint64_t width, uint64_t height, std::string* reason) {
  if (width == 0 || height == 0) {
    *reason = "the image has no pixels";
    return false;
  }
  if (width > uint64_t(kMaxImageSide) || height > uint64_t(kMaxImageSide) ||
      width * height > uint64_t(kMaxImagePixels)) {
    *reason = "the image declares " + std::to_string(width) + " x " + std::to_string(height) +
              " pixels, more than the " + std::to_string(kMaxImageSide) + "-pixel side and " +
              std::to_string(kMaxImagePixels) + "-pixel limits";
    return false;
  }
  return true;
}

std::string TooBigForFile(uint64_t width, uint64_t height, size_t fileSize) {
  return "the image declares " + std::to_string(width) + " x " + std::to_string(height) + " pixels, more than its " +
         std::to_string(fileSize) + "-byte file can hold (truncated or corrupt)";
}

std::string PngFailure(const PngReader& r) {
  if (r.truncated) return "the file is truncated";
  return r.err.ours ? std::string(r.err.text) : "corrupt PNG (" + std::string(r.err.text) + ")";
}

bool DecodePng(const std::vector<uint8_t>& file, DecodedImage* out, std::string* reason) {
  PngReader r;
  r.data = file.data();
  r.size = file.size();
  PngLayout layout;
  if (!PngReadHeader(&r, &layout)) {
    *reason = PngFailure(r);
    return false;
  }
  if (!CheckDimensions(layout.width, layout.height, reason)) return false;
  // Deflate packs at most 1032 bytes into one, so the file bounds the filtered rows it can hold.
  const uint64_t raw = uint64_t(layout.height) * (1 + (uint64_t(layout.width) * uint64_t(layout.sourceBitsPerPixel) + 7) / 8);
  if (raw / 1032 > file.size()) {
    *reason = TooBigForFile(layout.width, layout.height, file.size());
    return false;
  }

  DecodedImage img;
  img.width = int(layout.width);
  img.height = int(layout.height);
  img.channels = 4;
  img.bitDepth = layout.bitDepth;
  img.bytes.resize(layout.rowBytes * layout.height);
  std::vector<png_bytep> rows(static_cast<size_t>(layout.height));
  for (size_t y = 0; y < rows.size(); ++y) rows[y] = img.bytes.data() + y * layout.rowBytes;
  if (!PngReadRows(&r, rows.data())) {
    *reason = PngFailure(r);
    return false;
  }
  *out = std::move(img);
  return true;
}

bool DecodeJpeg(const std::vector<uint8_t>& file, DecodedImage* out, std::string* reason) {
  JpegReader r;
  const auto failure = [&] {
    if (r.err.truncated) return std::string("the file is truncated");
    return r.err.ours ? std::string(r.err.text) : "corrupt JPEG (" + std::string(r.err.text) + ")";
  };
  if (!JpegReadHeader(&r, file.data(), file.size())) {
    *reason = failure();
    return false;
  }
  const uint64_t w = r.cinfo.image_width, h = r.cinfo.image_height;
  if (!CheckDimensions(w, h, reason)) return false;
  // Huffman coding spends at least one bit on every 8 x 8 block, so a file of n bytes holds at
  // most 512 n pixels. Arithmetic coding has no hard floor; 1/64 bit a block is already far below
  // what real images reach.
  const uint64_t pixelsPerByte = r.cinfo.arith_code ? 512 * 64 : 512;
  if ((w * h + pixelsPerByte - 1) / pixelsPerByte > file.size()) {
    *reason = TooBigForFile(w, h, file.size());
    return false;
  }
  DecodedImage img;
  img.width = int(w);
  img.height = int(h);
  img.channels = 3;
  img.bitDepth = 8;
  img.bytes.resize(size_t(w * h * 3));
  if (!JpegReadRows(&r, img.bytes.data(), size_t(w) * 3)) {
    *reason = failure();
    return false;
  }
  *out = std::move(img);
  return true;
}

}  // namespace

bool ReadImageFile(const std::filesystem::path& path, DecodedImage* out, std::string* message) {
  std::vector<uint8_t> file;
  std::string reason;
  bool ok = ReadWholeFile(path, &file, &reason);
  if (ok) {
    static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (file.size() >= 8 && std::memcmp(file.data(), kPngSignature, 8) == 0) ok = DecodePng(file, out, &reason);
    else if (file.size() >= 3 && file[0] == 0xFF && file[1] == 0xD8 && file[2] == 0xFF) ok = DecodeJpeg(file, out, &reason);
    else {
      reason = file.empty() ? "the file is empty" : "not a PNG or JPEG image";
      ok = false;
    }
  }
  if (!ok) SetError(message, "cannot read image " + Quote(path) + ": " + reason);
  return ok;
}

namespace {

// The row table of an image laid out as in DecodedImage; an empty reason when it could be made.
std::string RowTable(int width, int height, int channels, int bitDepth, const uint8_t* rows,
                     std::vector<png_bytep>& table) {
  if (width < 1 || height < 1 || width > kMaxImageSide || height > kMaxImageSide || !rows)
    return "no image or a size out of range";
  if ((channels != 3 && channels != 4) || (bitDepth != 8 && bitDepth != 16)) return "unsupported pixel layout";
  const size_t rowBytes = size_t(width) * size_t(channels) * size_t(bitDepth / 8);
  try {
    table.resize(static_cast<size_t>(height));
  } catch (const std::bad_alloc&) {
    return "out of memory";
  }
  for (size_t y = 0; y < table.size(); ++y) table[y] = const_cast<png_bytep>(rows + y * rowBytes);
  return {};
}

}  // namespace

bool WritePngFile(const std::filesystem::path& path, int width, int height, int channels, int bitDepth,
                  const uint8_t* rows, std::string* message) {
  const auto fail = [&](const std::string& reason) {
    return Fail(message, "cannot write " + Quote(path) + ": " + reason);
  };
  std::vector<png_bytep> rowTable;
  if (const std::string why = RowTable(width, height, channels, bitDepth, rows, rowTable); !why.empty())
    return fail(why);
  AtomicFile file(path);
  if (!file.Open()) return fail(file.Error());
  PngWriter writer;
  if (!EncodePng(&writer, file.Stream(), nullptr, width, height, channels, bitDepth, rowTable.data()))
    return fail(std::string(writer.err.text));
  if (!file.Commit()) return fail(file.Error());
  return true;
}

bool EncodePngBytes(int width, int height, int channels, int bitDepth, const uint8_t* rows,
                    std::vector<uint8_t>* png, std::string* message) {
  const auto fail = [&](const std::string& reason) { return Fail(message, "cannot encode a PNG image: " + reason); };
  std::vector<png_bytep> rowTable;
  if (const std::string why = RowTable(width, height, channels, bitDepth, rows, rowTable); !why.empty())
    return fail(why);
  std::vector<uint8_t> out;
  PngWriter writer;
  if (!EncodePng(&writer, nullptr, &out, width, height, channels, bitDepth, rowTable.data()))
    return fail(std::string(writer.err.text));
  *png = std::move(out);
  return true;
}

}  // namespace host::codec
