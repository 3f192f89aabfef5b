// The quillore-finish program as a user runs it: arguments, messages, exit status,
// and the files it reads and writes. Every test works in its own temporary folder
// on small renders made there.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <vips/vips.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>

#include "imaging/files.h"
#include "support/run_program.h"

namespace fs = std::filesystem;

namespace {

const std::string program = QUILLORE_BIN_DIR "/quillore-finish";

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

using testsupport::Outcome;

// Pixels of a file as libvips reads it, every sample as a double.
struct Pixels {
  int w = 0, h = 0, bands = 0;
  VipsBandFormat format = VIPS_FORMAT_NOTSET;
  std::string loader;
  std::vector<double> v;
  double at(int x, int y, int b) const { return v[size_t((y * w + x) * bands + b)]; }
};

using Fill = std::function<double(int x, int y, int band)>;

class Program : public ::testing::Test {
 protected:
  fs::path dir;

  void SetUp() override {
    ASSERT_TRUE(finish::startImaging("program_test"));
    std::string pattern = (fs::temp_directory_path() / "finish-test-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir = pattern;
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }

  fs::path at(const std::string& name) const { return dir / name; }

  // Runs the program in the test's folder.
  Outcome run(const std::vector<std::string>& args) const {
    // Under LeakSanitizer: the known leak inside libtiff is not ours.
    const char* previous = getenv("LSAN_OPTIONS");
    const std::string lsan = (previous && *previous ? std::string(previous) + ":" : std::string()) +
                             "print_suppressions=0:suppressions=" QUILLORE_SOURCE_DIR "/tests/finish/lsan.supp";
    return testsupport::runProgram(
        {.path = program, .arguments = args, .directory = dir.string(), .environment = {"LSAN_OPTIONS=" + lsan}});
  }

  // Writes a w×h render with `bands` samples per pixel of the given format; the
  // file type follows the name's extension.
  void make(const std::string& name, int w, int h, int bands, VipsBandFormat format, const Fill& fill,
            VipsInterpretation kind = VIPS_INTERPRETATION_sRGB,
            const std::function<void(VipsImage*)>& tag = nullptr) const {
    std::vector<double> samples(size_t(w * h * bands));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x)
        for (int b = 0; b < bands; ++b) samples[size_t((y * w + x) * bands + b)] = fill(x, y, b);
    VipsImage* doubles = vips_image_new_from_memory_copy(samples.data(), samples.size() * sizeof(double), w, h, bands,
                                                         VIPS_FORMAT_DOUBLE);
    ASSERT_NE(doubles, nullptr);
    VipsImage* cast = nullptr;
    ASSERT_EQ(vips_cast(doubles, &cast, format, nullptr), 0);
    VipsImage* tagged = nullptr;
    ASSERT_EQ(vips_copy(cast, &tagged, "interpretation", kind, nullptr), 0);
    if (tag) tag(tagged);
    // Untagged renders carry no metadata at all (the writers would make some up).
    ASSERT_EQ(vips_image_write_to_file(tagged, at(name).c_str(), "strip", !tag, nullptr), 0) << vips_error_buffer();
    g_object_unref(tagged);
    g_object_unref(cast);
    g_object_unref(doubles);
  }

  // An RGB render with a smooth pattern, different per seed, values 0…top.
  void makeRgb(const std::string& name, int w, int h, VipsBandFormat format, int seed) const {
    const double top = format == VIPS_FORMAT_UCHAR ? 255.0 : 65535.0;
    make(
        name, w, h, 3, format,
        [=](int x, int y, int b) {
          const double v = 0.5 + 0.45 * std::sin(0.3 * x * (b + 1) + 0.2 * y + seed) * std::cos(0.1 * y * (seed + 1));
          return std::round(v * top);
        },
        format == VIPS_FORMAT_UCHAR ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_RGB16);
  }

  Pixels pixels(const std::string& name) const {
    Pixels p;
    VipsImage* image = vips_image_new_from_file(at(name).c_str(), nullptr);
    if (!image) {
      ADD_FAILURE() << "cannot read " << name << ": " << vips_error_buffer();
      vips_error_clear();
      return p;
    }
    p.w = image->Xsize, p.h = image->Ysize, p.bands = image->Bands, p.format = image->BandFmt;
    const char* loader = nullptr;
    if (vips_image_get_string(image, VIPS_META_LOADER, &loader) == 0) p.loader = loader;
    VipsImage* doubles = nullptr;
    EXPECT_EQ(vips_cast(image, &doubles, VIPS_FORMAT_DOUBLE, nullptr), 0);
    size_t bytes = 0;
    void* memory = vips_image_write_to_memory(doubles, &bytes);
    p.v.assign(static_cast<double*>(memory), static_cast<double*>(memory) + bytes / sizeof(double));
    g_free(memory);
    g_object_unref(doubles);
    g_object_unref(image);
    return p;
  }

  std::string blob(const std::string& name, const char* field) const {
    VipsImage* image = vips_image_new_from_file(at(name).c_str(), nullptr);
    std::string bytes;
    const void* data = nullptr;
    size_t length = 0;
    if (image && vips_image_get_typeof(image, field) && vips_image_get_blob(image, field, &data, &length) == 0)
      bytes.assign(static_cast<const char*>(data), length);
    if (image) g_object_unref(image);
    return bytes;
  }

  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.insert(e.path().filename().string());
    return names;
  }

  void expectSuccess(const Outcome& r, const std::string& mode, int w, int h) const {
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::regex line(mode + " " + std::to_string(w) + "\u00d7" + std::to_string(h) + " in [0-9]+\\.[0-9]{2} s\n");
    EXPECT_TRUE(std::regex_match(r.out, line)) << r.out;
  }
};

std::string sampleIcc() {
  VipsImage* image =
      vips_image_new_from_file(QUILLORE_SOURCE_DIR "/samples/base.jpg", "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
  std::string bytes;
  const void* data = nullptr;
  size_t length = 0;
  if (image && vips_image_get_blob(image, VIPS_META_ICC_NAME, &data, &length) == 0)
    bytes.assign(static_cast<const char*>(data), length);
  if (image) g_object_unref(image);
  return bytes;
}

}  // namespace

TEST_F(Program, ArgumentErrorsFailWithTheirMessageAndLeaveOutAlone) {
  makeRgb("a.png", 40, 30, VIPS_FORMAT_UCHAR, 1);
  makeRgb("b.png", 40, 30, VIPS_FORMAT_UCHAR, 2);
  makeRgb("small.png", 40, 31, VIPS_FORMAT_UCHAR, 3);
  make(
      "grey.png", 40, 30, 1, VIPS_FORMAT_UCHAR, [](int x, int, int) { return x * 6.0; }, VIPS_INTERPRETATION_B_W);
  make(
      "cmyk.jpg", 40, 30, 4, VIPS_FORMAT_UCHAR, [](int x, int, int b) { return b * 40.0 + x; },
      VIPS_INTERPRETATION_CMYK);
  writeFile(at("notes.png"), "not an image\n");
  makeRgb("whole.jpg", 40, 30, VIPS_FORMAT_UCHAR, 4);
  const std::string jpeg = readFile(at("whole.jpg"));
  writeFile(at("cut.jpg"), jpeg.substr(0, jpeg.size() / 2));
  fs::create_directory(at("folder"));
  const std::string keep = "an earlier result\n";
  writeFile(at("r.png"), keep);

  const std::string usage = "usage: quillore-finish --mode M --strength S --out OUT BASE DARK [BRIGHT]\n";
  const std::string rgbOnly = " (only RGB renders can be finished, not grey-scale, CMYK or other colour models)\n";
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{}, usage},
      {{"--mode", "balance", "a.png", "b.png"}, usage},
      {{"--out", "r.png", "a.png", "b.png"}, usage},
      {{"--mode", "balance", "a.png", "b.png", "--out"}, usage},
      {{"a.png", "b.png", "--out", "r.png", "--mode"}, usage},
      {{"--mode=balance", "--out", "r.png", "a.png", "b.png"}, usage},
      // Checked before any file is opened: missing.png does not exist.
      {{"--mode", "balance", "--out", "r.png", "missing.png"}, "BASE and DARK are required\n"},
      {{"--mode", "darken-sky", "--out", "r.png", "--sky", "a.png", "b.png"}, "BASE and DARK are required\n"},
      // The mode is checked only once both renders have loaded and matched.
      {{"--mode", "nonsense", "--out", "r.png", "a.png", "b.png"}, "unknown mode nonsense\n"},
      {{"--mode", "Balance", "--out", "r.png", "a.png", "b.png", "b.png"}, "unknown mode Balance\n"},
      {{"--mode", "nonsense", "--out", "r.png", "a.png", "missing.png"}, "cannot read missing.png\n"},
      {{"--mode", "nonsense", "--out", "r.png", "a.png", "small.png"}, "the renders differ in size\n"},
      // The first --mode wins; the second stays, so BASE is the text --mode.
      {{"--mode", "balance", "--mode", "darken-sky", "--out", "r.png", "a.png", "b.png", "b.png"},
       "cannot read --mode\n"},
      {{"--mode", "balance", "--out", "r.png", "a.png", "b.png"}, "balance needs BRIGHT\n"},
      {{"--mode", "balance", "--out", "r.png", "a.png", "small.png", "b.png"}, "the renders differ in size\n"},
      {{"--mode", "balance", "--out", "r.png", "a.png", "b.png", "small.png"}, "the renders differ in size\n"},
      {{"--mode", "balance", "--out", "r.png", "a.png", "b.png", "missing.png"}, "cannot read missing.png\n"},
      {{"--mode", "keep-highlights", "--out", "r.png", "notes.png", "b.png"}, "cannot read notes.png\n"},
      {{"--mode", "keep-highlights", "--out", "r.png", "folder", "b.png"}, "cannot read folder\n"},
      {{"--mode", "keep-highlights", "--out", "r.png", "cut.jpg", "cut.jpg"}, "cannot read cut.jpg\n"},
      {{"--mode", "keep-highlights", "--out", "r.png", "a.png", "grey.png"}, "cannot read grey.png" + rgbOnly},
      {{"--mode", "keep-highlights", "--out", "r.png", "cmyk.jpg", "a.png"}, "cannot read cmyk.jpg" + rgbOnly},
      {{"--mode", "keep-highlights", "--out", "no/such/folder/r.png", "a.png", "b.png"},
       "cannot write no/such/folder/r.png\n"},
      {{"--mode", "keep-highlights", "--out", "folder", "a.png", "b.png"}, "cannot write folder\n"},
  };
  const std::set<std::string> before = entries();
  for (const Case& c : cases) {
    std::string shown;
    for (const std::string& a : c.args) shown += a + " ";
    const Outcome r = run(c.args);
    EXPECT_EQ(r.status, 1) << shown;
    EXPECT_EQ(r.err, c.message) << shown;
    EXPECT_EQ(r.out, "") << shown;
    EXPECT_EQ(readFile(at("r.png")), keep) << shown;
    EXPECT_EQ(entries(), before) << shown;  // nothing written, no temporary left behind
  }
  EXPECT_TRUE(fs::is_empty(at("folder")));
}

TEST_F(Program, OptionsMayComeAnywhereAndSpareOnesAreIgnored) {
  makeRgb("a.png", 40, 30, VIPS_FORMAT_UCHAR, 1);
  makeRgb("b.png", 40, 30, VIPS_FORMAT_UCHAR, 2);
  makeRgb("c.png", 40, 30, VIPS_FORMAT_UCHAR, 3);

  expectSuccess(run({"--mode", "balance", "--out", "r1.png", "a.png", "b.png", "c.png"}), "balance", 40, 30);
  expectSuccess(run({"a.png", "b.png", "--mode", "balance", "--out", "r2.png", "c.png", "extra"}), "balance", 40, 30);
  EXPECT_EQ(readFile(at("r1.png")), readFile(at("r2.png")));

  // --sky as the last argument has no value: it is a spare positional argument.
  expectSuccess(run({"--mode", "darken-sky", "--out", "s1.png", "a.png", "b.png", "--sky"}), "darken-sky", 40, 30);
  expectSuccess(run({"--mode", "darken-sky", "--out", "s2.png", "a.png", "b.png", "--sky", "0.45"}), "darken-sky", 40,
                30);
  EXPECT_EQ(readFile(at("s1.png")), readFile(at("s2.png")));

  // BRIGHT is never opened by the two-render modes.
  expectSuccess(run({"--mode", "keep-highlights", "--out", "k.png", "a.png", "b.png", "missing.png"}),
                "keep-highlights", 40, 30);
}

TEST_F(Program, StrengthAndSkyTuneOnlyTheirModes) {
  makeRgb("a.png", 48, 40, VIPS_FORMAT_UCHAR, 1);
  makeRgb("b.png", 48, 40, VIPS_FORMAT_UCHAR, 2);
  auto result = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"--out", "r.png", "a.png", "b.png", "a.png"});
    const Outcome r = run(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return readFile(at("r.png"));
  };
  EXPECT_EQ(result({"--mode", "darken-sky", "--strength", "1"}), result({"--mode", "darken-sky", "--strength", "3"}));
  EXPECT_NE(result({"--mode", "darken-sky", "--sky", "0.2"}), result({"--mode", "darken-sky", "--sky", "0.8"}));
  EXPECT_EQ(result({"--mode", "darken-sky", "--sky", "0x1p-1"}), result({"--mode", "darken-sky", "--sky", "0.5"}));
  EXPECT_EQ(result({"--mode", "darken-sky", "--sky", "7"}), result({"--mode", "darken-sky", "--sky", "0.95"}));
  EXPECT_EQ(result({"--mode", "darken-sky", "--sky", "nan"}), result({"--mode", "darken-sky", "--sky", "0.95"}));
  EXPECT_EQ(result({"--mode", "darken-sky", "--sky", "0,3"}), result({"--mode", "darken-sky"}));
  EXPECT_EQ(result({"--mode", "keep-highlights", "--sky", "0.1"}), result({"--mode", "keep-highlights"}));
  EXPECT_EQ(result({"--mode", "keep-highlights", "--strength", "9"}),
            result({"--mode", "keep-highlights", "--strength", "+3"}));
  EXPECT_EQ(result({"--mode", "keep-highlights", "--strength", "two"}), result({"--mode", "keep-highlights"}));
  EXPECT_EQ(result({"--mode", "balance", "--strength", "0"}), result({"--mode", "balance", "--strength", "1"}));
  EXPECT_NE(result({"--mode", "balance", "--strength", "1"}), result({"--mode", "balance", "--strength", "3"}));
}

TEST_F(Program, EachModeWritesBasesFileTypeAndDepth) {
  struct Case {
    const char* ext;
    VipsBandFormat format;
    const char* loader;
  };
  const Case cases[] = {
      {"jpg", VIPS_FORMAT_UCHAR, "jpegload"},  {"png", VIPS_FORMAT_UCHAR, "pngload"},
      {"png", VIPS_FORMAT_USHORT, "pngload"},  {"tif", VIPS_FORMAT_UCHAR, "tiffload"},
      {"tif", VIPS_FORMAT_USHORT, "tiffload"}, {"webp", VIPS_FORMAT_UCHAR, "webpload"},
  };
  for (const Case& c : cases) {
    const std::string ext = c.ext;
    makeRgb("base." + ext, 56, 36, c.format, 1);
    makeRgb("dark." + ext, 56, 36, c.format, 2);
    makeRgb("bright." + ext, 56, 36, c.format, 3);
    for (const char* mode : {"keep-highlights", "darken-sky", "balance"}) {
      // OUT's name says nothing about the type written.
      const Outcome r = run({"--mode", mode, "--out", "out.result", "base." + ext, "dark." + ext, "bright." + ext});
      expectSuccess(r, mode, 56, 36);
      const Pixels p = pixels("out.result");
      EXPECT_EQ(p.loader, c.loader) << ext << " " << mode;
      EXPECT_EQ(p.format, c.format) << ext << " " << mode;
      EXPECT_EQ(p.bands, 3);
      EXPECT_EQ(p.w, 56);
      EXPECT_EQ(p.h, 36);
    }
  }
}

TEST_F(Program, FloatRendersAreReadAsSixteenBits) {
  make(
      "base.tif", 40, 32, 3, VIPS_FORMAT_FLOAT, [](int x, int, int b) { return x / 39.0 * (b + 1) / 3.0; },
      VIPS_INTERPRETATION_scRGB);
  expectSuccess(run({"--mode", "keep-highlights", "--out", "r.tif", "base.tif", "base.tif"}), "keep-highlights", 40,
                32);
  const Pixels p = pixels("r.tif");
  ASSERT_EQ(p.format, VIPS_FORMAT_USHORT);
  EXPECT_EQ(p.at(39, 5, 2), 65535);
  EXPECT_EQ(p.at(0, 5, 0), 0);
  EXPECT_NEAR(p.at(20, 5, 2), std::round(20 / 39.0 * 65535), 1);
}

TEST_F(Program, IdenticalRendersComeBackExactly) {
  for (VipsBandFormat format : {VIPS_FORMAT_UCHAR, VIPS_FORMAT_USHORT}) {
    makeRgb("a.png", 64, 48, format, 4);
    for (const char* mode : {"keep-highlights", "darken-sky", "balance"}) {
      expectSuccess(run({"--mode", mode, "--out", "r.png", "a.png", "a.png", "a.png"}), mode, 64, 48);
      EXPECT_EQ(pixels("r.png").v, pixels("a.png").v) << mode;
    }
  }
}

TEST_F(Program, EightBitBaseWithSixteenBitDarkGivesEightBits) {
  make("black.png", 40, 36, 3, VIPS_FORMAT_UCHAR, [](int, int, int) { return 0.0; });
  makeRgb("dark16.png", 40, 36, VIPS_FORMAT_USHORT, 5);
  expectSuccess(run({"--mode", "keep-highlights", "--out", "r.png", "black.png", "dark16.png"}), "keep-highlights", 40,
                36);
  const Pixels p = pixels("r.png");
  EXPECT_EQ(p.format, VIPS_FORMAT_UCHAR);
  EXPECT_EQ(p.v, pixels("black.png").v);  // a black BASE keeps full weight

  // A white BASE gives DARK, brought to BASE's 8 bits.
  make("white.png", 40, 36, 3, VIPS_FORMAT_UCHAR, [](int, int, int) { return 255.0; });
  expectSuccess(run({"--mode", "keep-highlights", "--out", "w.png", "white.png", "dark16.png"}), "keep-highlights", 40,
                36);
  const Pixels white = pixels("w.png"), dark = pixels("dark16.png");
  for (size_t i = 0; i < dark.v.size(); ++i) ASSERT_NEAR(white.v[i], dark.v[i] / 65535.0 * 255.0, 0.5 + 1e-3) << i;
}

TEST_F(Program, PngBaseGivesPngWhateverOutIsCalled) {
  makeRgb("a.png", 40, 30, VIPS_FORMAT_UCHAR, 1);
  makeRgb("b.png", 40, 30, VIPS_FORMAT_UCHAR, 2);
  expectSuccess(run({"--mode", "darken-sky", "--out", "result.jpg", "a.png", "b.png"}), "darken-sky", 40, 30);
  EXPECT_EQ(readFile(at("result.jpg")).substr(0, 8), "\x89PNG\r\n\x1a\n");
}

TEST_F(Program, TransparencyIsReadAsBlackAndNotWritten) {
  // Left third transparent white, middle third half-transparent white, right third opaque.
  struct Case {
    VipsBandFormat format;
    double top, half, expectedHalf;
  };
  const Case cases[] = {{VIPS_FORMAT_UCHAR, 255, 128, 128}, {VIPS_FORMAT_USHORT, 65535, 32768, 32768}};
  for (const Case& c : cases) {
    make(
        "alpha.png", 42, 32, 4, c.format,
        [&](int x, int, int b) {
          if (b < 3) return c.top;
          return x < 14 ? 0.0 : x < 28 ? c.half : c.top;
        },
        c.format == VIPS_FORMAT_UCHAR ? VIPS_INTERPRETATION_sRGB : VIPS_INTERPRETATION_RGB16);
    expectSuccess(run({"--mode", "keep-highlights", "--out", "r.png", "alpha.png", "alpha.png"}), "keep-highlights", 42,
                  32);
    const Pixels p = pixels("r.png");
    ASSERT_EQ(p.bands, 3);
    EXPECT_EQ(p.format, c.format);
    for (int b = 0; b < 3; ++b) {
      EXPECT_EQ(p.at(3, 10, b), 0);
      EXPECT_EQ(p.at(20, 10, b), c.expectedHalf);
      EXPECT_EQ(p.at(40, 10, b), c.top);
    }
  }
}

TEST_F(Program, RendersAreReadInTheirStoredOrientation) {
  make(
      "turned.jpg", 48, 32, 3, VIPS_FORMAT_UCHAR, [](int x, int, int) { return x < 24 ? 20.0 : 230.0; },
      VIPS_INTERPRETATION_sRGB, [](VipsImage* image) { vips_image_set_int(image, VIPS_META_ORIENTATION, 6); });
  expectSuccess(run({"--mode", "darken-sky", "--out", "r.jpg", "turned.jpg", "turned.jpg"}), "darken-sky", 48, 32);
  const Pixels p = pixels("r.jpg");
  EXPECT_EQ(p.w, 48);
  EXPECT_EQ(p.h, 32);
  EXPECT_LT(p.at(2, 16, 0), 60);
  EXPECT_GT(p.at(45, 16, 0), 190);
  VipsImage* image = vips_image_new_from_file(at("r.jpg").c_str(), nullptr);
  int orientation = 0;
  EXPECT_EQ(vips_image_get_int(image, VIPS_META_ORIENTATION, &orientation), 0);
  EXPECT_EQ(orientation, 6);
  g_object_unref(image);
}

TEST_F(Program, QualityDrivesLossyFormatsOnly) {
  makeRgb("a.jpg", 64, 48, VIPS_FORMAT_UCHAR, 1);
  makeRgb("b.jpg", 64, 48, VIPS_FORMAT_UCHAR, 2);
  auto size = [&](const std::string& quality) {
    const Outcome r = run({"--mode", "keep-highlights", "--quality", quality, "--out", "r.jpg", "a.jpg", "b.jpg"});
    EXPECT_EQ(r.status, 0) << r.err;
    return readFile(at("r.jpg"));
  };
  EXPECT_EQ(size("0x1p-1"), size("0.5"));
  EXPECT_EQ(size("7"), size("1"));
  EXPECT_EQ(size("-3"), size("0.01"));
  EXPECT_EQ(size("0.95"), size("bad"));
  EXPECT_LT(size("0.3").size(), size("0.95").size());

  makeRgb("a.png", 40, 30, VIPS_FORMAT_UCHAR, 1);
  const Outcome one = run({"--mode", "balance", "--quality", "0.1", "--out", "q1.png", "a.png", "a.png", "a.png"});
  const Outcome two = run({"--mode", "balance", "--out", "q2.png", "a.png", "a.png", "a.png"});
  EXPECT_EQ(one.status + two.status, 0);
  EXPECT_EQ(readFile(at("q1.png")), readFile(at("q2.png")));
}

TEST_F(Program, ResultReplacesAnEarlierOut) {
  makeRgb("a.png", 40, 30, VIPS_FORMAT_UCHAR, 1);
  writeFile(at("r.png"), "old");
  expectSuccess(run({"--mode", "keep-highlights", "--out", "r.png", "a.png", "a.png"}), "keep-highlights", 40, 30);
  EXPECT_EQ(pixels("r.png").v, pixels("a.png").v);
  EXPECT_EQ(entries(), (std::set<std::string>{"a.png", "r.png"}));
  // Permissions follow the process's file-creation mask, as for any new file.
  const mode_t mask = umask(0);
  umask(mask);
  EXPECT_EQ(fs::status(at("r.png")).permissions(), fs::perms(0666 & ~mask));
}

// Metadata as exiftool reports it, without what describes the file rather than
// the picture (file system, container and encoding details).
static std::string metadata(const fs::path& file) {
  const std::string command = "exiftool -a -G1 -s -n '" + file.string() + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return {};
  std::string kept;
  char line[4096];
  static const std::regex skipped(
      R"(^\[(System|File|ExifTool|Composite|PNG|PNG-pHYs|RIFF|IFD0)\] *(\S+)?.*$|^\[ExifIFD\] *ExifImage(Width|Height) .*$)");
  static const std::regex ifd0Picture(
      R"(^\[IFD0\] *(ImageWidth|ImageHeight|BitsPerSample|Compression|PhotometricInterpretation|StripOffsets|SamplesPerPixel|RowsPerStrip|StripByteCounts|PlanarConfiguration|SampleFormat) .*$)");
  while (fgets(line, sizeof line, pipe)) {
    std::string text = line;
    if (text.starts_with("[IFD0]")) {
      if (!std::regex_match(text.substr(0, text.size() - 1), ifd0Picture)) kept += text;
      continue;
    }
    if (!std::regex_match(text.substr(0, text.size() - 1), skipped)) kept += text;
  }
  pclose(pipe);
  // The order of the blocks is the container's business, not the picture's.
  std::vector<std::string> lines;
  std::istringstream in(kept);
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  std::sort(lines.begin(), lines.end());
  std::string sorted;
  for (const std::string& l : lines) sorted += l + "\n";
  return sorted;
}

TEST_F(Program, OutCarriesBasesProfileAndMetadata) {
  if (system("exiftool -ver >/dev/null 2>&1") != 0) GTEST_SKIP() << "exiftool is not installed";
  const std::string icc = sampleIcc();
  ASSERT_FALSE(icc.empty());
  auto withProfile = [&](VipsImage* image) {
    vips_image_set_blob_copy(image, VIPS_META_ICC_NAME, icc.data(), icc.size());
  };
  for (const std::string ext : {"jpg", "png", "webp", "tif"}) {
    const std::string base = "base." + ext, dark = "dark." + ext;
    make(
        base, 48, 40, 3, VIPS_FORMAT_UCHAR, [](int x, int y, int b) { return (x * 5 + y * 3 + b * 70) % 256; },
        VIPS_INTERPRETATION_sRGB, withProfile);
    make(dark, 48, 40, 3, VIPS_FORMAT_UCHAR, [](int x, int y, int) { return (x + y) % 100; });
    const std::string tags =
        "exiftool -q -overwrite_original -Make=BenchCam -Model='Synthetic Bracket' -Artist='A. Person' "
        "-Orientation#=8 " +
        // JPEG: a resolution without unit, which the writers cannot express themselves.
        std::string(ext == "jpg" ? "-XResolution=1 -YResolution=1 -ResolutionUnit=none "
                                 : "-XResolution=300 -YResolution=300 -ResolutionUnit=inches ") +
        "-DateTimeOriginal='2021:05:01 10:00:00' -ExposureCompensation=0 -ImageDescription='a test render' "
        "-XMP-dc:Title='Finished' -XMP-dc:Creator='A. Person' -GPSLatitude=46.95 -GPSLatitudeRef=N "
        "-Copyright='CC-BY-SA' " +
        std::string(ext == "jpg" || ext == "tif" ? "-IPTC:Keywords=bird -IPTC:City=Bern " : "") + "'" +
        at(base).string() + "'";
    ASSERT_EQ(system(tags.c_str()), 0) << ext;
    if (ext == "jpg") {
      // A JFIF segment (version 1.02, 72×72 dots per inch) right after the
      // start of the image, where the format puts it.
      const std::string jfif("\xFF\xE0\x00\x10JFIF\x00\x01\x02\x01\x00\x48\x00\x48\x00\x00", 18);
      std::string bytes = readFile(at(base));
      bytes.insert(2, jfif);
      writeFile(at(base), bytes);
    }

    expectSuccess(run({"--mode", "balance", "--out", "r." + ext, base, dark, base}), "balance", 48, 40);
    const std::string expected = metadata(at(base)), written = metadata(at("r." + ext));
    EXPECT_NE(expected.find("Synthetic Bracket"), std::string::npos) << expected;
    EXPECT_NE(expected.find("Finished"), std::string::npos) << expected;
    if (ext == "jpg") {
      EXPECT_NE(expected.find("JFIFVersion"), std::string::npos) << expected;
    }
    EXPECT_EQ(written, expected) << ext;
    EXPECT_EQ(blob("r." + ext, VIPS_META_ICC_NAME), icc) << ext;
    if (ext == "jpg") {
      EXPECT_EQ(blob("r.jpg", VIPS_META_EXIF_NAME), blob(base, VIPS_META_EXIF_NAME));
    }
  }
}

TEST_F(Program, BaseWithoutMetadataGivesOutWithoutIt) {
  makeRgb("a.jpg", 40, 30, VIPS_FORMAT_UCHAR, 1);
  expectSuccess(run({"--mode", "keep-highlights", "--out", "r.jpg", "a.jpg", "a.jpg"}), "keep-highlights", 40, 30);
  EXPECT_EQ(blob("r.jpg", VIPS_META_ICC_NAME), "");
  EXPECT_EQ(blob("r.jpg", VIPS_META_EXIF_NAME), "");
  EXPECT_EQ(blob("r.jpg", VIPS_META_XMP_NAME), "");
}

TEST_F(Program, AvifStaysAvif) {
  // The program brings the HEIF module in by itself when it meets an AVIF render;
  // this process needs it now to make one.
  finish::loadFormatModules();
  VipsImage* probe = vips_image_new_matrix(16, 16);
  VipsImage* rgb = nullptr;
  void* buffer = nullptr;
  size_t length = 0;
  const bool canWrite =
      vips_bandjoin_const1(probe, &rgb, 0, nullptr) == 0 &&
      vips_heifsave_buffer(rgb, &buffer, &length, "compression", VIPS_FOREIGN_HEIF_COMPRESSION_AV1, nullptr) == 0;
  g_free(buffer);
  if (rgb) g_object_unref(rgb);
  g_object_unref(probe);
  vips_error_clear();
  if (!canWrite) GTEST_SKIP() << "this libvips cannot write AVIF";

  makeRgb("a.avif", 48, 32, VIPS_FORMAT_UCHAR, 1);
  expectSuccess(run({"--mode", "keep-highlights", "--out", "r.heic", "a.avif", "a.avif"}), "keep-highlights", 48, 32);
  VipsImage* image = vips_image_new_from_file(at("r.heic").c_str(), nullptr);
  ASSERT_NE(image, nullptr);
  const char* compression = nullptr;
  EXPECT_EQ(vips_image_get_string(image, "heif-compression", &compression), 0);
  EXPECT_STREQ(compression, "av1");
  g_object_unref(image);
}

TEST_F(Program, BaseOfATypeThatCannotBeWrittenFailsOnWrite) {
  writeFile(at("a.svg"),
            "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"40\" height=\"30\">"
            "<rect width=\"40\" height=\"30\" fill=\"#c04020\"/></svg>\n");
  VipsImage* probe = vips_image_new_from_file(at("a.svg").c_str(), nullptr);
  vips_error_clear();
  if (!probe) GTEST_SKIP() << "this libvips cannot read SVG";
  g_object_unref(probe);
  writeFile(at("r.png"), "earlier");
  const Outcome r = run({"--mode", "darken-sky", "--out", "r.png", "a.svg", "a.svg"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "cannot write r.png\n");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(readFile(at("r.png")), "earlier");
  EXPECT_EQ(entries(), (std::set<std::string>{"a.svg", "r.png"}));
}
