#pragma once

#include <atomic>
#include <memory>

#include "base/error_value.h"
#include "platform/audio_platform.h"
#include "platform/pulse/session_cache.h"

namespace kolvex::pulse {

// Endpoint notifications from a libpulse subscription, on libpulse's own thread and its own
// connection, and a wake-up for every change of a session. Fails only when no such thread can be
// had. A connection that fails, at start or later, is tried again every second; the loss is
// reported to the sink as lost notices, and again once a new connection has listed the endpoints
// afresh, since whatever changed in between was never announced. On a server that keeps the
// defaults for each connection, a new connection checks them now and then; when they are not
// what was announced, the change is announced and the poll connection's defaults marked stale.
// Every change heard is passed on to the poll connection before it is announced.
Result<std::unique_ptr<EndpointRegistration>> subscribe_to_endpoints(
    std::shared_ptr<EndpointNotificationSink> sink, std::shared_ptr<HeardElsewhere> poll_news);

}  // namespace kolvex::pulse
