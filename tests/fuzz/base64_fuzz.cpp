// The strict base64 reader against a plain reference: the same texts are accepted
// (length a multiple of four, the standard alphabet, "=" only as one or two final
// characters) and give the same bytes; encoding any bytes and reading them back
// gives the bytes again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "frontend/base64.h"

namespace {

const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "base64: %s\n", what);
  std::abort();
}

int sextet(char c) {
  for (int i = 0; i < 64; ++i)
    if (alphabet[i] == c) return i;
  return -1;
}

std::optional<std::string> reference(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  std::string out;
  uint32_t bits = 0;
  int held = 0;
  for (size_t i = 0; i < text.size() - padding; ++i) {
    int value = sextet(text[i]);
    if (value < 0) return std::nullopt;
    bits = (bits << 6) | uint32_t(value);
    held += 6;
    if (held >= 8) {
      held -= 8;
      out.push_back(char((bits >> held) & 0xFF));
    }
  }
  return out;
}

std::string encode(std::string_view bytes) {
  std::string text;
  for (size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = uint32_t(uint8_t(bytes[i])) << 16;
    if (i + 1 < bytes.size()) n |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) n |= uint8_t(bytes[i + 2]);
    text += alphabet[(n >> 18) & 63];
    text += alphabet[(n >> 12) & 63];
    text += i + 1 < bytes.size() ? alphabet[(n >> 6) & 63] : '=';
    text += i + 2 < bytes.size() ? alphabet[n & 63] : '=';
  }
  return text;
}

std::optional<std::string> decoded(std::string text) {
  if (!quillore::decodeBase64InPlace(text)) return std::nullopt;
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto read = decoded(std::string(text));
  auto expected = reference(text);
  if (read.has_value() != expected.has_value())
    broken(read ? "accepts a text the reference refuses" : "refuses base64");
  if (read && *read != *expected) broken("reads other bytes than the reference");

  auto back = decoded(encode(text));
  if (!back || *back != text) broken("encoded bytes do not read back");
  return 0;
}
