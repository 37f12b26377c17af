#include "platform/pulse/defaults_check.h"

#include <string_view>

namespace kolvex::pulse {

void DefaultsCheck::start(pa_mainloop_api* api) {
  context_.reset(pa_context_new(api, "kolvex-mic-detector"));
  if (!context_) return answer_(userdata_, nullptr);
  pa_context_set_state_callback(context_.get(), on_state, this);
  if (pa_context_connect(context_.get(), nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    answer_(userdata_, nullptr);
  }
}

void DefaultsCheck::close() {
  if (!context_) return;
  pa_context_set_state_callback(context_.get(), nullptr, nullptr);
  pa_context_disconnect(context_.get());
}

void DefaultsCheck::on_state(pa_context* context, void* userdata) {
  auto& check = *static_cast<DefaultsCheck*>(userdata);
  switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
      if (pa_operation* operation = pa_context_get_server_info(context, on_info, userdata)) {
        pa_operation_unref(operation);
        return;
      }
      [[fallthrough]];
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
      return check.answer_(check.userdata_, nullptr);
    default:
      return;
  }
}

void DefaultsCheck::on_info(pa_context*, const pa_server_info* info, void* userdata) {
  auto& check = *static_cast<DefaultsCheck*>(userdata);
  check.answer_(check.userdata_, info);
}

bool keeps_defaults_per_connection(const pa_server_info& info) {
  return info.server_name &&
         std::string_view(info.server_name).find("PipeWire") != std::string_view::npos;
}

}  // namespace kolvex::pulse
