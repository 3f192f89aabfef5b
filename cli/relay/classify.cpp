#include "relay/classify.h"

#include "connection/json.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace quillore {
namespace {

// A strict JSON validator that keeps nothing but the spans of the top-level members
// it is asked about. It accepts exactly what the JSON library's parser accepts: a
// leading byte order mark, whitespace (space, tab, LF, CR) around tokens, RFC 3629
// UTF-8 in texts, escapes with paired surrogates, and only numbers that fit a double;
// like `parseObject` it refuses NUL bytes and nesting deeper than `maxJsonDepth`.
class Scanner {
 public:
  explicit Scanner(std::string_view text)
      : p_(reinterpret_cast<const unsigned char*>(text.data())), end_(p_ + text.size()) {}

  LineShape topLevel() {
    LineShape shape;
    if (!skipByteOrderMark()) return {};
    skipSpace();
    if (!take('{')) return {};
    skipSpace();
    if (!take('}')) {
      for (;;) {
        const unsigned char* keyStart = p_;
        bool escaped = false;
        if (!string(escaped)) return {};
        std::string_view key = span(keyStart + 1, p_ - 1);
        std::string decoded;
        if (escaped) {
          decoded = nlohmann::json::parse(span(keyStart, p_)).get<std::string>();
          key = decoded;
        }
        skipSpace();
        if (!take(':')) return {};
        skipSpace();
        const unsigned char* valueStart = p_;
        if (!value()) return {};
        if (key == "method") {
          shape.hasMethod = true;
          shape.method.reset();
          if (*valueStart == '"') shape.method = nlohmann::json::parse(span(valueStart, p_)).get<std::string>();
        } else if (key == "id") {
          shape.id = nlohmann::json::parse(span(valueStart, p_));
        }
        skipSpace();
        if (take('}')) break;
        if (!take(',')) return {};
        skipSpace();
      }
    }
    skipSpace();
    if (p_ != end_) return {};
    shape.object = true;
    return shape;
  }

 private:
  static std::string_view span(const unsigned char* from, const unsigned char* to) {
    return {reinterpret_cast<const char*>(from), size_t(to - from)};
  }

  int peek() const { return p_ < end_ ? *p_ : -1; }

  bool take(unsigned char c) {
    if (p_ < end_ && *p_ == c) {
      ++p_;
      return true;
    }
    return false;
  }

  bool skipByteOrderMark() {
    if (peek() != 0xEF) return true;
    if (end_ - p_ < 3 || p_[1] != 0xBB || p_[2] != 0xBF) return false;
    p_ += 3;
    return true;
  }

  void skipSpace() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }

  // One value of any kind; nesting is followed with an explicit stack, so depth costs
  // no native stack.
  bool value() {
    stack_.clear();
    for (;;) {
      // A value starts here.
      switch (peek()) {
        case '{':
          if (!deeper()) return false;
          ++p_;
          skipSpace();
          if (take('}')) break;
          stack_.push_back('}');
          if (!memberName()) return false;
          continue;
        case '[':
          if (!deeper()) return false;
          ++p_;
          skipSpace();
          if (take(']')) break;
          stack_.push_back(']');
          continue;
        case '"': {
          bool escaped = false;
          if (!string(escaped)) return false;
          break;
        }
        case 't':
          if (!word("true")) return false;
          break;
        case 'f':
          if (!word("false")) return false;
          break;
        case 'n':
          if (!word("null")) return false;
          break;
        default:
          if (!number()) return false;
          break;
      }
      // A value has ended: close the containers it completes, or go on to the next.
      for (;;) {
        if (stack_.empty()) return true;
        skipSpace();
        if (take(',')) {
          skipSpace();
          if (stack_.back() == '}' && !memberName()) return false;
          break;
        }
        if (!take(stack_.back())) return false;
        stack_.pop_back();
      }
    }
  }

  // Room for one more container inside the open ones and the top-level object.
  bool deeper() const { return stack_.size() + 2 <= maxJsonDepth; }

  // A member's name and its colon, leaving the position at its value.
  bool memberName() {
    bool escaped = false;
    if (!string(escaped)) return false;
    skipSpace();
    if (!take(':')) return false;
    skipSpace();
    return true;
  }

  bool word(const char* text) {
    size_t n = std::strlen(text);
    if (size_t(end_ - p_) < n || std::memcmp(p_, text, n) != 0) return false;
    p_ += n;
    return true;
  }

  bool digits() {
    const unsigned char* start = p_;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    return p_ != start;
  }

  bool number() {
    const unsigned char* start = p_;
    take('-');
    const unsigned char* integral = p_;
    if (take('0')) {
    } else if (peek() >= '1' && peek() <= '9') {
      digits();
    } else {
      return false;
    }
    bool mayOverflow = p_ - integral > 18;
    if (take('.')) {
      if (!digits()) return false;
    }
    if (peek() == 'e' || peek() == 'E') {
      ++p_;
      if (!take('+')) take('-');
      if (!digits()) return false;
      mayOverflow = true;
    }
    if (!mayOverflow) return true;
    // The library reads such numbers as doubles and refuses those out of range.
    std::string text(span(start, p_));
    return std::isfinite(std::strtod(text.c_str(), nullptr));
  }

  static bool plainWord(uint64_t v) {
    constexpr uint64_t ones = 0x0101010101010101ULL;
    constexpr uint64_t highs = 0x8080808080808080ULL;
    auto hasZero = [](uint64_t x) { return (x - ones) & ~x & highs; };
    uint64_t special =
        hasZero(v ^ (ones * '"')) | hasZero(v ^ (ones * '\\')) | ((v - ones * 0x20) & ~v & highs) | (v & highs);
    return special == 0;
  }

  // A text from its opening quote to just past its closing one.
  bool string(bool& escaped) {
    if (!take('"')) return false;
    for (;;) {
      // Eight plain ASCII bytes at a time until something needs a closer look.
      while (end_ - p_ >= 8) {
        uint64_t v;
        std::memcpy(&v, p_, 8);
        if (!plainWord(v)) break;
        p_ += 8;
      }
      if (p_ == end_) return false;
      unsigned char c = *p_;
      if (c == '"') {
        ++p_;
        return true;
      }
      if (c == '\\') {
        escaped = true;
        if (!escape()) return false;
      } else if (c < 0x20) {
        return false;
      } else if (c < 0x80) {
        ++p_;
      } else if (!utf8()) {
        return false;
      }
    }
  }

  int hex4() {
    if (end_ - p_ < 4) return -1;
    int code = 0;
    for (int i = 0; i < 4; ++i) {
      unsigned char c = p_[i];
      int digit = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
      if (digit < 0) return -1;
      code = code * 16 + digit;
    }
    p_ += 4;
    return code;
  }

  bool escape() {
    ++p_;  // the backslash
    switch (peek()) {
      case '"':
      case '\\':
      case '/':
      case 'b':
      case 'f':
      case 'n':
      case 'r':
      case 't': ++p_; return true;
      case 'u': {
        ++p_;
        int code = hex4();
        if (code < 0) return false;
        if (code >= 0xDC00 && code <= 0xDFFF) return false;  // a low surrogate alone
        if (code >= 0xD800 && code <= 0xDBFF) {
          if (!take('\\') || !take('u')) return false;
          int low = hex4();
          return low >= 0xDC00 && low <= 0xDFFF;
        }
        return true;
      }
      default: return false;
    }
  }

  // One multi-byte UTF-8 sequence, shortest form, no surrogates, at most U+10FFFF.
  bool utf8() {
    unsigned char lead = *p_;
    int more;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (end_ - p_ <= more) return false;
    if (p_[1] < low || p_[1] > high) return false;
    for (int i = 2; i <= more; ++i)
      if (p_[i] < 0x80 || p_[i] > 0xBF) return false;
    p_ += more + 1;
    return true;
  }

  const unsigned char* p_;
  const unsigned char* end_;
  std::vector<unsigned char> stack_;  // the closing bracket of each open container
};

}  // namespace

LineShape classify(std::string_view line) { return Scanner(line).topLevel(); }

}  // namespace quillore
