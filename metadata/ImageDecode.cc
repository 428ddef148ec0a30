#include "metadata/ImageDecode.h"

// clang-format off
#include <cstdio>  // jpeglib.h needs FILE and size_t first
#include <csetjmp>
#include <jpeglib.h>
#include <jerror.h>
#include <png.h>
// clang-format on

#include <cstring>
#include <vector>

namespace sorv {

namespace {

// Images larger than this are refused rather than decoded (a progressive JPEG keeps all its
// coefficients in memory).
constexpr unsigned long long kMaxPixels = 400ull * 1000 * 1000;
constexpr long kJpegMaxMemory = 1l << 30;
// A progressive JPEG can carry any number of scans; real files use a dozen.
constexpr int kMaxJpegScans = 1000;
constexpr std::size_t kReadChunk = 64 * 1024;

// ---- JPEG ----

struct JpegErrorManager {
  jpeg_error_mgr pub;
  std::jmp_buf jump;
};

struct JpegSourceManager {
  jpeg_source_mgr pub;
  ByteSource* source;
  std::uint64_t offset;
  JOCTET buffer[kReadChunk];
  bool atEnd;
};

void jpegErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<JpegErrorManager*>(cinfo->err)->jump, 1);
}

// Warnings mean corrupt or missing data (premature end, bad Huffman code, ...), except for
// two that only concern metadata.
void jpegEmitMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  const int code = cinfo->err->msg_code;
  if (code == JWRN_JFIF_MAJOR || code == JWRN_ADOBE_XFORM) return;
  jpegErrorExit(cinfo);
}

void jpegProgress(j_common_ptr cinfo) {
  if (cinfo->is_decompressor &&
      reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number > kMaxJpegScans)
    jpegErrorExit(cinfo);
}

void jpegInitSource(j_decompress_ptr) {}

boolean jpegFillInput(j_decompress_ptr cinfo) {
  auto* src = reinterpret_cast<JpegSourceManager*>(cinfo->src);
  std::size_t got = src->atEnd ? 0 : src->source->read(src->offset, src->buffer, kReadChunk);
  if (got == 0) {
    // The end came before the image did: a truncated or still-growing file.
    src->atEnd = true;
    WARNMS(cinfo, JWRN_JPEG_EOF);
    src->buffer[0] = 0xFF;
    src->buffer[1] = JPEG_EOI;
    got = 2;
  } else {
    src->offset += got;
  }
  src->pub.next_input_byte = src->buffer;
  src->pub.bytes_in_buffer = got;
  return TRUE;
}

void jpegSkipInput(j_decompress_ptr cinfo, long count) {
  auto* src = reinterpret_cast<JpegSourceManager*>(cinfo->src);
  if (count <= 0) return;
  auto n = static_cast<std::size_t>(count);
  if (n <= src->pub.bytes_in_buffer) {
    src->pub.next_input_byte += n;
    src->pub.bytes_in_buffer -= n;
    return;
  }
  src->offset += n - src->pub.bytes_in_buffer;
  src->pub.bytes_in_buffer = 0;
  src->pub.next_input_byte = src->buffer;
}

void jpegTermSource(j_decompress_ptr) {}

// Holds no objects with destructors: a libjpeg error jumps back into it.
bool decodeJpegCreate(jpeg_decompress_struct* cinfo, JpegErrorManager* err) {
  if (setjmp(err->jump)) return false;
  jpeg_create_decompress(cinfo);
  cinfo->mem->max_memory_to_use = kJpegMaxMemory;
  return true;
}

bool decodeJpegBody(jpeg_decompress_struct* cinfo, JpegErrorManager* err, int scaleDenom) {
  if (setjmp(err->jump)) return false;
  if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK) return false;
  if (static_cast<unsigned long long>(cinfo->image_width) * cinfo->image_height > kMaxPixels)
    return false;
  cinfo->scale_num = 1;
  cinfo->scale_denom = static_cast<unsigned>(scaleDenom);
  cinfo->dct_method = JDCT_IFAST;
  cinfo->do_fancy_upsampling = FALSE;
  cinfo->do_block_smoothing = FALSE;
  jpeg_start_decompress(cinfo);
  const JDIMENSION stride = cinfo->output_width * static_cast<JDIMENSION>(cinfo->output_components);
  JSAMPARRAY row =
      (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE, stride, 1);
  while (cinfo->output_scanline < cinfo->output_height) {
    if (jpeg_read_scanlines(cinfo, row, 1) != 1) return false;
  }
  jpeg_finish_decompress(cinfo);
  return true;
}

// ---- PNG ----

struct PngReadState {
  ByteSource* source;
  std::uint64_t offset;
  std::vector<png_byte> row;
};

void pngRead(png_structp png, png_bytep data, png_size_t length) {
  auto* state = static_cast<PngReadState*>(png_get_io_ptr(png));
  if (!state->source->readExact(state->offset, data, length)) png_error(png, "truncated");
  state->offset += length;
}

void pngError(png_structp png, png_const_charp) {
  png_longjmp(png, 1);
}
void pngWarning(png_structp, png_const_charp) {}

// Holds no objects with destructors: a libpng error jumps back into it.
bool decodePngSteps(png_structp png, png_infop info, PngReadState* state) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_read_fn(png, state, pngRead);
  png_set_crc_action(png, PNG_CRC_ERROR_QUIT, PNG_CRC_ERROR_QUIT);
  png_set_user_limits(png, 100000, 100000);
  png_set_chunk_malloc_max(png, 16u << 20);
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  if (static_cast<unsigned long long>(width) * height > kMaxPixels) return false;
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  state->row.resize(png_get_rowbytes(png, info));
  for (int pass = 0; pass < passes; ++pass) {
    for (png_uint_32 y = 0; y < height; ++y) png_read_row(png, state->row.data(), nullptr);
  }
  png_read_end(png, nullptr);
  return true;
}

}  // namespace

ImageKind sniffImageKind(ByteSource& source) {
  std::uint8_t head[8];
  const std::size_t n = source.read(0, head, sizeof head);
  if (n >= 3 && head[0] == 0xFF && head[1] == 0xD8 && head[2] == 0xFF) return ImageKind::Jpeg;
  if (n == 8 && png_sig_cmp(head, 0, 8) == 0) return ImageKind::Png;
  return ImageKind::Unknown;
}

bool decodeJpegCompletely(ByteSource& source, int scaleDenom) {
  if (scaleDenom != 1 && scaleDenom != 2 && scaleDenom != 4 && scaleDenom != 8) return false;
  jpeg_decompress_struct cinfo;
  std::memset(&cinfo, 0, sizeof cinfo);
  JpegErrorManager err;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = jpegErrorExit;
  err.pub.emit_message = jpegEmitMessage;
  if (!decodeJpegCreate(&cinfo, &err)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_progress_mgr progress{};
  progress.progress_monitor = jpegProgress;
  cinfo.progress = &progress;

  auto src = std::make_unique<JpegSourceManager>();
  src->pub.init_source = jpegInitSource;
  src->pub.fill_input_buffer = jpegFillInput;
  src->pub.skip_input_data = jpegSkipInput;
  src->pub.resync_to_restart = jpeg_resync_to_restart;
  src->pub.term_source = jpegTermSource;
  src->pub.bytes_in_buffer = 0;
  src->pub.next_input_byte = nullptr;
  src->source = &source;
  src->offset = 0;
  src->atEnd = false;
  cinfo.src = &src->pub;

  const bool ok = decodeJpegBody(&cinfo, &err, scaleDenom);
  jpeg_destroy_decompress(&cinfo);
  return ok;
}

bool decodePngCompletely(ByteSource& source) {
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, pngError, pngWarning);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    return false;
  }
  PngReadState state{&source, 0, {}};
  const bool ok = decodePngSteps(png, info, &state);
  png_destroy_read_struct(&png, &info, nullptr);
  return ok;
}

bool decodeImageCompletely(ByteSource& source) {
  switch (sniffImageKind(source)) {
    case ImageKind::Jpeg:
      return decodeJpegCompletely(source);
    case ImageKind::Png:
      return decodePngCompletely(source);
    case ImageKind::Unknown:
      break;
  }
  return false;
}

}  // namespace sorv
