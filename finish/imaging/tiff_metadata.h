// TIFF metadata that the image library does not carry from one file to another.
#pragma once

#include <string>

namespace finish {

// Copies the descriptive tags of BASE's first directory (description, make,
// model, software, date, artist, copyright, IPTC, Photoshop resources) and its EXIF
// and GPS directories into the first directory of the TIFF file `out`. False when
// either file cannot be opened as TIFF or `out` cannot be updated.
bool copyTiffMetadata(const std::string& base, const std::string& out);

}  // namespace finish
