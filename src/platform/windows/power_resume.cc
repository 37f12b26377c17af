#include "platform/windows/power_resume.h"

#include <windows.h>

#include <utility>

#include "platform/windows/com_object.h"

// powrprof's, declared by the Windows SDK's powerbase.h, which MinGW-w64 lacks.
extern "C" DWORD WINAPI PowerRegisterSuspendResumeNotification(DWORD flags, HANDLE recipient,
                                                               PHPOWERNOTIFY registration);
extern "C" DWORD WINAPI PowerUnregisterSuspendResumeNotification(HPOWERNOTIFY registration);

namespace kolvex::win {
namespace {

constexpr DWORD DEVICE_NOTIFY_CALLBACK_FLAG = 2;

// DEVICE_NOTIFY_SUBSCRIBE_PARAMETERS, under a name of our own so as not to clash with the SDK's.
struct SubscribeParameters {
  ULONG(CALLBACK* callback)(PVOID context, ULONG type, PVOID setting);
  PVOID context;
};

class PowerResumeWatch final : public ResumeWatch {
 public:
  explicit PowerResumeWatch(std::function<void()> resumed) : resumed_(std::move(resumed)) {}
  PowerResumeWatch(const PowerResumeWatch&) = delete;
  PowerResumeWatch& operator=(const PowerResumeWatch&) = delete;
  ~PowerResumeWatch() override {
    if (registration_ != nullptr) (void)PowerUnregisterSuspendResumeNotification(registration_);
  }

  bool start() {
    return PowerRegisterSuspendResumeNotification(DEVICE_NOTIFY_CALLBACK_FLAG, &parameters_,
                                                  &registration_) == ERROR_SUCCESS;
  }

 private:
  // A resume from hibernation, or one without the user, comes as automatic only; one the user
  // wakes comes as both, which the watch takes as one.
  static ULONG CALLBACK on_power_event(PVOID context, ULONG type, PVOID) {
    if (type == PBT_APMRESUMEAUTOMATIC || type == PBT_APMRESUMESUSPEND) {
      (void)guarded([context] { static_cast<PowerResumeWatch*>(context)->resumed_(); });
    }
    return ERROR_SUCCESS;
  }

  std::function<void()> resumed_;
  // Kept for as long as the registration, as the system is not said to copy it.
  SubscribeParameters parameters_{&on_power_event, this};
  HPOWERNOTIFY registration_ = nullptr;
};

}  // namespace

std::unique_ptr<ResumeWatch> watch_resume_from_sleep(std::function<void()> resumed) {
  auto watch = std::make_unique<PowerResumeWatch>(std::move(resumed));
  if (!watch->start()) return nullptr;
  return watch;
}

}  // namespace kolvex::win
