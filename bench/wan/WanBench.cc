// bench_wan: draining photos over HTTPS through a relay that plays a wide-area link (a delay of
// half a round trip each way, a metered bandwidth, one round trip to open a connection),
// beside a curl -F + mv loop, one curl process on one connection, and the link's floor.
//
//   bench_wan [--photos 100] [--size-mb 2] [--rtt-ms 100] [--mbit 20] [--cap RATE]
//
// With --cap, only the agent runs, under SORV_MAX_UPLOAD_RATE=RATE, over plain HTTP so that the
// relay can count the request bodies (the bytes the cap governs); the drain is printed beside
// its floor, those bytes at the cap's rate:
//
//   bench_wan --photos 2000 --size-mb 0.0036 --rtt-ms 0 --mbit 1000 --cap 60k
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include "platform/Plist.h"
#include "platform/Value.h"
#include "platform/http/UploadRate.h"
#include "scripts/make-test-photos/PhotoWriter.h"
#include "tests/e2e/AgentProcess.h"
#include "tests/support/CpuTime.h"
#include "tests/support/SiteProcess.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestCertificates.h"

namespace sorv::test {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
  int photos = 100;
  double sizeMb = 2;
  double rttMs = 100;
  double mbit = 20;
  std::string cap;
};

// One direction of the link, shared by every connection: bytes leave one after another at the
// link's rate.
class LinkMeter {
 public:
  explicit LinkMeter(double bytesPerSecond) : bytesPerSecond_(bytesPerSecond) {}
  // When n bytes that arrive now have been put on the wire.
  Clock::time_point reserve(std::size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto now = Clock::now();
    nextFree_ = std::max(now, nextFree_) +
                std::chrono::duration_cast<Clock::duration>(
                    std::chrono::duration<double>(static_cast<double>(n) / bytesPerSecond_));
    return nextFree_;
  }

 private:
  std::mutex mutex_;
  double bytesPerSecond_;
  Clock::time_point nextFree_{};
};

// Counts the request bodies of one direction of a plain-HTTP connection: after each header
// block, the bytes its Content-Length names.
class BodyCounter {
 public:
  explicit BodyCounter(std::atomic<std::uint64_t>* total) : total_(total) {}
  void feed(const char* p, std::size_t n) {
    while (n > 0) {
      if (bodyLeft_ > 0) {
        std::size_t k = static_cast<std::size_t>(std::min<std::uint64_t>(n, bodyLeft_));
        bodyLeft_ -= k;
        *total_ += k;
        p += k;
        n -= k;
        continue;
      }
      head_ += *p++;
      --n;
      if (!head_.ends_with("\r\n\r\n")) continue;
      for (char& c : head_) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      auto at = head_.find("\r\ncontent-length:");
      if (at != std::string::npos) bodyLeft_ = std::strtoull(head_.c_str() + at + 17, nullptr, 10);
      head_.clear();
    }
  }

 private:
  std::atomic<std::uint64_t>* total_;
  std::string head_;
  std::uint64_t bodyLeft_ = 0;
};

// Carries one direction of one connection: reads as bytes come, delivers each piece when the
// meter and the one-way delay allow, and holds at most `window` bytes in flight.
class Pipe {
 public:
  Pipe(int from, int to, LinkMeter& meter, Clock::duration oneWay, std::size_t window,
       BodyCounter* bodies = nullptr)
      : from_(from), to_(to), meter_(meter), oneWay_(oneWay), window_(window), bodies_(bodies) {}

  void run() {
    std::thread writer([this] { write(); });
    read();
    writer.join();
  }

 private:
  struct Piece {
    Clock::time_point at;
    std::string bytes;  // empty: the end
  };
  void read() {
    char buf[16384];
    for (;;) {
      ssize_t n = ::read(from_, buf, sizeof buf);
      std::unique_lock<std::mutex> lock(mutex_);
      if (n <= 0) {
        queue_.push_back({Clock::now() + oneWay_, {}});
        cv_.notify_all();
        return;
      }
      if (bodies_) bodies_->feed(buf, static_cast<std::size_t>(n));
      cv_.wait(lock, [&] { return broken_ || queued_ + static_cast<std::size_t>(n) <= window_; });
      if (broken_) return;
      auto at = meter_.reserve(static_cast<std::size_t>(n)) + oneWay_;
      queue_.push_back({at, std::string(buf, static_cast<std::size_t>(n))});
      queued_ += static_cast<std::size_t>(n);
      cv_.notify_all();
    }
  }
  void write() {
    for (;;) {
      Piece p;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return !queue_.empty(); });
        p = std::move(queue_.front());
        queue_.pop_front();
      }
      std::this_thread::sleep_until(p.at);
      if (p.bytes.empty()) {
        ::shutdown(to_, SHUT_WR);
        return;
      }
      for (std::size_t off = 0; off < p.bytes.size();) {
        ssize_t n = ::send(to_, p.bytes.data() + off, p.bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0) {
          // The far end is gone: end both directions.
          ::shutdown(to_, SHUT_RDWR);
          ::shutdown(from_, SHUT_RDWR);
          std::lock_guard<std::mutex> lock(mutex_);
          broken_ = true;
          cv_.notify_all();
          return;
        }
        off += static_cast<std::size_t>(n);
      }
      std::lock_guard<std::mutex> lock(mutex_);
      queued_ -= p.bytes.size();
      cv_.notify_all();
    }
  }

  int from_, to_;
  LinkMeter& meter_;
  Clock::duration oneWay_;
  std::size_t window_;
  BodyCounter* bodies_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Piece> queue_;
  std::size_t queued_ = 0;
  bool broken_ = false;
};

int loopbackSocket(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<std::uint16_t>(port));
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (port == 0) {
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 64);
    return fd;
  }
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// The link on a loopback port in front of the site.
class Relay {
 public:
  Relay(int sitePort, double rttMs, double mbit)
      : sitePort_(sitePort),
        rtt_(std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double, std::milli>(rttMs))),
        up_(mbit * 1e6 / 8),
        down_(mbit * 1e6 / 8),
        // Twice the bandwidth-delay product in flight, as a sender's TCP window would allow.
        window_(std::max<std::size_t>(
            64 * 1024, static_cast<std::size_t>(mbit * 1e6 / 8 * rttMs / 1000 * 2))) {
    listen_ = loopbackSocket(0);
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    std::thread([this] { accept(); }).detach();
  }
  int port() const { return port_; }
  // Body bytes of the requests carried so far (plain HTTP only).
  std::uint64_t bodyBytes() const { return bodyBytes_; }

 private:
  void accept() {
    for (;;) {
      int client = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      std::thread([this, client] { carry(client); }).detach();
    }
  }
  void carry(int client) {
    std::this_thread::sleep_for(rtt_);  // TCP's handshake on the long link
    int site = loopbackSocket(sitePort_);
    if (site >= 0) {
      BodyCounter bodies(&bodyBytes_);
      Pipe upward(client, site, up_, rtt_ / 2, window_, &bodies);
      Pipe downward(site, client, down_, rtt_ / 2, window_);
      std::thread down([&] { downward.run(); });
      upward.run();
      down.join();
      ::close(site);
    }
    ::close(client);
  }

  int sitePort_;
  Clock::duration rtt_;
  LinkMeter up_, down_;
  std::size_t window_;
  int listen_ = -1;
  int port_ = 0;
  std::atomic<std::uint64_t> bodyBytes_{0};
};

// A JPEG with the suite's metadata, padded with comment segments to exactly size bytes.
std::string photoOfSize(std::size_t size, int index) {
  photos::JpegOptions o;
  photos::ExifOptions exif;
  exif.dateTimeOriginal = "2026:05:01 10:20:30";
  exif.userComment = plist::toXml(Value(Dict{{"QM_kioskStation", Value("K1")}}));
  o.exif = exif;
  std::string jpeg = photos::encodeJpeg(o);
  std::size_t app1End =
      4 + ((static_cast<unsigned char>(jpeg[4]) << 8) | static_cast<unsigned char>(jpeg[5]));
  std::string pad;
  std::uint32_t x = 2463534242u + static_cast<std::uint32_t>(index);
  while (jpeg.size() + pad.size() + 4 < size) {
    std::size_t payload = std::min<std::size_t>(65000, size - jpeg.size() - pad.size() - 4);
    pad += "\xFF\xFE";
    pad += static_cast<char>((payload + 2) >> 8);
    pad += static_cast<char>((payload + 2) & 0xff);
    for (std::size_t i = 0; i < payload; ++i) {
      x ^= x << 13, x ^= x >> 17, x ^= x << 5;
      pad += static_cast<char>('a' + x % 26);
    }
  }
  jpeg.insert(app1End, pad);
  return jpeg;
}

std::string photoPath(const std::string& src, int i) {
  return src + "/Event/Booth " + std::to_string(i % 5) + "/IMG_" + std::to_string(i) + ".jpg";
}

void makeSource(const std::string& src, const Options& o) {
  for (int i = 0; i < o.photos; ++i) {
    std::string path = photoPath(src, i);
    fs::create_directories(fs::path(path).parent_path());
    photos::writeBytes(path, photoOfSize(static_cast<std::size_t>(o.sizeMb * 1e6), i));
  }
}

std::string quoted(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// The photo form's fields as curl -F arguments.
std::string curlFields(const std::string& src, int i) {
  return "-F username=bench -F password=bench -F event=Bench_K1 -F client=Booth"
         " -F 'capturetime=2026-05-01 10:20:30' -F metadata= -F fuseaction=upload.upload"
         " -F Submit=Upload -F " +
         quoted("imgfile=@" + photoPath(src, i) + ";type=image/jpeg");
}

double timed(const std::string& command) {
  auto start = Clock::now();
  int rc = std::system(command.c_str());
  if (rc != 0) std::fprintf(stderr, "failed (%d): %s\n", rc, command.c_str());
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Distinct connections that carried photo uploads, from the site's connection log.
std::size_t photoConnections(const std::string& store) {
  std::set<std::string> ports;
  std::ifstream in(store + "/.connections.log");
  for (std::string line; std::getline(in, line);)
    if (line.ends_with("\tupload.upload")) ports.insert(line.substr(0, line.find('\t')));
  return ports.size();
}

struct Run {
  double seconds = 0;
  std::size_t connections = 0;
  // CPU seconds (user + system): the uploader (the agent, or curl with its shell and mv), the
  // site, and the link's relay (threads of this process).
  double uploaderCpu = 0, siteCpu = 0, relayCpu = 0;
};

// Measures the site's and this process's CPU from construction to finish().
class CpuWatch {
 public:
  explicit CpuWatch(pid_t site)
      : site_(site),
        siteStart_(cpuSecondsOfProcess(site)),
        selfStart_(cpuSecondsOfUsage(RUSAGE_SELF)),
        childrenStart_(cpuSecondsOfUsage(RUSAGE_CHILDREN)) {}
  // Fills r's site and relay figures and, when uploader is 0, the uploader's from the children
  // waited for meanwhile.
  void finish(Run* r, pid_t uploader = 0) const {
    r->siteCpu = cpuSecondsOfProcess(site_) - siteStart_;
    r->relayCpu = cpuSecondsOfUsage(RUSAGE_SELF) - selfStart_;
    r->uploaderCpu = uploader > 0 ? cpuSecondsOfProcess(uploader)
                                  : cpuSecondsOfUsage(RUSAGE_CHILDREN) - childrenStart_;
  }

 private:
  pid_t site_;
  double siteStart_, selfStart_, childrenStart_;
};

Run agentDrain(const std::string& work, const std::string& url, const std::string& ca,
               const Options& o, const std::string& store, pid_t site) {
  std::string src = work + "/agent-src", mirror = work + "/agent-mirror";
  makeSource(src, o);
  fs::create_directories(mirror);
  std::string agent = installAgentBundle(work);
  writeKioskDefaults(work + "/defaults.plist", src, mirror, url,
                     Dict{{"prefSecondsBetweenScans", 300}});
  std::string console = work + "/agent-console.txt";
  std::vector<std::string> env = {"SORV_CA_FILE=" + ca};
  if (!o.cap.empty()) env.push_back(std::string(kUploadRateVariable) + "=" + o.cap);
  auto start = Clock::now();
  CpuWatch cpu(site);
  AgentProcess run(agent, src, work + "/defaults.plist", work + "/logs", console, env);
  bool done = waitForText(console, "Status: Waiting For New Images...", 3600);
  Run r{std::chrono::duration<double>(Clock::now() - start).count(), photoConnections(store)};
  cpu.finish(&r, run.pid());
  run.signal(SIGTERM);
  int status = 0;
  run.wait(10, &status);
  std::size_t moved = 0;
  for (auto& e : fs::recursive_directory_iterator(mirror)) moved += e.is_regular_file();
  if (!done || moved != static_cast<std::size_t>(o.photos))
    std::fprintf(stderr, "agent moved %zu of %d photos (console %s)\n", moved, o.photos,
                 console.c_str());
  return r;
}

Run curlLoop(const std::string& work, const std::string& url, const std::string& ca,
             const Options& o, const std::string& store, pid_t site) {
  std::string src = work + "/loop-src", mirror = work + "/loop-mirror";
  makeSource(src, o);
  std::ofstream script(work + "/loop.sh");
  script << "set -e\n";
  for (int i = 0; i < o.photos; ++i) {
    std::string to = mirror + photoPath("", i);
    script << "curl -sS -o /dev/null --cacert " << quoted(ca) << " " << curlFields(src, i) << " "
           << quoted(url) << "\nmkdir -p " << quoted(fs::path(to).parent_path().string()) << "\nmv "
           << quoted(photoPath(src, i)) << " " << quoted(to) << "\n";
  }
  script.close();
  std::size_t before = photoConnections(store);
  CpuWatch cpu(site);
  Run r{timed("bash " + quoted(work + "/loop.sh")), 0};
  cpu.finish(&r);
  r.connections = photoConnections(store) - before;
  return r;
}

Run oneCurl(const std::string& work, const std::string& url, const std::string& ca,
            const Options& o, const std::string& store, pid_t site) {
  std::string src = work + "/one-src";
  makeSource(src, o);
  std::string args;
  for (int i = 0; i < o.photos; ++i)
    args += std::string(i ? " --next" : "") + " -sS -o /dev/null --cacert " + quoted(ca) + " " +
            curlFields(src, i) + " " + quoted(url);
  std::size_t before = photoConnections(store);
  CpuWatch cpu(site);
  Run r{timed("curl" + args), 0};
  cpu.finish(&r);
  r.connections = photoConnections(store) - before;
  return r;
}

bool parse(int argc, char** argv, Options* o) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i], v = argv[i + 1];
    if (a == "--photos")
      o->photos = std::atoi(v.c_str());
    else if (a == "--size-mb")
      o->sizeMb = std::atof(v.c_str());
    else if (a == "--rtt-ms")
      o->rttMs = std::atof(v.c_str());
    else if (a == "--mbit")
      o->mbit = std::atof(v.c_str());
    else if (a == "--cap")
      o->cap = v;
    else
      return false;
  }
  return argc % 2 == 1 && o->photos > 0 && o->sizeMb > 0 && o->rttMs >= 0 && o->mbit > 0;
}

int run(int argc, char** argv) {
  Options o;
  if (!parse(argc, argv, &o)) {
    std::fprintf(stderr,
                 "usage: bench_wan [--photos N] [--size-mb MB] [--rtt-ms MS] [--mbit MBIT] "
                 "[--cap RATE]\n");
    return 2;
  }
  TempDir work;
  TestAuthority authority(work.path());
  SiteCertificate cert = authority.issue("site", {"127.0.0.1"});
  // The site's lines go to a file of their own, not among the figures.
  int savedStderr = ::dup(2);
  FILE* siteLog = std::fopen(work.sub("site.log").c_str(), "w");
  if (siteLog) ::dup2(::fileno(siteLog), 2);
  // The capped drain goes over plain HTTP, so that the relay sees the request bodies.
  const bool capped = !o.cap.empty();
  SiteProcess site(work.sub("store"), capped ? std::vector<std::string>{}
                                             : std::vector<std::string>{"--tls-cert", cert.cert,
                                                                        "--tls-key", cert.key});
  ::dup2(savedStderr, 2);
  ::close(savedStderr);
  if (siteLog) std::fclose(siteLog);
  if (!site.ok()) {
    std::fprintf(stderr, "sorv-site did not start\n");
    return 1;
  }
  Relay relay(site.port(), o.rttMs, o.mbit);
  std::string url = std::string(capped ? "http" : "https") +
                    "://127.0.0.1:" + std::to_string(relay.port()) + "/upload";
  double rtt = o.rttMs / 1000, bytesPerSecond = o.mbit * 1e6 / 8;
  double photoBytes = o.sizeMb * 1e6, bytes = photoBytes * o.photos;
  double bytesTime = bytes / bytesPerSecond;
  std::printf("bench_wan: %d photos of %.4g MB over %s, %.0f ms round trip, %.0f Mbit/s\n",
              o.photos, o.sizeMb, capped ? "HTTP" : "HTTPS", o.rttMs, o.mbit);

  if (capped) {
    std::string err;
    auto schedule = UploadRateSchedule::parse(o.cap, &err);
    if (!schedule) {
      std::fprintf(stderr, "--cap: %s\n", err.c_str());
      return 2;
    }
    Run agent = agentDrain(work.path(), url, authority.caFile(), o, work.sub("store"), site.pid());
    double cap = static_cast<double>(schedule->capAt(0));
    double body = static_cast<double>(relay.bodyBytes());
    // The cap governs the request bodies: the photos with their form fields.
    double capFloor = std::max(body / cap, bytesTime);
    std::printf(
        "cap %s = %.0f bytes/s; the agent sent %.0f body bytes (%.0f of photos) in %.1f s: "
        "%.0f bytes/s, %.1f%% of the cap\n"
        "floor (the body bytes at the cap) %.1f s; the drain took %.2f x the floor\n",
        o.cap.c_str(), cap, body, bytes, agent.seconds, body / agent.seconds,
        100 * body / agent.seconds / cap, capFloor, agent.seconds / capFloor);
    return 0;
  }

  const double floor = bytesTime + o.photos * rtt;
  auto row = [&](const char* what, const Run& r) {
    double beyond = (r.seconds - bytesTime) / o.photos / (rtt > 0 ? rtt : 1);
    auto perPhoto = [&](double cpu) { return 1000 * cpu / o.photos; };
    std::printf("%-36s %9.1f %9.2f %12.2f %12.1f%% %8zu %9.1f %7.1f %7.1f\n", what, r.seconds,
                o.photos / r.seconds, beyond, 100 * (r.seconds / floor - 1), r.connections,
                perPhoto(r.uploaderCpu), perPhoto(r.siteCpu), perPhoto(r.relayCpu));
    std::fflush(stdout);
  };
  std::printf("%-36s %9s %9s %12s %13s %8s %9s %7s %7s\n", "", "seconds", "photos/s", "RTT/photo*",
              "over floor", "conns", "CPU ms**", "site", "relay");
  Run floorRun;
  floorRun.seconds = floor;
  row("link floor (bytes + 1 RTT per photo)", floorRun);
  const std::string store = work.sub("store");
  row("agent (sorv-uploader)",
      agentDrain(work.path(), url, authority.caFile(), o, store, site.pid()));
  row("curl -F + mv loop", curlLoop(work.path(), url, authority.caFile(), o, store, site.pid()));
  row("one curl process, one connection",
      oneCurl(work.path(), url, authority.caFile(), o, store, site.pid()));
  std::printf("* time beyond the photo bytes at the link's rate, per photo, in round trips\n");
  std::printf(
      "** CPU (user + system) per photo of the uploader, then of the site and of the\n"
      "   link's relay\n");
  return 0;
}

}  // namespace
}  // namespace sorv::test

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  return sorv::test::run(argc, argv);
}
