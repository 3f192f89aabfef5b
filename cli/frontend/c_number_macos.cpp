#include "frontend/c_number.h"

#include <locale.h>
#include <stdlib.h>
#include <xlocale.h>

namespace quillore {

std::optional<double> readCDouble(const std::string& text) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
  if (cLocale == locale_t(nullptr)) return std::nullopt;
  char* end = nullptr;
  double value = strtod_l(text.c_str(), &end, cLocale);
  if (end != text.c_str() + text.size()) return std::nullopt;  // stopped early (an embedded NUL too)
  return value;
}

}  // namespace quillore
