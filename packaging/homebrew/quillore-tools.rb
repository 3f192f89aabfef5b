# Homebrew formula for a tap: the same CMake install as the Debian package (programs,
# manual pages, completion), without the tests. Untried: nothing here runs macOS.
# At a release, set url and sha256 to the source archive of the tagged version.
class QuilloreTools < Formula
  desc "Command-line and agent tools of the Quillore photo application"
  homepage "https://quillore.app"
  url "https://quillore.app/downloads/quillore-tools-0.3.0-beta.17.tar.gz"
  version "0.3.0-beta.17"
  sha256 "0000000000000000000000000000000000000000000000000000000000000000"

  depends_on "cmake" => :build
  depends_on "ninja" => :build
  depends_on "nlohmann-json" => :build
  depends_on "pkgconf" => :build
  depends_on "icu4c"
  depends_on "jpeg-turbo"
  depends_on "libtiff"
  depends_on "simdjson"
  depends_on "vips"

  def install
    system "cmake", "-S", ".", "-B", "build", "-G", "Ninja", "-DQUILLORE_TESTS=OFF",
           "-DCMAKE_PREFIX_PATH=#{Formula["icu4c"].opt_prefix}", *std_cmake_args
    system "cmake", "--build", "build"
    system "cmake", "--install", "build"
  end

  test do
    assert_equal version.to_s, shell_output("#{bin}/quillore-cli --version").strip
    assert_match "usage: quillore-finish", shell_output("#{bin}/quillore-finish 2>&1", 1)
    assert_predicate man1/"quillore-cli.1", :exist?
  end
end
