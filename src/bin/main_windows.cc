// kolvex-mic-detector-win: watches which processes use a microphone and writes JSON lines.
#include "bin/command_line.h"
#include "bin/detector.h"
#include "output/diagnostics.h"
#include "platform/windows/com_runtime.h"
#include "platform/windows/windows_audio_platform.h"

int main(int argc, char** argv) {
  kolvex::answer_command_line(
      argc, argv,
      {.name = "kolvex-mic-detector-win",
       .docs_location = "found beside the program, in the folder its ZIP unpacks to"});
  kolvex::Status com = kolvex::win::initialize_com();
  if (!com.ok()) kolvex::exit_with_startup_error(com.error());
  const std::unique_ptr<kolvex::AudioPlatform> platform =
      kolvex::win::make_windows_audio_platform();
  kolvex::exit_with_startup_error(kolvex::run_detector(*platform));
}
