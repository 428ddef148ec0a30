// File operations on upload items; static, no state, report nothing to callers.
#pragma once

#include <optional>
#include <string>

namespace sorv {

class QMI_FileManager {
 public:
  // Moves sourceRoot/itemPath to destRoot/itemPath (see the .cc for the rules). A move never
  // loses the file: it is whole in its source or whole at its destination.
  static void moveFileToPath(const std::string& itemPath, const std::string& sourceRoot,
                             const std::string& destRoot, bool doOverWrite, bool doEncapsulate);
  // destRoot = the mirror folder.
  static void moveFileToPath(const std::string& itemPath, const std::string& sourceRoot,
                             bool doOverWrite, bool doEncapsulate);
  // Overwrite on, encapsulate off, into the mirror folder.
  static void moveFileToPath(const std::string& itemPath, const std::string& sourceRoot);

  static bool isInvisibleFileAtPath(const std::string& path);
};

std::string createEncapsulationFolder(const std::string& destRoot, const std::string& itemPath,
                                      bool create);
std::optional<std::string> getBaseName1(const std::optional<std::string>& path);

}  // namespace sorv
