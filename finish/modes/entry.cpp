#include "modes/entry.h"

#include <unistd.h>

#include <locale.h>  // newlocale, and strtof_l / strtod_l with <stdlib.h>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <thread>
#include <utility>
#if defined(__APPLE__)
#include <xlocale.h>
#endif

#include "imaging/files.h"
#include "imaging/phases.h"
#include "modes/modes.h"

namespace finish {

namespace {

// Writes every byte, continuing short writes and retrying EINTR. False on any other
// error or on a write that takes nothing (which would otherwise be retried forever).
bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    bytes.remove_prefix(size_t(n));
  }
  return true;
}

// Numbers are read the C library's way in the C locale, whatever the user's.
locale_t cLocale() {
  static const locale_t c = newlocale(LC_ALL_MASK, "C", locale_t(0));
  return c;
}

// A text the C library's reader may look at: not empty, not starting with white
// space (which it would skip).
bool readable(const std::string& s) {
  if (s.empty()) return false;
  const char first = s.front();
  return !(first == ' ' || (first >= '\t' && first <= '\r'));
}

}  // namespace

void fail(std::string_view message) {
  std::string line(message);
  line += '\n';
  writeAll(STDERR_FILENO, line);
  std::exit(1);
}

std::optional<std::string> opt(std::vector<std::string>& args, std::string_view name) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] != name) continue;
    if (i + 1 >= args.size()) return std::nullopt;
    std::string value = std::move(args[i + 1]);
    args.erase(args.begin() + ptrdiff_t(i), args.begin() + ptrdiff_t(i + 2));
    return value;
  }
  return std::nullopt;
}

int parseStrength(const std::optional<std::string>& text) {
  if (!text || text->empty()) return 2;
  const std::string& s = *text;
  size_t at = 0;
  bool negative = false;
  if (s[0] == '+' || s[0] == '-') {
    negative = s[0] == '-';
    at = 1;
  }
  if (at == s.size()) return 2;
  long long value = 0;
  for (; at < s.size(); ++at) {
    if (s[at] < '0' || s[at] > '9') return 2;
    const int digit = s[at] - '0';
    // The value must fit a 64-bit integer, like any integer option.
    if (negative ? value < (std::numeric_limits<long long>::min() + digit) / 10
                 : value > (std::numeric_limits<long long>::max() - digit) / 10)
      return 2;
    value = negative ? value * 10 - digit : value * 10 + digit;
  }
  return value < 1 ? 1 : value > 3 ? 3 : int(value);
}

float parseSky(const std::optional<std::string>& text) {
  if (!text || !readable(*text)) return 0.45f;
  char* end = nullptr;
  const float value = strtof_l(text->c_str(), &end, cLocale());
  return end == text->c_str() + text->size() ? value : 0.45f;
}

double parseQuality(const std::optional<std::string>& text) {
  if (!text || !readable(*text)) return 0.95;
  char* end = nullptr;
  const double value = strtod_l(text->c_str(), &end, cLocale());
  return end == text->c_str() + text->size() ? value : 0.95;
}

std::string timingLine(std::string_view mode, int w, int h, double seconds) {
  char number[64];
  const auto written = std::to_chars(number, number + sizeof number, seconds, std::chars_format::fixed, 2);
  std::string line(mode);
  line += ' ';
  line += std::to_string(w);
  line += "\u00d7";
  line += std::to_string(h);
  line += " in ";
  line.append(number, written.ptr);
  line += " s";
  return line;
}

namespace {

// A render being decoded on its own thread; the decoders of the renders run side
// by side, and their outcomes are looked at in the order of the command line.
class Loading {
 public:
  explicit Loading(std::string path) : path_(std::move(path)) {
    thread_ = std::thread([this] {
      try {
        loaded_ = load(path_, error_);
      } catch (const std::bad_alloc&) {
        // Reported like the same failure on the main thread.
        error_ = "not enough memory for renders of this size";
      }
    });
  }
  Loading(const Loading&) = delete;
  Loading& operator=(const Loading&) = delete;
  ~Loading() { wait(); }

  void wait() {
    if (thread_.joinable()) thread_.join();
  }

  // The decoded render, or the end of the run with its message.
  Loaded take() {
    wait();
    if (!loaded_) fail(error_);
    return std::move(*loaded_);
  }

 private:
  std::string path_;
  std::optional<Loaded> loaded_;
  std::string error_;
  std::thread thread_;
};

}  // namespace

void run(std::vector<std::string> args) {
  const std::optional<std::string> mode = opt(args, "--mode");
  const std::optional<std::string> out = opt(args, "--out");
  const std::optional<std::string> strengthText = opt(args, "--strength");
  const std::optional<std::string> skyText = opt(args, "--sky");
  const std::optional<std::string> qualityText = opt(args, "--quality");
  if (!mode || !out) fail(usageText);
  const int strength = parseStrength(strengthText);
  const float sky = parseSky(skyText);
  const double quality = parseQuality(qualityText);

  const auto t0 = std::chrono::steady_clock::now();
  notePhase("start");
  if (args.size() < 2) fail("BASE and DARK are required");
  if (!startImaging("quillore-finish")) fail("cannot start the image library");

  // BRIGHT is opened only by the mode that uses it. Every decoder is waited for
  // before any message, so a failing run never ends while another is working. An
  // unknown mode is reported only once BASE and DARK have been read.
  const Mode* chosen = findMode(*mode);
  const bool wantsBright = chosen && chosen->renders == 3 && args.size() >= 3;
  Loading baseLoad(args[0]), darkLoad(args[1]);
  std::optional<Loading> brightLoad;
  if (wantsBright) brightLoad.emplace(args[2]);
  baseLoad.wait();
  darkLoad.wait();
  if (brightLoad) brightLoad->wait();

  notePhase("decode");
  Loaded base = baseLoad.take();
  const Image dark = darkLoad.take().image;  // its file is closed at once
  if (dark.w != base.image.w || dark.h != base.image.h) fail("the renders differ in size");

  // The result is written over BASE's own buffer: every mode reads a channel of
  // BASE only before it writes that channel of the result.
  Output output = Output::over(base.image);
  if (!chosen) fail("unknown mode " + *mode);
  {
    std::optional<Image> bright;
    if (chosen->renders == 3) {
      if (args.size() < 3) fail(std::string(chosen->name) + " needs BRIGHT");
      bright = brightLoad->take().image;
      if (bright->w != base.image.w || bright->h != base.image.h) fail("the renders differ in size");
    }
    const Image* renders[] = {&base.image, &dark, bright ? &*bright : nullptr};
    chosen->recipe(std::span(renders, chosen->renders), {strength, sky}, output);
  }

  notePhase("blend");
  std::string error;
  if (!save(output, base.source, quality, *out, error)) fail(error);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  notePhase("save");

  const std::string line = timingLine(*mode, base.image.w, base.image.h, seconds) + "\n";
  writeAll(STDOUT_FILENO, line);
  std::exit(0);
}

}  // namespace finish
