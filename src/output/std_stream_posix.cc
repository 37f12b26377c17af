#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <iterator>

#include "base/system_message.h"
#include "output/std_stream.h"

namespace kolvex {
namespace {

// A reader that goes away must show up as EPIPE from write(2), not as a signal that ends the
// process without the fault report.
bool ignore_sigpipe() {
  signal(SIGPIPE, SIG_IGN);
  return true;
}

// A descriptor in non-blocking mode (a parent may share one with us) says "full" where a
// blocking one waits for the reader: wait as it would, so a slow reader is no fault.
void wait_until_writable(int fd) {
  pollfd entry{fd, POLLOUT, 0};
  while (poll(&entry, 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace

constexpr int TERMINATION_SIGNALS[] = {SIGTERM, SIGINT, SIGHUP};

TerminationSignalsHeld::TerminationSignalsHeld() {
  sigset_t block, before;
  sigemptyset(&block);
  for (const int signal : TERMINATION_SIGNALS) sigaddset(&block, signal);
  pthread_sigmask(SIG_BLOCK, &block, &before);
  for (unsigned i = 0; i < std::size(TERMINATION_SIGNALS); ++i) {
    if (!sigismember(&before, TERMINATION_SIGNALS[i])) held_ |= 1u << i;
  }
}

TerminationSignalsHeld::~TerminationSignalsHeld() {
  sigset_t release;
  sigemptyset(&release);
  for (unsigned i = 0; i < std::size(TERMINATION_SIGNALS); ++i) {
    if (held_ & (1u << i)) sigaddset(&release, TERMINATION_SIGNALS[i]);
  }
  pthread_sigmask(SIG_UNBLOCK, &release, nullptr);
}

std::optional<OsError> write_std_stream(StdStream stream, std::string_view bytes) {
  [[maybe_unused]] static const bool sigpipe_ignored = ignore_sigpipe();
  const int fd = stream == StdStream::out ? STDOUT_FILENO : STDERR_FILENO;
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      const int code = errno;
      if (code == EINTR) continue;
      if (code == EAGAIN || code == EWOULDBLOCK) {
        wait_until_writable(fd);
        continue;
      }
      if (code == EBADF) return std::nullopt;  // the process was started without this stream
      return OsError{static_cast<std::uint32_t>(code),
                     system_message(static_cast<std::uint32_t>(code))};
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

}  // namespace kolvex
