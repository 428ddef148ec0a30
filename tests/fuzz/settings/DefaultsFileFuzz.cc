// Loads arbitrary bytes as the defaults file, reads it through every conversion;
// an unreadable file must be moved aside with its bytes intact.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Value.h"
#include "settings/DefaultsStore.h"

namespace {

// The process's scratch folder, removed at exit (kept on the heap so it outlives statics).
const std::string& folder() {
  static const std::string* dir = [] {
    char tmpl[] = "/tmp/sorvfuzz-defaults.XXXXXX";
    const char* made = mkdtemp(tmpl);
    if (!made) abort();
    setenv("SORV_DEFAULTS", (std::string(made) + "/env.plist").c_str(), 1);
    setenv("SORV_LOG_DIR", (std::string(made) + "/logs").c_str(), 1);
    auto* path = new std::string(made);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(folder(), ec);
    });
    return path;
  }();
  return *dir;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dir = folder();
  const std::string path = dir + "/defaults.plist";
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
  }
  {
    sorv::DefaultsStore store(path);
    sorv::Dict user = store.userDomain();
    for (const auto& [key, value] : user) {
      (void)store.stringForKey(key);
      (void)store.boolForKey(key);
      (void)store.integerForKey(key);
      (void)store.floatForKey(key);
      (void)value.description();
    }
    // An unreadable file was moved aside: its bytes must still exist somewhere.
    if (!std::filesystem::exists(path)) {
      bool kept = false;
      for (auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().rfind("defaults.plist.corrupt-", 0) == 0)
          kept = kept || readAll(e.path().string()) == bytes;
      if (!kept) abort();
    }
  }
  std::error_code ec;
  for (auto& e : std::filesystem::directory_iterator(dir, ec))
    std::filesystem::remove_all(e.path(), ec);
  return 0;
}
