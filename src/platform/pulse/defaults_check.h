#pragma once

#include <pulse/context.h>
#include <pulse/introspect.h>
#include <pulse/mainloop-api.h>

#include "platform/pulse/pulse_handles.h"

namespace kolvex::pulse {

// pipewire-pulse keeps the server's defaults for each connection, and PipeWire 0.3.65 now and
// then does not pass a change of them on to the connections that exist, native PipeWire
// clients included (a single change when another client connected at that moment; on some
// servers every change from their start): those keep the old default, while a connection made
// afterwards reads the new one. A check is such a new connection, asked for the server info.
class DefaultsCheck {
 public:
  // Called on the loop's thread with the new connection's server info, or null without one;
  // the caller then takes the connection or closes the check.
  using Answer = void (*)(void* userdata, const pa_server_info* info);

  DefaultsCheck(Answer answer, void* userdata) : answer_(answer), userdata_(userdata) {}

  // Connects anew on the loop of `api` and asks; a check still running is given up.
  void start(pa_mainloop_api* api);
  // The connection of the check that just answered, for the caller to keep.
  ContextPtr take() { return std::move(context_); }
  // Gives up the check. Its connection is freed by the next start() or with the check, since a
  // context must not be freed inside its own callbacks.
  void close();

 private:
  static void on_state(pa_context* context, void* userdata);
  static void on_info(pa_context* context, const pa_server_info* info, void* userdata);

  Answer answer_;
  void* userdata_;
  ContextPtr context_;
};

// Whether a server keeps the defaults for each connection, as pipewire-pulse does.
bool keeps_defaults_per_connection(const pa_server_info& info);

}  // namespace kolvex::pulse
