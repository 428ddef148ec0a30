// File operations on upload items; static, no state, report nothing to callers.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Value.h"

namespace sorv {

class myProgressWindowController;

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
  // beside it ("IMG_3 (2).jpg"). Gives 0 or an errno value; on success *placedAs (when given)
  // is the path it took, relative to problemRoot.
  static int moveFileToProblemFolder(const std::string& itemPath, const std::string& sourceRoot,
                                     const std::string& problemRoot,
                                     std::string* placedAs = nullptr);

  static bool isInvisibleFileAtPath(const std::string& path);

  // Deletes the empty folders below root (a lone ".DS_Store" counts as empty), a folder before
  // its contents, so a folder emptied by the walk stays until the next one. With
  // doNotDeleteImmediateChild the root's own folders are kept; otherwise with beforeDate only
  // folders older than it go. The root itself is never deleted. See FolderCleaning.h.
  static void deleteFolderIfEmpty(const std::string& root, bool doNotDeleteImmediateChild,
                                  std::optional<Date> beforeDate,
                                  myProgressWindowController* progress);
  // beforeDate = now - days.
  static void deleteOLDFolderIfEmpty(const std::string& root, bool doNotDeleteImmediateChild,
                                     std::int16_t forDaysOld);
  static void deleteFolderIfEmpty(const std::string& root, bool doNotDeleteImmediateChild);

  // Where an ordered original lies now (OriginalPath.cc): at its recorded path, or at the
  // same relative place under a search root. Both give the found path, or nullopt.
  static std::optional<std::string> doResolveOriginalPath(const std::optional<std::string>& path,
                                                          const std::optional<std::string>& inPath);
  static std::optional<std::string> doResolveOriginalPath(
      const std::optional<std::string>& path,
      const std::optional<std::vector<std::string>>& inArrayOfPaths);
};

std::string createEncapsulationFolder(const std::string& destRoot, const std::string& itemPath,
                                      bool create);
std::optional<std::string> getBaseName1(const std::optional<std::string>& path);

}  // namespace sorv
