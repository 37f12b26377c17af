#pragma once

#include <pulse/context.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>

#include <memory>

// Owning handles for libpulse objects.

namespace kolvex::pulse {

struct MainloopFree {
  void operator()(pa_mainloop* loop) const { pa_mainloop_free(loop); }
};
using MainloopPtr = std::unique_ptr<pa_mainloop, MainloopFree>;

struct ThreadedMainloopFree {
  // The thread is joined first, so nothing of ours runs on it any more.
  void operator()(pa_threaded_mainloop* loop) const {
    pa_threaded_mainloop_stop(loop);
    pa_threaded_mainloop_free(loop);
  }
};
using ThreadedMainloopPtr = std::unique_ptr<pa_threaded_mainloop, ThreadedMainloopFree>;

struct ContextRelease {
  // Callbacks are cleared first: a disconnect reports its state change synchronously, and the
  // holder may be half torn down by then.
  void operator()(pa_context* context) const {
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_set_subscribe_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
  }
};
using ContextPtr = std::unique_ptr<pa_context, ContextRelease>;

struct OperationRelease {
  // A request still running must not call back into whatever its userdata was.
  void operator()(pa_operation* operation) const {
    if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
    pa_operation_unref(operation);
  }
};
using OperationPtr = std::unique_ptr<pa_operation, OperationRelease>;

}  // namespace kolvex::pulse
