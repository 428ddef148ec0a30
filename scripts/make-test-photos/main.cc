// make-test-photos: writes the test photos of PhotoWriter.h from the command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "scripts/make-test-photos/PhotoWriter.h"

namespace {

using namespace sorv::photos;

int usage() {
  std::fputs(
      "usage:\n"
      "  make-test-photos jpeg OUT [--size WxH] [--date \"YYYY:MM:DD HH:MM:SS\"]\n"
      "       [--plist FILE | --comment TEXT]\n"
      "       [--code ascii|unicode-le|unicode-be|jis|undefined|none] [--big-endian]\n"
      "       [--quality N] [--progressive]\n"
      "  make-test-photos png OUT [--size WxH] [--plist FILE | --trailer TEXT]\n"
      "       [--pad nul|blank] [--interlaced]\n"
      "  make-test-photos truncate IN OUT (--bytes N | --drop N)\n",
      stderr);
  return 2;
}

bool readText(const std::string& path, std::string* out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream s;
  s << f.rdbuf();
  *out = s.str();
  return true;
}

bool parseSize(const char* text, int* w, int* h) {
  char x = 0;
  return std::sscanf(text, "%d%c%d", w, &x, h) == 3 && (x == 'x' || x == 'X');
}

bool parseCode(const std::string& s, CommentCode* code) {
  if (s == "ascii")
    *code = CommentCode::Ascii;
  else if (s == "unicode-le")
    *code = CommentCode::UnicodeLittleEndian;
  else if (s == "unicode-be")
    *code = CommentCode::UnicodeBigEndian;
  else if (s == "jis")
    *code = CommentCode::Jis;
  else if (s == "undefined")
    *code = CommentCode::Undefined;
  else if (s == "none")
    *code = CommentCode::None;
  else
    return false;
  return true;
}

int runJpeg(int argc, char** argv) {
  JpegOptions o;
  ExifOptions exif;
  bool anyExif = false;
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--size" && hasValue) {
      if (!parseSize(argv[++i], &o.width, &o.height)) return usage();
    } else if (a == "--date" && hasValue) {
      exif.dateTimeOriginal = argv[++i], anyExif = true;
    } else if (a == "--plist" && hasValue) {
      std::string text;
      if (!readText(argv[++i], &text)) {
        std::fprintf(stderr, "cannot read %s\n", argv[i]);
        return 1;
      }
      exif.userComment = text, anyExif = true;
    } else if (a == "--comment" && hasValue) {
      exif.userComment = argv[++i], anyExif = true;
    } else if (a == "--code" && hasValue) {
      if (!parseCode(argv[++i], &exif.commentCode)) return usage();
    } else if (a == "--big-endian") {
      exif.bigEndian = true;
    } else if (a == "--quality" && hasValue) {
      o.quality = std::atoi(argv[++i]);
    } else if (a == "--progressive") {
      o.progressive = true;
    } else {
      return usage();
    }
  }
  if (anyExif) o.exif = exif;
  if (!writeJpeg(argv[2], o)) {
    std::fprintf(stderr, "cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}

int runPng(int argc, char** argv) {
  PngOptions o;
  for (int i = 3; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--size" && hasValue) {
      if (!parseSize(argv[++i], &o.width, &o.height)) return usage();
    } else if (a == "--plist" && hasValue) {
      std::string text;
      if (!readText(argv[++i], &text)) {
        std::fprintf(stderr, "cannot read %s\n", argv[i]);
        return 1;
      }
      o.trailer = text;
    } else if (a == "--trailer" && hasValue) {
      o.trailer = argv[++i];
    } else if (a == "--pad" && hasValue) {
      const std::string pad = argv[++i];
      if (pad != "nul" && pad != "blank") return usage();
      o.padding = pad == "nul" ? '\0' : ' ';
    } else if (a == "--interlaced") {
      o.interlaced = true;
    } else {
      return usage();
    }
  }
  if (!writePng(argv[2], o)) {
    std::fprintf(stderr, "cannot write %s (a trailer holds at most %zu bytes)\n", argv[2],
                 kTrailerLength);
    return 1;
  }
  return 0;
}

int runTruncate(int argc, char** argv) {
  if (argc != 6) return usage();
  const std::string how = argv[4];
  const long long n = std::atoll(argv[5]);
  if (n < 0 || (how != "--bytes" && how != "--drop")) return usage();
  std::ifstream in(argv[2], std::ios::binary | std::ios::ate);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", argv[2]);
    return 1;
  }
  const long long size = static_cast<long long>(in.tellg());
  const long long keep = how == "--bytes" ? n : (n > size ? 0 : size - n);
  if (!writeTruncatedCopy(argv[2], argv[3], static_cast<std::uint64_t>(keep))) {
    std::fprintf(stderr, "cannot write %s\n", argv[3]);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return usage();
  const std::string mode = argv[1];
  if (mode == "jpeg") return runJpeg(argc, argv);
  if (mode == "png") return runPng(argc, argv);
  if (mode == "truncate") return runTruncate(argc, argv);
  return usage();
}
