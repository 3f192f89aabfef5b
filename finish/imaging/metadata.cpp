#include "imaging/metadata.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>

namespace finish {

namespace {

// Metadata that travels from BASE to OUT: the colour profile, EXIF (the raw block
// and the parsed tags the writers rebuild it from), XMP, IPTC, orientation and
// resolution unit, and PNG text chunks.
bool isCarriedField(std::string_view name) {
  return name == VIPS_META_ICC_NAME || name == VIPS_META_EXIF_NAME || name == VIPS_META_XMP_NAME ||
         name == VIPS_META_IPTC_NAME || name == VIPS_META_ORIENTATION || name == VIPS_META_RESOLUTION_UNIT ||
         name.starts_with("exif-ifd") || name.starts_with("png-comment-") || name == "heif-compression";
}

}  // namespace

std::shared_ptr<Source::Handle> keepMetadata(VipsImage* image) {
  auto handle = std::make_shared<Source::Handle>();
  const char* loader = nullptr;
  if (vips_image_get_typeof(image, VIPS_META_LOADER) && vips_image_get_string(image, VIPS_META_LOADER, &loader) == 0 &&
      loader) {
    std::string name = loader;
    for (std::string_view suffix : {"_source", "_file", "_buffer"})
      if (name.ends_with(suffix)) name.resize(name.size() - suffix.size());
    handle->loader = name;
  }
  handle->xres = image->Xres;
  handle->yres = image->Yres;
  gchar** names = vips_image_get_fields(image);
  for (gchar** p = names; p && *p; ++p) {
    if (!isCarriedField(*p)) continue;
    GValue value = G_VALUE_INIT;
    if (vips_image_get(image, *p, &value) == 0) handle->fields.emplace_back(*p, value);
  }
  g_strfreev(names);
  return handle;
}

std::string jfifSegment(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  std::string segment;
  uint8_t head[6];
  if (pread(fd, head, sizeof head, 0) == ssize_t(sizeof head) && head[0] == 0xFF && head[1] == 0xD8 &&
      head[2] == 0xFF && head[3] == 0xE0) {
    const size_t length = size_t(head[4]) << 8 | head[5];
    segment.resize(2 + length);
    if (length < 7 || pread(fd, segment.data(), segment.size(), 2) != ssize_t(segment.size()) ||
        segment.compare(4, 5, std::string_view("JFIF\0", 5)) != 0)
      segment.clear();
  }
  close(fd);
  return segment;
}

}  // namespace finish
