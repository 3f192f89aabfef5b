#include "frontend/base64.h"

#include <array>
#include <cstdint>

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

}  // namespace

std::optional<std::string> decodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;

  std::string out((text.size() / 4) * 3 - padding, '\0');
  auto* in = reinterpret_cast<const uint8_t*>(text.data());
  auto* to = reinterpret_cast<uint8_t*>(out.data());
  const size_t whole = padding ? text.size() - 4 : text.size();  // quads without "="

  for (size_t i = 0; i < whole; i += 4) {
    uint32_t a = sextet[in[i]], b = sextet[in[i + 1]], c = sextet[in[i + 2]], d = sextet[in[i + 3]];
    if ((a | b | c | d) & 0x80) return std::nullopt;  // `invalid` is the only value with the top bit
    uint32_t bits = a << 18 | b << 12 | c << 6 | d;
    to[0] = uint8_t(bits >> 16);
    to[1] = uint8_t(bits >> 8);
    to[2] = uint8_t(bits);
    to += 3;
  }
  if (padding) {
    const uint8_t* q = in + whole;
    uint32_t a = sextet[q[0]], b = sextet[q[1]];
    uint32_t c = padding == 2 ? 0 : sextet[q[2]];
    if ((a | b | c) & 0x80) return std::nullopt;
    uint32_t bits = a << 18 | b << 12 | c << 6;
    to[0] = uint8_t(bits >> 16);
    if (padding == 1) to[1] = uint8_t(bits >> 8);
  }
  return out;
}

}  // namespace quillore
