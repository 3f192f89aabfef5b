// The pieces of result output that need no app: base64, file names, paths, previews.
#include "frontend/output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "entry/settings.h"
#include "frontend/base64.h"
#include "frontend/previews.h"

using namespace quillore;
namespace fs = std::filesystem;

namespace {

// The bytes `text` decodes to, or nothing when it is refused.
std::optional<std::string> decoded(std::string text) {
  if (!decodeBase64InPlace(text)) return std::nullopt;
  return text;
}

}  // namespace

TEST(Base64, DecodesStandardBase64) {
  const std::pair<const char*, std::string> cases[] = {
      {"", ""},
      {"Zg==", "f"},
      {"Zm8=", "fo"},
      {"Zm9v", "foo"},
      {"Zm9vYmFy", "foobar"},
      {"AP/+", std::string("\x00\xff\xfe", 3)},
      {"iVBORw0KGgo=", "\x89PNG\r\n\x1a\n"},
  };
  for (const auto& [text, bytes] : cases) {
    auto read = decoded(text);
    ASSERT_TRUE(read.has_value()) << text;
    EXPECT_EQ(*read, bytes) << text;
  }
  // Every byte value, decoded where its text lies.
  std::string all;
  for (int i = 0; i < 256 * 3; ++i) all += char(i * 7 % 256);
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t i = 0; i < all.size(); i += 3) {
    uint32_t v = uint8_t(all[i]) << 16 | uint8_t(all[i + 1]) << 8 | uint8_t(all[i + 2]);
    for (int shift : {18, 12, 6, 0}) text += alphabet[(v >> shift) & 63];
  }
  ASSERT_TRUE(decodeBase64InPlace(text));
  EXPECT_EQ(text, all);
}

TEST(Base64, RejectsEverythingElse) {
  for (const char* text :
       {"Zg", "Zg=", "Zm9", "Zm9vY", "Zm9v\n", "Zm9v\r\nYmFy", " Zm9v", "Zm 9v", "Zg==Zg==", "Z===", "====", "=Zm9",
        "Zm=v", "Zm9-", "Zm9_", "Zm9\xc3\xa9", "Zm9v====", "data:image/png;base64,Zm9v"}) {
    EXPECT_FALSE(decoded(text).has_value()) << text;
  }
  EXPECT_FALSE(decoded(std::string("Zm\0v", 4)).has_value());
}

TEST(ImageStem, ToolNameLocalTimeAndProcessId) {
  setenv("TZ", "UTC", 1);
  tzset();
  const time_t moment = 1700000000;  // 2023-11-14 22:13:20 UTC
  EXPECT_EQ(imageStem("render_preview", moment, 4242), "render_preview-20231114-221320-4242");
  setenv("TZ", "Asia/Tokyo", 1);  // local time, not UTC
  tzset();
  EXPECT_EQ(imageStem("render_preview", moment, 7), "render_preview-20231115-071320-7");
  unsetenv("TZ");
  tzset();
}

TEST(ImageStem, NamesFromTheAppStayOneFileName) {
  const std::pair<std::string, std::string> cases[] = {
      {"../evil", ".._evil"},
      {"/etc/passwd", "_etc_passwd"},
      {"a\\b", "a_b"},
      {std::string("a\0b", 3), "a_b"},
      {".", "_"},
      {"..", "__"},
      {"", ""},
      {"v1.2", "v1.2"},
  };
  for (const auto& [name, expected] : cases) {
    std::string stem = imageStem(name, 0, 1);
    EXPECT_EQ(stem.substr(0, stem.size() - std::string("-19700101-000000-1").size()), expected) << name;
    EXPECT_EQ(stem.find('/'), std::string::npos);
  }
}

TEST(AbsoluteNormalised, RelativePathsStartAtTheWorkingDirectory) {
  const std::string here = fs::current_path().string();
  const std::pair<std::string, std::string> cases[] = {
      {"", here},
      {".", here},
      {"out", here + "/out"},
      {"./a/../b/", here + "/b"},
      {"/tmp/x/./y/../z", "/tmp/x/z"},
      {"/tmp//x///", "/tmp/x"},
      {"/..", "/"},
      {"/", "/"},
  };
  for (const auto& [path, expected] : cases) EXPECT_EQ(absoluteNormalised(path), expected) << path;
}

TEST(PreviewDir, IsUnderTheHomeDirectoryOfTheUserDatabase) {
  EXPECT_EQ(previewDir(), homeDirectory() + "/Library/Caches/Quillore/agent-previews");
}

namespace {

// A scratch directory with entries whose modification times are set by hand.
struct Scratch {
  fs::path root;
  Scratch() {
    static int count = 0;
    root = fs::path(::testing::TempDir()) /
           ("quillore-previews-" + std::to_string(getpid()) + "-" + std::to_string(++count));
    fs::remove_all(root);
    fs::create_directories(root);
  }
  ~Scratch() { fs::remove_all(root); }

  fs::path file(const std::string& name) {
    std::ofstream(root / name) << "x";
    return root / name;
  }
  // Sets the entry's own time (a link's, not its target's) to `age` seconds ago.
  static void age(const fs::path& path, long seconds) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    timespec times[2] = {now, now};
    times[1].tv_sec -= seconds;
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
  }
};

}  // namespace

TEST(ClearOldPreviews, RemovesWhatIsMoreThanADayOld) {
  Scratch s;
  Scratch::age(s.file("old.png"), 86401);
  Scratch::age(s.file("young.png"), 86399);
  Scratch::age(s.file(".hidden-old"), 90000);
  Scratch::age(s.file("notes.txt"), 200000);  // names and kinds do not matter

  fs::create_directories(s.root / "old-dir/inner");
  std::ofstream(s.root / "old-dir/inner/file") << "x";
  Scratch::age(s.root / "old-dir/inner/file", 10);
  Scratch::age(s.root / "old-dir", 86401);

  fs::create_directories(s.root / "young-dir");
  Scratch::age(s.file("young-dir/ancient.png"), 900000);  // inside a young directory: not looked at
  Scratch::age(s.root / "young-dir", 100);

  clearOldPreviews(s.root.string());
  EXPECT_FALSE(fs::exists(s.root / "old.png"));
  EXPECT_TRUE(fs::exists(s.root / "young.png"));
  EXPECT_FALSE(fs::exists(s.root / ".hidden-old"));
  EXPECT_FALSE(fs::exists(s.root / "notes.txt"));
  EXPECT_FALSE(fs::exists(s.root / "old-dir"));
  EXPECT_TRUE(fs::exists(s.root / "young-dir/ancient.png"));
}

TEST(ClearOldPreviews, JudgesAndRemovesLinksAsLinks) {
  Scratch s;
  Scratch outside;  // stands for anything the links point at
  fs::path keptTarget = outside.root / "target-file";
  std::ofstream(keptTarget) << "keep me";
  fs::create_directories(outside.root / "target-dir");
  std::ofstream(outside.root / "target-dir/inside") << "keep me";

  // An old link to a young file, and an old link to a directory: both removed as links.
  fs::create_symlink(keptTarget, s.root / "old-link");
  Scratch::age(s.root / "old-link", 86401);
  fs::create_directory_symlink(outside.root / "target-dir", s.root / "old-dir-link");
  Scratch::age(s.root / "old-dir-link", 86401);
  // A young link to an old file stays: its own time counts.
  Scratch::age(keptTarget, 900000);
  fs::create_symlink(keptTarget, s.root / "young-link");
  // A dangling old link goes too.
  fs::create_symlink(s.root / "nowhere", s.root / "dangling");
  Scratch::age(s.root / "dangling", 86401);

  clearOldPreviews(s.root.string());
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(s.root / "old-link")));
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(s.root / "old-dir-link")));
  EXPECT_FALSE(fs::is_symlink(fs::symlink_status(s.root / "dangling")));
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(s.root / "young-link")));
  EXPECT_TRUE(fs::exists(keptTarget));
  EXPECT_TRUE(fs::exists(outside.root / "target-dir/inside"));
}

TEST(ClearOldPreviews, MissingDirectoryAndStuckEntriesAreNoFailure) {
  clearOldPreviews("/nonexistent/quillore/previews");
  if (geteuid() == 0) GTEST_SKIP() << "root removes write-protected entries anyway";
  Scratch s;
  fs::create_directories(s.root / "locked");
  Scratch::age(s.file("locked/old.png"), 86401);
  fs::permissions(s.root / "locked", fs::perms::owner_read | fs::perms::owner_exec);
  Scratch::age(s.root / "locked", 86401);
  clearOldPreviews(s.root.string());
  EXPECT_TRUE(fs::exists(s.root / "locked/old.png"));
  fs::permissions(s.root / "locked", fs::perms::owner_all);
}
