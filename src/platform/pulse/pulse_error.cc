#include "platform/pulse/pulse_error.h"

#include <pulse/error.h>

#include <memory>
#include <string>

namespace kolvex::pulse {
namespace {

class PulseErrorDetail : public ErrorDetail {
 public:
  explicit PulseErrorDetail(int pa_error) : pa_error_(pa_error) {}
  std::string message() const override {
    const char* text = pa_strerror(pa_error_);
    return text ? text : "";
  }

 private:
  int pa_error_;
};

}  // namespace

std::int32_t pulse_code(int pa_error) {
  return static_cast<std::int32_t>(PULSE_CODE_BASE |
                                   (static_cast<std::uint32_t>(pa_error) & 0xFFFFu));
}

PlatformError pulse_error(int pa_error) {
  return PlatformError(pulse_code(pa_error), std::make_unique<PulseErrorDetail>(pa_error));
}

}  // namespace kolvex::pulse
