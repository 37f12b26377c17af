// kolvex-mic-detector: the Linux port, on the PulseAudio (or PipeWire) server.
#include "bin/command_line.h"
#include "bin/detector.h"
#include "output/diagnostics.h"
#include "platform/pulse/pulse_audio_platform.h"

int main(int argc, char** argv) {
  kolvex::answer_command_line(
      argc, argv,
      {.name = "kolvex-mic-detector",
       .docs_location = "which the package installs in /usr/share/doc/kolvex-mic-detector/docs"});
  const std::unique_ptr<kolvex::AudioPlatform> platform =
      kolvex::pulse::make_pulse_audio_platform();
  kolvex::exit_with_startup_error(kolvex::run_detector(*platform));
}
