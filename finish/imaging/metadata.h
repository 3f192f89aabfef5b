// What travels from BASE to OUT besides the pixels: BASE's file type, colour
// profile, EXIF, XMP, IPTC, orientation, resolution and PNG text, kept when BASE is
// decoded and handed to the writer when OUT is saved.
#pragma once

#include <vips/vips.h>

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "imaging/files.h"

namespace finish {

struct Source::Handle {
  std::string path;    // BASE's file, for the metadata the image library leaves behind
  std::string jfif;    // a JPEG BASE's JFIF segment (marker included), or empty
  std::string loader;  // the loader's nickname without its "_source"/"_file" suffix
  double xres = 1.0;
  double yres = 1.0;
  std::vector<std::pair<std::string, GValue>> fields;

  Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    for (auto& field : fields) g_value_unset(&field.second);
  }

  const GValue* field(std::string_view name) const {
    for (const auto& f : fields)
      if (f.first == name) return &f.second;
    return nullptr;
  }
};

// The loader, resolution and carried fields of a decoded file.
std::shared_ptr<Source::Handle> keepMetadata(VipsImage* image);

// The JFIF segment of a JPEG file, which the JFIF format puts right after the
// start-of-image marker; empty when there is none.
std::string jfifSegment(const std::string& path);

}  // namespace finish
