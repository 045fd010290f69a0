#include "support/recorder.h"

#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace vardo::test {

WriteRecorder::WriteRecorder() {
  if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds_) < 0)
    throw std::runtime_error("socketpair");
  collector_ = std::thread([this] {
    std::vector<char> buf(65536);
    ssize_t n;
    while ((n = recv(fds_[0], buf.data(), buf.size(), 0)) > 0) {
      sizes_.push_back(n);
      data_.append(buf.data(), static_cast<size_t>(n));
    }
  });
}

void WriteRecorder::finish() {
  if (!collector_.joinable())
    return;
  shutdown(fds_[1], SHUT_WR);
  collector_.join();
}

WriteRecorder::~WriteRecorder() {
  finish();
  close(fds_[0]);
  close(fds_[1]);
}

} // namespace vardo::test
