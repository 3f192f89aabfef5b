#include <gtest/gtest.h>

#include <clocale>
#include <cmath>

#include "modes/entry.h"

using namespace finish;
using Args = std::vector<std::string>;

TEST(Opt, TakesTheFirstOccurrenceAndItsValue) {
  struct Case {
    Args args;
    const char* name;
    std::optional<std::string> value;
    Args left;
  };
  const Case cases[] = {
      {{"--mode", "balance", "a", "b"}, "--mode", "balance", {"a", "b"}},
      {{"a", "--mode", "balance", "b"}, "--mode", "balance", {"a", "b"}},
      // Only the first occurrence is taken; later ones stay with their values.
      {{"--mode", "balance", "--mode", "darken-sky", "a"}, "--mode", "balance", {"--mode", "darken-sky", "a"}},
      // The value is taken whatever it looks like.
      {{"--out", "--mode", "x"}, "--out", "--mode", {"x"}},
      // Last element: no value, the name stays as a positional argument.
      {{"a", "b", "--sky"}, "--sky", std::nullopt, {"a", "b", "--sky"}},
      {{"a", "b"}, "--sky", std::nullopt, {"a", "b"}},
      // Exact, case-sensitive names only.
      {{"--mode=balance", "--MODE", "x"}, "--mode", std::nullopt, {"--mode=balance", "--MODE", "x"}},
      {{}, "--mode", std::nullopt, {}},
  };
  for (const Case& c : cases) {
    Args args = c.args;
    EXPECT_EQ(opt(args, c.name), c.value);
    EXPECT_EQ(args, c.left);
  }
}

TEST(Options, StrengthIsADecimalIntegerClampedToOneToThree) {
  struct Case {
    std::optional<std::string> text;
    int strength;
  };
  const Case cases[] = {
      {std::nullopt, 2},
      {"1", 1},
      {"2", 2},
      {"3", 3},
      {"0", 1},
      {"-7", 1},
      {"9", 3},
      {"+3", 3},
      {"two", 2},
      {" 3", 2},
      {"3 ", 2},
      {"", 2},
      {"+", 2},
      {"-", 2},
      {"3.0", 2},
      {"0x3", 2},
      {"0003", 3},
      {"99999999999999999999", 2},
      {"9223372036854775807", 3},
      {"-9223372036854775808", 1},
      {"9223372036854775808", 2},
  };
  for (const Case& c : cases) EXPECT_EQ(parseStrength(c.text), c.strength) << c.text.value_or("(none)");
}

TEST(Options, SkyAndQualityReadLikeTheCLibraryInTheCLocale) {
  struct Case {
    std::optional<std::string> text;
    double value;
  };
  const Case cases[] = {
      {std::nullopt, -1}, {"0.3", 0.3}, {"2", 2},     {"-1e-1", -0.1}, {"0x1p-1", 0.5}, {".5", 0.5}, {"+0.25", 0.25},
      {"a.jpg", -1},      {"", -1},     {" 0.3", -1}, {"\t0.3", -1},   {"0.3 ", -1},    {"0,3", -1}, {"1e", -1},
  };
  for (const Case& c : cases) {
    const char* label = c.text ? c.text->c_str() : "(none)";
    EXPECT_EQ(parseSky(c.text), c.value < 0 && c.value != -0.1 ? 0.45f : float(c.value)) << label;
    EXPECT_EQ(parseQuality(c.text), c.value < 0 && c.value != -0.1 ? 0.95 : c.value) << label;
  }
  EXPECT_TRUE(std::isinf(parseSky("inf")));
  EXPECT_TRUE(std::isinf(parseQuality("-Infinity")));
  EXPECT_TRUE(std::isnan(parseSky("nan")));
  EXPECT_TRUE(std::isnan(parseQuality("NAN")));
  EXPECT_TRUE(std::isinf(parseSky("1e60")));  // out of single-precision range
}

TEST(Options, NumbersIgnoreTheUsersLocale) {
  // A locale with a decimal comma, where the machine has one.
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous ? previous : "C";
  bool comma = false;
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "C.UTF-8"})
    if (std::setlocale(LC_NUMERIC, name)) {
      comma = true;
      break;
    }
  EXPECT_EQ(parseSky(std::string("0.3")), 0.3f);
  EXPECT_EQ(parseQuality(std::string("0,3")), 0.95);
  EXPECT_EQ(timingLine("balance", 3, 2, 1.5), "balance 3\u00d72 in 1.50 s");
  std::setlocale(LC_NUMERIC, saved.c_str());
  (void)comma;
}

TEST(TimingLine, ModeSizeAndSecondsWithTwoDecimals) {
  EXPECT_EQ(timingLine("balance", 3000, 2000, 2.345678), "balance 3000\u00d72000 in 2.35 s");
  EXPECT_EQ(timingLine("darken-sky", 1, 1, 0.0), "darken-sky 1\u00d71 in 0.00 s");
  EXPECT_EQ(timingLine("keep-highlights", 20, 10, 12.004), "keep-highlights 20\u00d710 in 12.00 s");
  EXPECT_EQ(timingLine("balance", 20, 10, 0.999), "balance 20\u00d710 in 1.00 s");
}
