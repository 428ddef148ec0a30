// Figures for item moves (same and across file systems, against a bare rename and an
// unsynced copy) and for rescans of a folder with and without the item cache.
// Usage: files_bench [files]   (console lines of the readers go to standard error)
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "files/FolderEnumerator.h"
#include "files/ItemCache.h"
#include "files/SafeMove.h"
#include "metadata/PhotoMetadata.h"
#include "platform/fs/FileSystem.h"
#include "tests/support/TempDir.h"

namespace {

using namespace sorv;
namespace fs = std::filesystem;

double seconds(const std::chrono::steady_clock::time_point& start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void fill(const std::string& folder, int files, std::size_t bytes) {
  std::string data(bytes, 'x');
  for (int i = 0; i < files; ++i) {
    std::ofstream(folder + "/IMG_" + std::to_string(i) + ".jpg", std::ios::binary) << data;
  }
}

// Moves every file of from into to; files per second.
template <class MoveOne>
double moveAll(const std::string& from, const std::string& to, int files, MoveOne moveOne) {
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < files; ++i) {
    std::string name = "/IMG_" + std::to_string(i) + ".jpg";
    moveOne(from + name, to + name);
  }
  return files / seconds(start);
}

void benchMoves(int files) {
  test::TempDir shmDir(test::TempDir::kMemory, "sorvbench"),
      diskDir(test::TempDir::kDisk, "sorvbench");
  const std::string shm = shmDir.path(), disk = diskDir.path();
  fs::create_directories(disk + "/a");
  fs::create_directories(disk + "/b");
  FileSystem& posix = posixFileSystem();
  const std::size_t bytes = 200 * 1024;

  fill(disk + "/a", files, bytes);
  double bare =
      moveAll(disk + "/a", disk + "/b", files,
              [](const std::string& f, const std::string& t) { ::rename(f.c_str(), t.c_str()); });
  fs::remove_all(disk + "/b");
  fs::create_directories(disk + "/b");
  fill(disk + "/a", files, bytes);
  double same = moveAll(
      disk + "/a", disk + "/b", files,
      [&](const std::string& f, const std::string& t) { moveFileSafely(posix, f, t, false); });
  fs::remove_all(disk + "/b");
  fs::create_directories(disk + "/b");

  fill(shm, files, bytes);
  double unsynced =
      moveAll(shm, disk + "/b", files, [&](const std::string& f, const std::string& t) {
        posix.copyFile(f, t, false);
        posix.unlink(f);
      });
  fs::remove_all(disk + "/b");
  fs::create_directories(disk + "/b");
  fill(shm, files, bytes);
  double across = moveAll(shm, disk + "/b", files, [&](const std::string& f, const std::string& t) {
    moveFileSafely(posix, f, t, false);
  });
  printf("moves of %d files of %zu KB (files/s):\n", files, bytes / 1024);
  printf("  same file system: rename(2) %.0f, safe move %.0f (%.2fx)\n", bare, same, bare / same);
  printf("  tmpfs to disk: unsynced copy+unlink %.0f, safe move %.0f (%.2fx)\n", unsynced, across,
         unsynced / across);
}

// A scan reads the metadata of every candidate met before the chosen one; rescans of an
// unchanged folder then cost only the walk and a stat per file.
void benchRescans(int files) {
  test::TempDir diskDir(test::TempDir::kDisk, "sorvbench");
  const std::string disk = diskDir.path();
  fs::create_directories(disk + "/Event1");
  fill(disk + "/Event1", files, 16 * 1024);
  const int rescans = 5;
  auto scan = [&](ItemCache<std::optional<Dict>>* cache) {
    int read = 0;
    FolderEnumerator(disk).enumerate([&](const FolderEntry& e) {
      if (e.isFolder()) return FolderEnumerator::Visit::Continue;
      auto readMeta = [&] {
        auto meta = getSorvMetaDataFromPng(e.fullPath);
        return meta ? meta : getSorvMetaDataFromJpeg(e.fullPath);
      };
      if (!(cache ? cache->getOrCompute(e.fullPath, readMeta) : readMeta())) ++read;
      return FolderEnumerator::Visit::Continue;
    });
    return read;
  };
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < rescans; ++i) scan(nullptr);
  double uncached = seconds(start) / rescans;
  ItemCache<std::optional<Dict>> cache;
  start = std::chrono::steady_clock::now();
  scan(&cache);
  double first = seconds(start);
  start = std::chrono::steady_clock::now();
  for (int i = 0; i < rescans; ++i) scan(&cache);
  double cached = seconds(start) / rescans;
  printf("scan of %d files without metadata (ms per scan):\n", files);
  printf("  uncached %.1f, cache filling %.1f, cached %.1f (%.1fx faster)\n", uncached * 1e3,
         first * 1e3, cached * 1e3, uncached / cached);
}

}  // namespace

int main(int argc, char** argv) {
  int files = argc > 1 ? atoi(argv[1]) : 500;
  if (files <= 0) files = 500;
  benchMoves(files);
  benchRescans(files * 10);
  return 0;
}
