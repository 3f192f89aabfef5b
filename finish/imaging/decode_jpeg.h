// The libjpeg path of decoding: plain JPEG renders (8-bit YCbCr or RGB) go straight
// into the RGBX buffer, with libjpeg-turbo, the decoder the image library itself
// uses for them, and with the same settings, so the pixels are the same. About a
// third faster than through the library's strips and copies.
#pragma once

#include <string>

#include "imaging/image.h"

namespace finish {

// Decodes the JPEG file at `path` into `out`, as 8-bit RGBX; w × h is the size the
// image library has read from the file's header. X comes out as 0xFF, the maximum.
// False, with `out` emptied, for anything unusual (a warning about the data, a different
// shape or colour model): nothing is decided then, and the library's own reader
// takes the file.
bool decodeJpeg(const std::string& path, int w, int h, Samples8& out);

}  // namespace finish
