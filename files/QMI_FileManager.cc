#include "files/QMI_FileManager.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include "files/SafeMove.h"
#include "metadata/ItemRules.h"
#include "platform/Console.h"
#include "platform/Paths.h"
#include "platform/fs/FileSystem.h"
#include "settings/Preferences.h"

namespace sorv {
namespace {

const char* const kClassName = "QMI_FileManager";
// Names tried beside a clash in the problem folder before the move gives up.
constexpr int kMaxProblemNameTries = 1000;

// Creates one folder level with default attributes; an existing folder or a missing parent
// is quietly nothing.
void createDirectory(FileSystem& fs, const std::string& path) {
  if (!path.empty()) fs.makeDirectory(path, 0777);
}

}  // namespace

int QMI_FileManager::moveFileToPath(const std::string& itemPath, const std::string& sourceRoot,
                                    const std::string& destRoot, bool doOverWrite,
                                    bool doEncapsulate) {
  NSLog("Inside %s => %s...", kClassName,
        "moveFileToPath:fromSrcPath:toDestPath:doOverWrite:doEncapsulate:");
  FileSystem& fs = defaultFileSystem();
  std::string fullSourcePath = appendingPathComponent(sourceRoot, itemPath);
  FileInfo source;
  if (int rc = fs.stat(fullSourcePath, &source)) return rc;

  createDirectory(fs, destRoot);
  if (source.type == FileType::Directory) {
    // Folders are mirrored, never moved: the source folder keeps its contents.
    std::string destFolder = appendingPathComponent(destRoot, itemPath);
    createDirectory(fs, destFolder);
    consolePrintf("\ncreateDirectory %s\n", destFolder.c_str());
    FileInfo made;
    if (fs.stat(destRoot, &made) == 0) {
      consolePrintf("moveFileToPath2 => destination moved/created Successfully\n\n");
    } else {
      consolePrintf("moveFileToPath2 => destination NOT moved or created: %s\n\n",
                    destRoot.c_str());
    }
    fflush(stderr);
    return 0;
  }

  std::string destPath = appendingPathComponent(destRoot, itemPath);
  if (doEncapsulate) {
    destPath = appendingPathComponent(createEncapsulationFolder(destRoot, itemPath, true),
                                      lastPathComponent(itemPath));
  }
  FileInfo existing;
  if (doOverWrite && fs.lstat(destPath, &existing) == 0 && fs.removeTree(destPath) != 0) {
    NSLog("moveFileToPath2 => removeFileAtPath Failed for item [ [%s]???", destPath.c_str());
  }

  const char* format =
      "\nmoveFileToPath2\rFROM fullSourcePath: %s\r        TO destPath: %s\r   modifiedDestPath: "
      "%s\n\n";
  consolePrintf(format, fullSourcePath.c_str(), destRoot.c_str(), destPath.c_str());
  NSLog(format, fullSourcePath.c_str(), destRoot.c_str(), destPath.c_str());

  int rc = moveFileSafely(fs, fullSourcePath, destPath, doOverWrite);
  if (rc) {
    NSLog("moveFileToPath2 => movePath Failed???");
    NSLog("moveFileToPath2 => [%s]: %s", destPath.c_str(), strerror(rc));
  }

  FileInfo moved;
  if (fs.lstat(destPath, &moved) == 0) {
    consolePrintf("moveFileToPath2 => destination moved/created Successfully\n\n");
  } else {
    consolePrintf("moveFileToPath2 => destination NOT moved or created: %s\n\n", destPath.c_str());
  }
  fflush(stderr);
  return rc;
}

int QMI_FileManager::moveFileToPath(const std::string& itemPath, const std::string& sourceRoot,
                                    bool doOverWrite, bool doEncapsulate) {
  NSLog("Inside %s => %s...", kClassName, "moveFileToPath:fromSrcPath:doOverWrite:doEncapsulate:");
  std::optional<std::string> mirror = Preferences::getLocalMasterMirrorSiteFolder();
  if (!mirror || mirror->empty()) {
    NSLog("moveFileToPath2 => movePath Failed???");
    return ENOENT;
  }
  return moveFileToPath(itemPath, sourceRoot, *mirror, doOverWrite, doEncapsulate);
}

int QMI_FileManager::moveFileToPath(const std::string& itemPath, const std::string& sourceRoot) {
  NSLog("Inside %s => %s...", kClassName, "moveFileToPath:fromSrcPath:");
  return moveFileToPath(itemPath, sourceRoot, true, false);
}

int QMI_FileManager::moveFileToProblemFolder(const std::string& itemPath,
                                             const std::string& sourceRoot,
                                             const std::string& problemRoot,
                                             std::string* placedAs) {
  NSLog("Inside %s => %s...", kClassName, "moveFileToProblemFolder");
  FileSystem& fs = defaultFileSystem();
  std::string from = appendingPathComponent(sourceRoot, itemPath);
  FileInfo source;
  if (int rc = fs.lstat(from, &source)) return rc;
  if (source.type != FileType::Regular) return EISDIR;
  std::string dest = appendingPathComponent(problemRoot, itemPath);
  createFolderWithParents(deletingLastPathComponent(dest));
  // Never replaces: a clash takes the next free name, so that the item leaves the source
  // folder instead of coming back for upload.
  const std::string stem = deletingPathExtension(dest);
  const std::string ext = pathExtension(dest);
  int rc = EEXIST;
  for (int n = 1; n <= kMaxProblemNameTries && rc == EEXIST; ++n) {
    std::string to = dest;
    if (n > 1) {
      to = stem + " (" + std::to_string(n) + ")";
      if (!ext.empty()) to = appendingPathExtension(to, ext);
    }
    rc = moveFileSafely(fs, from, to, false);
    if (rc == 0 && placedAs) {
      *placedAs = itemPath;
      if (n > 1)
        *placedAs =
            appendingPathComponent(deletingLastPathComponent(itemPath), lastPathComponent(to));
    }
    if (rc == 0) {
      consolePrintf("\nmoveFileToPath2\rFROM fullSourcePath: %s\r        TO destPath: %s\n\n",
                    from.c_str(), to.c_str());
      NSLog("moveFileToPath2 => destination moved/created Successfully [%s]", to.c_str());
    }
  }
  if (rc) NSLog("moveFileToPath2 => movePath Failed??? [%s]: %s", dest.c_str(), strerror(rc));
  fflush(stderr);
  return rc;
}

bool QMI_FileManager::isInvisibleFileAtPath(const std::string& path) {
  NSLog("Inside %s->[%s]... passed path = [%s] ", kClassName,
        "isInvisibleFileAtPath:", path.c_str());
  return isInvisibleFileAtPath2(path);
}

std::string createEncapsulationFolder(const std::string& destRoot, const std::string& itemPath,
                                      bool create) {
  std::string parent = deletingLastPathComponent(appendingPathComponent(destRoot, itemPath));
  std::optional<std::string> base = getBaseName1(itemPath);
  if (!base) return parent;
  std::string folder = appendingPathComponent(parent, *base);
  consolePrintf("createEncapsulationFolder formed name: %s\n\n", folder.c_str());
  if (create) {
    consolePrintf("createEncapsulationFolder CREATING: %s\n\n", folder.c_str());
    createDirectory(defaultFileSystem(), folder);
  }
  return folder;
}

std::optional<std::string> getBaseName1(const std::optional<std::string>& path) {
  if (!path) return std::nullopt;
  std::string name = lastPathComponent(*path);
  std::size_t underscore = name.find('_');
  if (underscore == std::string::npos || underscore == 0) {
    consolePrintf("==> getBaseName1 FAILED\n");
    return std::nullopt;
  }
  std::string base = name.substr(0, underscore);
  consolePrintf("==> getBaseName1 returned: [%s]\n", base.c_str());
  return base;
}

}  // namespace sorv
