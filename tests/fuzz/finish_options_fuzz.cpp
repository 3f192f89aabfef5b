// quillore-finish's option reading with generated argument lists: opt() takes the
// first occurrence of a name and its value (if one follows) and nothing else, in
// the order the program reads them; the value readers agree with plain references
// (strtoll-style integers clamped to 1…3, strtof and strtod in the C locale) and
// fall back to the defaults for anything else.
#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "modes/entry.h"

namespace {

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "finish options: %s\n", what);
  std::abort();
}

const char* const names[] = {"--mode", "--out", "--strength", "--sky", "--quality"};

std::optional<std::string> referenceOpt(std::vector<std::string>& args, const std::string& name) {
  for (size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] != name) continue;
    std::string value = args[i + 1];
    args.erase(args.begin() + long(i), args.begin() + long(i) + 2);
    return value;
  }
  return std::nullopt;  // absent, or only as the last element
}

int referenceStrength(const std::optional<std::string>& text) {
  if (!text) return 2;
  const std::string& s = *text;
  size_t start = !s.empty() && (s[0] == '+' || s[0] == '-') ? 1 : 0;
  if (start == s.size()) return 2;
  for (size_t i = start; i < s.size(); ++i)
    if (s[i] < '0' || s[i] > '9') return 2;
  errno = 0;
  long long value = std::strtoll(s.c_str(), nullptr, 10);
  if (errno == ERANGE) return 2;
  return value < 1 ? 1 : value > 3 ? 3 : int(value);
}

bool readable(const std::optional<std::string>& text) {
  return text && !text->empty() && !std::strchr(" \t\n\v\f\r", (*text)[0]);
}

bool same(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  std::vector<std::string> args;
  for (int n = in.ConsumeIntegralInRange(0, 12); n > 0 && in.remaining_bytes() > 0; --n) {
    if (in.ConsumeBool()) args.push_back(names[in.ConsumeIntegralInRange(0, 4)]);
    else args.push_back(in.ConsumeRandomLengthString(12));
  }
  std::vector<std::string> expected = args;
  std::optional<std::string> values[5];
  for (int i = 0; i < 5; ++i) {
    values[i] = finish::opt(args, names[i]);
    if (values[i] != referenceOpt(expected, names[i])) broken("opt takes another value");
    if (args != expected) broken("opt leaves other arguments");
  }

  int strength = finish::parseStrength(values[2]);
  if (strength < 1 || strength > 3) broken("strength out of 1…3");
  if (strength != referenceStrength(values[2])) broken("strength differs from the reference");

  // The fuzzer runs in the C locale, so plain strtof and strtod are the reference.
  for (const auto& text : {values[3], std::optional<std::string>(in.ConsumeRandomLengthString(24))}) {
    char* end = nullptr;
    float sky = 0.45f;
    if (readable(text)) {
      float v = std::strtof(text->c_str(), &end);
      if (end == text->c_str() + text->size()) sky = v;
    }
    if (!same(finish::parseSky(text), sky)) broken("sky differs from strtof");
    double quality = 0.95;
    if (readable(text)) {
      double v = std::strtod(text->c_str(), &end);
      if (end == text->c_str() + text->size()) quality = v;
    }
    if (!same(finish::parseQuality(text), quality)) broken("quality differs from strtod");
  }

  const std::string mode = values[0].value_or("balance");
  std::string line =
      finish::timingLine(mode, in.ConsumeIntegral<int>(), in.ConsumeIntegral<int>(), in.ConsumeFloatingPoint<double>());
  if (line.rfind(mode + " ", 0) != 0 || line.size() < 2 || line.substr(line.size() - 2) != " s")
    broken("the timing line is malformed");
  return 0;
}
