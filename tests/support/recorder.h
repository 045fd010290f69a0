// A descriptor that records the size of every write made to it: a datagram socket keeps each
// write as one record, and a thread collects them.
#pragma once
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace vardo::test {

class WriteRecorder {
public:
  WriteRecorder();
  ~WriteRecorder();
  int fd() const { return fds_[1]; }
  // Ends the writing side and waits for the collector; then sizes() and data() are complete.
  void finish();
  const std::vector<ssize_t> &sizes() const { return sizes_; }
  const std::string &data() const { return data_; }

private:
  int fds_[2] = {-1, -1};
  std::vector<ssize_t> sizes_;
  std::string data_;
  std::thread collector_;
};

} // namespace vardo::test
