#include "support/fifo_guard.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <future>

bool ReturnsWithoutAWriter(const std::string& fifo, const std::function<void()>& call, int seconds) {
  std::future<void> done = std::async(std::launch::async, call);
  if (done.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready) return true;
  // The call waits in open() for a writer: one comes and goes, and the
  // call goes on with an empty FIFO. Retried until it has ended, in case it
  // was slow rather than stuck.
  while (done.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
    int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) close(fd);
  }
  return false;
}
