#include "frontend/base64.h"

#include <array>
#include <cstdint>
#include <optional>

namespace quillore {
namespace {

constexpr uint8_t invalid = 0xFF;

constexpr std::array<uint8_t, 256> makeTable() {
  std::array<uint8_t, 256> table{};
  for (auto& entry : table) entry = invalid;
  const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (uint8_t i = 0; i < 64; ++i) table[uint8_t(alphabet[i])] = i;
  return table;
}

constexpr std::array<uint8_t, 256> sextet = makeTable();

// Decodes `size` characters at `in` to `out`, which may be `in` itself: each group of
// four characters is read before its three bytes are written, and the bytes never
// overtake the characters still to be read. The number of bytes, or nothing.
std::optional<size_t> decode(const char* text, size_t size, char* to) {
  if (size % 4 != 0) return std::nullopt;
  auto* in = reinterpret_cast<const uint8_t*>(text);
  auto* out = reinterpret_cast<uint8_t*>(to);
  size_t padding = 0;
  if (size > 0 && in[size - 1] == '=') padding = in[size - 2] == '=' ? 2 : 1;
  const size_t whole = padding ? size - 4 : size;  // groups without "="

  size_t written = 0;
  for (size_t i = 0; i < whole; i += 4) {
    uint32_t a = sextet[in[i]], b = sextet[in[i + 1]], c = sextet[in[i + 2]], d = sextet[in[i + 3]];
    if ((a | b | c | d) & 0x80) return std::nullopt;  // `invalid` is the only entry with the top bit
    uint32_t bits = a << 18 | b << 12 | c << 6 | d;
    out[written] = uint8_t(bits >> 16);
    out[written + 1] = uint8_t(bits >> 8);
    out[written + 2] = uint8_t(bits);
    written += 3;
  }
  if (padding) {
    const uint8_t* group = in + whole;
    uint32_t a = sextet[group[0]], b = sextet[group[1]];
    uint32_t c = padding == 2 ? 0 : sextet[group[2]];
    if ((a | b | c) & 0x80) return std::nullopt;
    uint32_t bits = a << 18 | b << 12 | c << 6;
    out[written++] = uint8_t(bits >> 16);
    if (padding == 1) out[written++] = uint8_t(bits >> 8);
  }
  return written;
}

}  // namespace

bool decodeBase64InPlace(std::string& text) {
  auto size = decode(text.data(), text.size(), text.data());
  if (!size) return false;
  text.resize(*size);
  return true;
}

}  // namespace quillore
