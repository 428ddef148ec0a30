// Upload time and peak memory of the agent against `curl -F` posting the same files to the
// same reference site: bench_upload [--movie-mb N] [--photo-mb N] [--runs N].
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"

namespace {

struct Run {
  double seconds = 0;
  long maxRssKb = 0;
  int status = -1;
};

Run runChild(const std::vector<std::string>& args, const std::vector<std::string>& env) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  Run r;
  rusage ru{};
  int status = 0;
  wait4(pid, &status, 0, &ru);
  r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  r.maxRssKb = ru.ru_maxrss;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return r;
}

void writeFile(const std::string& path, std::size_t bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  std::vector<unsigned char> buf(1 << 20);
  unsigned x = 12345;
  for (std::size_t done = 0; done < bytes;) {
    for (auto& b : buf) b = static_cast<unsigned char>((x = x * 1103515245 + 12345) >> 16);
    std::size_t n = std::min(buf.size(), bytes - done);
    std::fwrite(buf.data(), 1, n, f);
    done += n;
  }
  std::fclose(f);
}

void clearStore(const std::string& store) {
  std::error_code ec;
  for (auto& e : std::filesystem::directory_iterator(store, ec)) std::filesystem::remove_all(e, ec);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t movieMb = 500, photoMb = 2;
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--movie-mb") movieMb = std::strtoul(argv[i + 1], nullptr, 10);
    if (a == "--photo-mb") photoMb = std::strtoul(argv[i + 1], nullptr, 10);
    if (a == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
  }
  sorv::test::TempDir tmp(sorv::test::TempDir::kShortPath, "sorv-upload-bench");
  const std::string dir = tmp.path();
  std::string photo = dir + "/photo.jpg", movie = dir + "/movie.mov", store = dir + "/store";
  writeFile(photo, photoMb << 20);
  writeFile(movie, movieMb << 20);

  int rc = 0;
  {
    sorv::test::SiteProcess site(store);
    if (!site.ok()) {
      std::fprintf(stderr, "sorv-site did not start\n");
      return 1;
    }
    std::string url = site.url();
    std::vector<std::string> env = {"SORV_DEFAULTS=" + dir + "/defaults.plist",
                                    "SORV_LOG_DIR=" + dir + "/logs"};
    struct Case {
      const char* name;
      std::vector<std::string> agent, curl;
    };
    std::vector<Case> cases = {
        {"2 MB photo",
         {BENCH_AGENT_PATH, url, photo},
         {"curl", "-s", "-o", "/dev/null", "-H", "Expect:", "-F", "fuseaction=upload.upload", "-F",
          "imgfile=@" + photo + ";type=image/jpeg", url}},
        {"photo + movie",
         {BENCH_AGENT_PATH, url, photo, movie},
         {"curl", "-s", "-o", "/dev/null", "-H", "Expect:", "-F", "fuseaction=upload.upload", "-F",
          "imgfile=@" + photo + ";type=image/jpeg", "-F",
          "vidfile=@" + movie + ";type=video/quicktime", url}},
    };
    std::printf("%-16s %10s %10s %8s %14s %14s\n", "case", "agent s", "curl s", "ratio",
                "agent peak MB", "curl peak MB");
    for (const auto& c : cases) {
      std::vector<double> agentT, curlT;
      long agentRss = 0, curlRss = 0;
      for (int i = 0; i < runs; ++i) {
        Run a = runChild(c.agent, env);
        clearStore(store);
        Run k = runChild(c.curl, env);
        clearStore(store);
        if (a.status != 0 || k.status != 0) {
          std::fprintf(stderr, "%s: agent exit %d, curl exit %d\n", c.name, a.status, k.status);
          rc = 1;
        }
        agentT.push_back(a.seconds);
        curlT.push_back(k.seconds);
        agentRss = std::max(agentRss, a.maxRssKb);
        curlRss = std::max(curlRss, k.maxRssKb);
      }
      double at = median(agentT), ct = median(curlT);
      std::printf("%-16s %10.3f %10.3f %8.3f %14.1f %14.1f\n", c.name, at, ct, at / ct,
                  agentRss / 1024.0, curlRss / 1024.0);
    }
    std::printf("movie %zu MB, photo %zu MB, median of %d runs\n", movieMb, photoMb, runs);
  }
  return rc;
}
