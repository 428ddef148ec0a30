// The photos in the problem folder, and sending them back to the source folder.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace sorv {

struct ProblemPhoto {
  std::string path;                 // relative to the problem folder
  std::vector<std::string> movies;  // relative to the problem folder, beside the photo
  double movedAt = 0;               // seconds since 1970: when it was put there
};

// Every file of the problem folder but movies (".mov", any case) and hidden names, with the
// movies that go with it (<name>.mov, <name>_muxed.mov, and `namedMovie(path)` when that
// lies beside it), newest first, at most maxPhotos. Links are neither listed nor followed.
std::vector<ProblemPhoto> listProblemPhotos(
    const std::string& problemRoot, std::size_t maxPhotos,
    const std::function<std::string(const std::string& path)>& namedMovie = nullptr);

// Why `relative` cannot name a photo inside the problem folder ("" when it can): it must be
// relative, without "." or ".." components, and name a regular file there through folders
// that are no links.
std::string problemPathRefusal(const std::string& problemRoot, const std::string& relative);

// Moves the photo (its movies first) from the problem folder back to the same relative path
// in the source folder, through the crash-safe move. Nothing that already lies in the source
// is replaced: a taken name leaves the photo where it is. True when it moved; *message says
// what happened, in one line.
bool requeueProblemPhoto(const std::string& problemRoot, const std::string& sourceRoot,
                         const ProblemPhoto& photo, std::string* message);

// Paths as an operator reads and types them: valid UTF-8 as it is, any other byte as \xHH.
std::string displayPath(const std::string& bytes);
// The bytes of a displayed path (\xHH back into its byte; everything else as it is).
std::string pathFromDisplay(const std::string& text);

}  // namespace sorv
