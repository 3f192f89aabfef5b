// The byte-level rewrite of a JPEG result's header. The image library's JPEG writer
// rebuilds EXIF from its parsed tags (adding the pixel dimensions and rewriting the
// resolution in its own units) and leaves out the JFIF segment when there is EXIF.
// OUT has BASE's size and orientation, so BASE's own segments are exact: they
// replace the writer's.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace finish {

// `encoded` as the writer made it, with BASE's JFIF segment (`jfif`, marker
// included, or empty) and then BASE's EXIF block (`exif`, with or without its
// "Exif\0\0" header, or empty) right after the start-of-image marker, in place of
// the writer's own JFIF and EXIF segments; the writer's other application and
// comment segments follow in their order, then the rest of the file unchanged. A
// BASE without JFIF or EXIF gives a file without them. Nothing when `encoded` does
// not start with the start-of-image marker, when one of its leading segments is
// shorter than its length field allows or runs past the end, or when the EXIF block
// does not fit one segment.
std::optional<std::string> withBasesJpegHeader(std::string_view encoded, std::string_view jfif, std::string_view exif);

}  // namespace finish
