// kolvex-mic-detector: the Linux port, on the PulseAudio (or PipeWire) server.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "bin/command_line.h"
#include "bin/detector.h"
#include "output/diagnostics.h"
#include "platform/pulse/pulse_audio_platform.h"

namespace {

// A standard stream the process was started without would be taken by the next descriptor
// opened (libpulse's wake-up pipe), and events written into it. It stays what a missing
// stream is on Windows: one that takes every write and keeps nothing.
void open_missing_standard_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    // Lower descriptors are open by now, so /dev/null lands on this one.
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", O_RDWR);
  }
}

// The kernel gives the first process of a pid namespace (a container without an init,
// `unshare --fork`) only the signals it handles, so there the end that SIGTERM, SIGINT and SIGHUP
// bring anywhere else comes from a handler, with the status a shell shows for it. The handler
// runs only while no line is being written: the writer holds these signals meanwhile. One that
// the process was started ignoring stays ignored, as anywhere else.
void end_on_termination_signals_as_first_process() {
  if (getpid() != 1) return;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    struct sigaction action {};
    if (sigaction(signal, nullptr, &action) != 0 || action.sa_handler != SIG_DFL) continue;
    action.sa_handler = [](int received) { _exit(128 + received); };
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(signal, &action, nullptr);
  }
}

}  // namespace

int main(int argc, char** argv) {
  open_missing_standard_streams();
  end_on_termination_signals_as_first_process();
  kolvex::answer_command_line(
      argc, argv,
      {.name = "kolvex-mic-detector",
       .docs_location = "which the package installs in /usr/share/doc/kolvex-mic-detector/docs"});
  const std::unique_ptr<kolvex::AudioPlatform> platform =
      kolvex::pulse::make_pulse_audio_platform();
  kolvex::exit_with_startup_error(kolvex::run_detector(*platform));
}
