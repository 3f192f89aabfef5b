#include "imaging/decode_jpeg.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>  // before jpeglib.h, which needs FILE

#include <jpeglib.h>

namespace finish {

namespace {

// libjpeg reports errors, and warnings about damaged or cut data, through these:
// either way the decoding gives up.
struct JpegFailure {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void jpegGiveUp(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegFailure*>(info->err)->jump, 1); }

void jpegMessage(j_common_ptr info, int level) {
  if (level < 0) jpegGiveUp(info);  // a warning: damaged or cut data
}

// Only plain data lives in this frame, so that leaving it by longjmp skips no
// destructor.
bool decodeJpegInto(FILE* file, int w, int h, Samples8& out) {
  jpeg_decompress_struct info;
  JpegFailure failure;
  info.err = jpeg_std_error(&failure.manager);
  failure.manager.error_exit = jpegGiveUp;
  failure.manager.emit_message = jpegMessage;
  if (setjmp(failure.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  const bool plain = info.num_components == 3 && info.data_precision == 8 &&
                     (info.jpeg_color_space == JCS_YCbCr || info.jpeg_color_space == JCS_RGB) &&
                     int(info.image_width) == w && int(info.image_height) == h;
  if (!plain) jpegGiveUp(reinterpret_cast<j_common_ptr>(&info));
  info.out_color_space = JCS_EXT_RGBX;
  jpeg_start_decompress(&info);
  if (info.output_components != 4) jpegGiveUp(reinterpret_cast<j_common_ptr>(&info));
  const size_t stride = 4 * size_t(w);
  out.resize(stride * size_t(h));
  while (info.output_scanline < info.output_height) {
    JSAMPROW rows[16];
    const JDIMENSION first = info.output_scanline;
    const JDIMENSION count = std::min<JDIMENSION>(16, info.output_height - first);
    for (JDIMENSION i = 0; i < count; ++i) rows[i] = out.data() + size_t(first + i) * stride;
    jpeg_read_scanlines(&info, rows, count);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace

bool decodeJpeg(const std::string& path, int w, int h, Samples8& out) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  const bool decoded = decodeJpegInto(file, w, h, out);
  std::fclose(file);
  if (!decoded) out.clear();
  return decoded;
}

}  // namespace finish
