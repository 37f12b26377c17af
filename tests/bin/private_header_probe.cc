// Must not build: of the Linux platform layer, the program sees pulse_audio_platform.h alone.
#include "platform/pulse/pulse_handles.h"
