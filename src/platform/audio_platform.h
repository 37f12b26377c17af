#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "base/error_value.h"

// The audio services as plain values. Each object stands for one platform object and
// releases it when destroyed, so the core decides how long every platform object lives.
// A call that reports success but yields no object fails with an empty PlatformError.

namespace kolvex {

enum class DataFlow : std::int32_t { render = 0, capture = 1 };
enum class DeviceRole : std::int32_t { console = 0, multimedia = 1, communications = 2 };

// An endpoint's state bits, as Core Audio numbers them (DEVICE_STATE_*).
inline constexpr std::uint32_t ENDPOINT_STATE_ACTIVE = 0x1;
inline constexpr std::uint32_t ENDPOINT_STATE_DISABLED = 0x2;
inline constexpr std::uint32_t ENDPOINT_STATE_NOT_PRESENT = 0x4;
inline constexpr std::uint32_t ENDPOINT_STATE_UNPLUGGED = 0x8;
inline constexpr std::uint32_t ENDPOINT_STATE_MASK_ALL = 0xF;

// An audio session's extended control.
class AudioSession {
 public:
  virtual ~AudioSession() = default;
  virtual Result<std::uint32_t> process_id() = 0;
  // For a session whose process cannot be pointed at, so that process_id() fails: the file name
  // of the executable its client claims. Its process runs where this program cannot see it (this
  // program runs in a sandbox), or several processes answer to the claim. Counted by that name,
  // with no pid.
  virtual std::optional<std::string> claimed_executable() { return std::nullopt; }
  // True exactly when the session is in the active state.
  virtual Result<bool> is_active() = 0;
};

// The sessions of one endpoint (its session manager and session enumerator).
class AudioSessionList {
 public:
  virtual ~AudioSessionList() = default;
  virtual Result<std::int32_t> count() = 0;
  // The session at `index`, asked for its extended control.
  virtual Result<std::unique_ptr<AudioSession>> session(std::int32_t index) = 0;
};

class AudioEndpoint {
 public:
  virtual ~AudioEndpoint() = default;
  // The endpoint identifier, decoded strictly to UTF-8.
  virtual Result<std::string> id() = 0;
  virtual Result<std::unique_ptr<AudioSessionList>> sessions() = 0;
  // The raw data-flow value the endpoint reports.
  virtual Result<std::int32_t> data_flow() = 0;
};

class AudioEndpointList {
 public:
  virtual ~AudioEndpointList() = default;
  virtual Result<std::uint32_t> count() = 0;
  virtual Result<std::unique_ptr<AudioEndpoint>> item(std::uint32_t index) = 0;
};

// Receives endpoint notifications on the platform's threads, at any time, possibly several
// at once; it must never block them. Ids are decoded strictly; an id that does not decode
// never reaches it, except for a default change, which then comes without one.
class EndpointNotificationSink {
 public:
  virtual ~EndpointNotificationSink() = default;
  virtual void state_changed(std::string device_id, std::uint32_t new_state) = 0;
  virtual void added(std::string device_id) = 0;
  virtual void removed(std::string device_id) = 0;
  virtual void default_changed(std::int32_t flow, std::int32_t role,
                               std::optional<std::string> device_id) = 0;
  // Notifications may have been missed (a platform whose connection to the audio service
  // broke); handled like notices that did not fit the queue. Windows never calls it.
  virtual void notices_lost() {}
  // An audio session appeared, started, stopped or ended, or what watches them wants its
  // refresh (the machine resumed), so the next poll may come early.
  virtual void sessions_changed() {}
};

// Keeps a notification client registered, and whatever else the platform watches to call
// sessions_changed; unregisters and releases all of it when destroyed.
class EndpointRegistration {
 public:
  virtual ~EndpointRegistration() = default;
  // Brings what is watched in step with the endpoints and sessions there are now;
  // `endpoints_changed` after endpoint notices came or were lost. The main loop calls it once
  // a pass, right before the poll, on its own thread: the only thread on which a platform may
  // create, register, unregister or release what it watches, since its callbacks must not.
  virtual void refresh(bool endpoints_changed) { (void)endpoints_changed; }
};

// How soon news of the sessions brings a poll. A session starts, stops or moves in steps some
// milliseconds apart, and a poll amid them would see it half-way: the poll waits until the
// sessions have been quiet for `quiet`, but comes no later than `latest` after the first news
// of a burst.
struct SessionSettle {
  std::chrono::milliseconds quiet;
  std::chrono::milliseconds latest;
};

class AudioDeviceEnumerator {
 public:
  virtual ~AudioDeviceEnumerator() = default;
  virtual Result<std::unique_ptr<AudioEndpointList>> endpoints(DataFlow flow,
                                                               std::uint32_t state_mask) = 0;
  virtual Result<std::unique_ptr<AudioEndpoint>> default_endpoint(DataFlow flow,
                                                                  DeviceRole role) = 0;
  virtual Result<std::unique_ptr<AudioEndpoint>> device(std::string_view id) = 0;
  // A platform without endpoint notifications refuses, and the detector polls on a timer.
  virtual Result<std::unique_ptr<EndpointRegistration>> register_endpoint_notifications(
      std::shared_ptr<EndpointNotificationSink> sink) {
    (void)sink;
    return PlatformError::empty();
  }
};

// How a platform's executables are named, which decides the applications it tracks: the same
// program is "Zoom.exe" on Windows and "zoom" on Linux.
enum class ExecutableNaming { windows, linux };

// Everything the detector asks of the machine it runs on. The core calls begin_poll() at the
// start of every poll, and only there; the poll's other calls follow it. What a platform keeps
// from one poll to the next it may drop at begin_poll() when the last poll did not use it. No
// other order is promised: create_device_enumerator() also runs at start-up, outside any poll.
class AudioPlatform {
 public:
  virtual ~AudioPlatform() = default;
  virtual ExecutableNaming executable_naming() const { return ExecutableNaming::windows; }
  // How this platform's sessions move, in time.
  virtual SessionSettle session_settle() const = 0;
  virtual void begin_poll() {}
  virtual Result<std::unique_ptr<AudioDeviceEnumerator>> create_device_enumerator() = 0;
  // The file name of the process's executable image, or nothing when it cannot be had.
  virtual std::optional<std::string> executable_name(std::uint32_t pid) = 0;
};

}  // namespace kolvex
