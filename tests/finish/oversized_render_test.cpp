// quillore-finish given renders whose headers claim far more pixels than the files
// hold: it fails with a message and status 1, and its peak memory stays small (the
// program runs as a child, whose peak is what the system reports once it has ended).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/run_program.h"

namespace fs = std::filesystem;

namespace {

void put32(std::string& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(char(v >> shift));
}

uint32_t crc32(const std::string& bytes) {
  uint32_t c = 0xffffffffu;
  for (unsigned char b : bytes) {
    c ^= b;
    for (int k = 0; k < 8; ++k) c = c & 1 ? 0xedb88320u ^ (c >> 1) : c >> 1;
  }
  return c ^ 0xffffffffu;
}

void chunk(std::string& png, const char* type, const std::string& data) {
  put32(png, uint32_t(data.size()));
  std::string body = std::string(type, 4) + data;
  png += body;
  put32(png, crc32(body));
}

// An 8-bit RGB PNG header for w×h pixels followed by a hundred bytes of row data
// (in one stored deflate block): not even the first row is complete.
std::string claimingPng(uint32_t w, uint32_t h) {
  std::string png("\x89PNG\r\n\x1a\n", 8);
  std::string header;
  put32(header, w);
  put32(header, h);
  header += std::string("\x08\x02\x00\x00\x00", 5);
  chunk(png, "IHDR", header);
  const std::string rows = '\0' + std::string(99, '\x80');
  std::string stream("\x78\x01\x01", 3);  // zlib header, one final stored block
  stream += char(rows.size()), stream += char(rows.size() >> 8);
  stream += char(~rows.size()), stream += char(~rows.size() >> 8);
  stream += rows;
  uint32_t a = 1, b = 0;
  for (unsigned char c : rows) a = (a + c) % 65521, b = (b + a) % 65521;
  put32(stream, b << 16 | a);
  chunk(png, "IDAT", stream);
  chunk(png, "IEND", "");
  return png;
}

using testsupport::Outcome;

// ThreadSanitizer walks its records of every freed block: a buffer of 2 GB that was
// never touched costs it about 1 GB of its own when the failed decode frees it, so the
// peak tells nothing about the program there (the other builds check it).
#if defined(__SANITIZE_THREAD__)
constexpr bool underThreadSanitizer = true;
#else
constexpr bool underThreadSanitizer = false;
#endif

Outcome runFinish(const std::vector<std::string>& args, const fs::path& dir) {
  return testsupport::runProgram(
      {.path = QUILLORE_BIN_DIR "/quillore-finish", .arguments = args, .directory = dir.string()});
}

}  // namespace

TEST(OversizedRender, FailsWithAMessageWithoutTakingTheMemoryItsHeaderClaims) {
  const fs::path dir = fs::temp_directory_path() / ("quillore-oversized-" + std::to_string(getpid()));
  fs::create_directories(dir);
  struct Case {
    const char* file;
    uint32_t w, h;
    const char* why;
  } cases[] = {
      // 10 gigapixels: a 40 GB buffer; refused on sight.
      {"huge.png", 100000, 100000, " (more pixels than any render has)"},
      {"wide.png", 1000000, 1000, " (more pixels than any render has)"},
      // 500 megapixels, under the limit: 2 GB if the buffer were filled before
      // decoding; the first row is already incomplete.
      {"tall.png", 25000, 20000, ""},
  };
  for (const Case& c : cases) {
    std::ofstream(dir / c.file, std::ios::binary) << claimingPng(c.w, c.h);
    std::ofstream(dir / "out.png") << "an earlier result";
    const Outcome r = runFinish({"--mode", "keep-highlights", "--out", "out.png", c.file, c.file}, dir);
    EXPECT_EQ(r.status, 1) << c.file;
    EXPECT_EQ(r.err, std::string("cannot read ") + c.file + c.why + "\n") << c.file;
    if (!underThreadSanitizer) EXPECT_LT(r.peakKilobytes, 1L << 20) << c.file << ": peak memory in kilobytes";
    std::ifstream kept(dir / "out.png");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "an earlier result") << c.file;
  }
  fs::remove_all(dir);
}
