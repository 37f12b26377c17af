#pragma once

#include <pulse/context.h>
#include <pulse/mainloop.h>
#include <pulse/operation.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>

#include "base/unique_resource.h"

// Owning handles for libpulse objects.

namespace kolvex::pulse {

inline void free_mainloop(pa_mainloop* loop) {
  pa_mainloop_free(loop);
}

// The thread is joined first, so nothing of ours runs on it any more.
inline void free_threaded_mainloop(pa_threaded_mainloop* loop) {
  pa_threaded_mainloop_stop(loop);
  pa_threaded_mainloop_free(loop);
}

// Callbacks are cleared first: a disconnect reports its state change synchronously, and the
// holder may be half torn down by then.
inline void release_context(pa_context* context) {
  pa_context_set_state_callback(context, nullptr, nullptr);
  pa_context_set_subscribe_callback(context, nullptr, nullptr);
  pa_context_disconnect(context);
  pa_context_unref(context);
}

// A request still running must not call back into whatever its userdata was.
inline void release_operation(pa_operation* operation) {
  if (pa_operation_get_state(operation) == PA_OPERATION_RUNNING) pa_operation_cancel(operation);
  pa_operation_unref(operation);
}

using MainloopPtr = UniqueResource<pa_mainloop*, free_mainloop>;
using ThreadedMainloopPtr = UniqueResource<pa_threaded_mainloop*, free_threaded_mainloop>;
using ContextPtr = UniqueResource<pa_context*, release_context>;
using OperationPtr = UniqueResource<pa_operation*, release_operation>;

}  // namespace kolvex::pulse
