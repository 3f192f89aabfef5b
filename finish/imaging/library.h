// What the decoding and saving code share of the image library: a reference to one
// of its images that lets go of it when it goes out of scope.
#pragma once

#include <vips/vips.h>

#include <utility>

namespace finish {

struct ImageRef {
  VipsImage* image = nullptr;
  ImageRef() = default;
  explicit ImageRef(VipsImage* i) : image(i) {}
  ImageRef(const ImageRef&) = delete;
  ImageRef& operator=(const ImageRef&) = delete;
  ImageRef(ImageRef&& o) noexcept : image(std::exchange(o.image, nullptr)) {}
  ImageRef& operator=(ImageRef&& o) noexcept {
    std::swap(image, o.image);
    return *this;
  }
  ~ImageRef() {
    if (image) g_object_unref(image);
  }
  VipsImage* operator->() const { return image; }
  explicit operator bool() const { return image != nullptr; }
};

}  // namespace finish
