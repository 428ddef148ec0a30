// File operations on upload items; static, no state, report nothing to callers.
#pragma once

#include <optional>
#include <string>

namespace sorv {

class QMI_FileManager {
 public:
  // Moves sourceRoot/itemPath to destRoot/itemPath (see the .cc for the rules). A move never
  // loses the file: it is whole in its source or whole at its destination. Gives 0 or the
  // errno value of the failure (callers may ignore it: a failed move leaves the item).
  static int moveFileToPath(const std::string& itemPath, const std::string& sourceRoot,
                            const std::string& destRoot, bool doOverWrite, bool doEncapsulate);
  // destRoot = the mirror folder.
  static int moveFileToPath(const std::string& itemPath, const std::string& sourceRoot,
                            bool doOverWrite, bool doEncapsulate);
  // Overwrite on, encapsulate off, into the mirror folder.
  static int moveFileToPath(const std::string& itemPath, const std::string& sourceRoot);

  // Moves a failed item to problemRoot/itemPath, creating its folders (and problemRoot) as
  // needed. A file of the same name there is kept: the item then takes the next free name
  // beside it ("IMG_3 (2).jpg"). Gives 0 or an errno value.
  static int moveFileToProblemFolder(const std::string& itemPath, const std::string& sourceRoot,
                                     const std::string& problemRoot);

  static bool isInvisibleFileAtPath(const std::string& path);
};

std::string createEncapsulationFolder(const std::string& destRoot, const std::string& itemPath,
                                      bool create);
std::optional<std::string> getBaseName1(const std::optional<std::string>& path);

}  // namespace sorv
