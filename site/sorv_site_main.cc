// sorv-site --port N --store DIR [--orders FILE] [--fault MODE] [--fault-only NAME]
//           [--user U --password P] [--slow-seconds S] [--hang-seconds S] [--retry-after V]
//           [--tls-cert PEM --tls-key PEM] [--keep-alive-requests N] [--keep-alive-seconds S]
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "site/SiteServer.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: sorv-site --port N --store DIR [--orders FILE] [--fault MODE]\n"
               "                 [--fault-only NAME] [--fault-times N] [--fault-every N]\n"
               "                 [--user U --password P]\n"
               "                 [--slow-seconds S] [--hang-seconds S] [--retry-after V]\n"
               "                 [--tls-cert PEM --tls-key PEM]\n"
               "                 [--keep-alive-requests N] [--keep-alive-seconds S]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  sorv::site::SiteOptions opt;
  bool havePort = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return usage();
    std::string v = argv[++i];
    if (a == "--port") {
      char* end = nullptr;
      long port = std::strtol(v.c_str(), &end, 10);
      if (*end || port < 0 || port > 65535) return usage();
      opt.port = static_cast<int>(port);
      havePort = true;
    } else if (a == "--store") {
      opt.store = v;
    } else if (a == "--orders") {
      opt.orders = v;
    } else if (a == "--fault") {
      opt.fault = v;
    } else if (a == "--fault-only") {
      opt.faultOnly = v;
    } else if (a == "--fault-every") {
      opt.faultEvery = std::atoi(v.c_str());
    } else if (a == "--fault-times") {
      opt.faultTimes = std::atoi(v.c_str());
    } else if (a == "--user") {
      opt.user = v;
    } else if (a == "--password") {
      opt.password = v;
    } else if (a == "--slow-seconds") {
      opt.slowSeconds = std::atof(v.c_str());
    } else if (a == "--hang-seconds") {
      opt.hangSeconds = std::atof(v.c_str());
    } else if (a == "--retry-after") {
      opt.retryAfter = v;
    } else if (a == "--tls-cert") {
      opt.tlsCert = v;
    } else if (a == "--tls-key") {
      opt.tlsKey = v;
    } else if (a == "--keep-alive-requests") {
      opt.keepAliveRequests = std::atoi(v.c_str());
    } else if (a == "--keep-alive-seconds") {
      opt.keepAliveSeconds = std::atoi(v.c_str());
    } else {
      return usage();
    }
  }
  if (!havePort || opt.store.empty() || opt.tlsCert.empty() != opt.tlsKey.empty()) return usage();

  // Termination signals are taken by one thread so that held requests can be let go.
  sigset_t sigs;
  sigemptyset(&sigs);
  sigaddset(&sigs, SIGINT);
  sigaddset(&sigs, SIGTERM);
  sigaddset(&sigs, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
  signal(SIGPIPE, SIG_IGN);

  sorv::site::SiteServer server(opt);
  std::string err;
  int port = server.bind(&err);
  if (port < 0) {
    std::fprintf(stderr, "sorv-site: %s\n", err.c_str());
    return 1;
  }
  static std::atomic<bool> ran{false};
  std::thread signals([&] {
    int sig = 0;
    sigwait(&sigs, &sig);
    server.stop();
    // The server waits out idle kept connections (up to --keep-alive-seconds) before it
    // returns; a stopped site need not.
    for (int i = 0; i < 50 && !ran.load(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!ran.load()) std::_Exit(0);
  });
  signals.detach();
  std::printf("listening on 127.0.0.1:%d\n", port);
  std::fflush(stdout);
  server.run();
  ran = true;
  return 0;
}
