// A bound AF_UNIX datagram socket standing in for a service manager's notification socket or
// the journal's native socket. A thread of its own keeps what it reads (a memfd passed with a
// datagram is read in its place) until it has read `reads` datagrams; then it stops reading,
// as a stalled peer does, until resume().
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sorv::test {

class DatagramSocket {
 public:
  // reads: how many datagrams to read before stopping; -1 reads all.
  explicit DatagramSocket(const std::string& path, int reads = -1);
  ~DatagramSocket();
  DatagramSocket(const DatagramSocket&) = delete;
  DatagramSocket& operator=(const DatagramSocket&) = delete;

  bool bound() const { return fd_ >= 0; }
  // Fills the socket's queue with empty datagrams until it takes no more, so that a sender
  // finds it full at once; gives how many it took.
  int fill();
  // Reads every datagram from now on.
  void resume() { limit_ = -1; }

  std::vector<std::string> messages();
  // How many messages contain text.
  int count(const std::string& text);
  // Every message in brackets, one a line, for a failure's report.
  std::string all();

 private:
  void readOne();

  const std::string path_;
  int fd_ = -1;
  std::atomic<int> limit_, read_{0};
  std::atomic<bool> done_{false};
  std::mutex mutex_;
  std::vector<std::string> got_;
  std::thread reader_;
};

}  // namespace sorv::test
