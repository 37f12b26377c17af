// kolvex-mic-detector-win: watches which processes use a microphone and writes JSON lines.
#include "bin/detector.h"
#include "output/diagnostics.h"
#include "platform/windows/com_runtime.h"
#include "platform/windows/windows_audio_platform.h"

int main() {
  if (kolvex::Status failed = kolvex::initialize_com()) kolvex::exit_with_startup_error(*failed);
  const std::unique_ptr<kolvex::AudioPlatform> platform = kolvex::make_windows_audio_platform();
  kolvex::exit_with_startup_error(kolvex::run_detector(*platform));
}
