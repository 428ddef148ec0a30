// Points the defaults store and the log folder at temporary paths before any test runs.
#include <stdlib.h>

#include <string>

#include "tests/support/TempDir.h"

namespace {

const bool kEnvironmentSet = [] {
  static const sorv::test::TempDir dir(sorv::test::TempDir::kDisk, "sorvmeta");
  setenv("SORV_DEFAULTS", dir.sub("defaults.plist").c_str(), 1);
  setenv("SORV_LOG_DIR", dir.sub("logs").c_str(), 1);
  return true;
}();

}  // namespace
