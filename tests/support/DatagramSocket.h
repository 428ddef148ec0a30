// A bound AF_UNIX datagram socket standing in for a service manager's notification socket or
// the journal's native socket. It reads only when asked, so a test plays a peer that stalls by
// not asking.
#pragma once

#include <string>
#include <vector>

namespace sorv::test {

class DatagramSocket {
 public:
  explicit DatagramSocket(const std::string& path);
  ~DatagramSocket();
  DatagramSocket(const DatagramSocket&) = delete;
  DatagramSocket& operator=(const DatagramSocket&) = delete;

  bool bound() const { return fd_ >= 0; }
  // Fills the queue with empty datagrams until it takes no more, so that a sender finds it full
  // at once; gives how many it took.
  int fill();
  // Reads what waits, at most max datagrams (-1: all); a memfd passed with a datagram is read
  // in its place.
  void read(int max = -1);
  const std::vector<std::string>& messages() const { return got_; }
  // After reading what waits: how many messages contain text, and all of them in brackets.
  int count(const std::string& text);
  std::string all();

 private:
  const std::string path_;
  int fd_ = -1;
  std::vector<std::string> got_;
};

}  // namespace sorv::test
