// Starting the image library, and its optional format modules.
#include "imaging/library.h"

#include <cstdlib>
#include <mutex>
#include <optional>
#include <string>

#include "imaging/files.h"

namespace finish {

namespace {

// The library's optional modules (PDF, OpenSlide, JPEG XL, HEIF/AVIF and
// ImageMagick readers and writers, with the libraries they pull in) took half of
// the program's start-up: the library is started without them.
std::string& modulesFolder() {
  static std::string folder;
  return folder;
}

}  // namespace

void loadFormatModules() {
  static std::once_flag once;
  std::call_once(once, [] {
    GDir* dir = g_dir_open(modulesFolder().c_str(), 0, nullptr);
    if (!dir) return;
    while (const char* name = g_dir_read_name(dir)) {
      if (!g_str_has_suffix(name, "." G_MODULE_SUFFIX)) continue;
      const std::string path = modulesFolder() + "/" + name;
      // Opening a module registers its readers and writers.
      if (GModule* module = g_module_open(path.c_str(), G_MODULE_BIND_LAZY)) g_module_make_resident(module);
    }
    g_dir_close(dir);
  });
}

bool startImaging(const char* programName) {
  // A run reports its one message itself; the library's warnings (about damaged
  // files or plug-ins it cannot load, for instance) would only add noise on
  // standard error.
  g_log_set_handler(
      "VIPS", GLogLevelFlags(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO | G_LOG_LEVEL_DEBUG),
      [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);

  // The library finds its modules under $VIPSHOME/lib when VIPSHOME is set, and in
  // its own library folder otherwise: for its start VIPSHOME points at a place
  // without any, then gets its old value back. Nothing else runs yet, so changing
  // the environment races with no one.
  const char* home = std::getenv("VIPSHOME");
  const std::optional<std::string> saved = home ? std::optional<std::string>(home) : std::nullopt;
  modulesFolder() = (saved ? *saved + "/lib" : std::string(QUILLORE_VIPS_LIBDIR)) + "/vips-modules-" +
                    std::to_string(VIPS_MAJOR_VERSION) + "." + std::to_string(VIPS_MINOR_VERSION);
  setenv("VIPSHOME", "/dev/null", 1);
  const bool started = VIPS_INIT(programName) == 0;
  if (saved) setenv("VIPSHOME", saved->c_str(), 1);
  else unsetenv("VIPSHOME");
  if (!started) return false;
  // One render is read top to bottom once; caching operations buys nothing.
  vips_cache_set_max(0);
  return true;
}

}  // namespace finish
