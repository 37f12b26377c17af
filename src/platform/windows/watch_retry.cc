#include "platform/windows/watch_retry.h"

#include <audioclient.h>

#include <algorithm>

namespace kolvex::win {

Failure failure_of(HRESULT status) {
  // HRESULT_FROM_WIN32 is a function in the Windows SDK, so not a case label.
  if (status == HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE)) return Failure::service_gone;
  switch (status) {
    case E_NOTIMPL:
    case E_NOINTERFACE:
      return Failure::refused;
    case AUDCLNT_E_SERVICE_NOT_RUNNING:
    case RPC_E_DISCONNECTED:
      return Failure::service_gone;
    case AUDCLNT_E_DEVICE_INVALIDATED:
      return Failure::device_gone;
    default:
      return Failure::transient;
  }
}

void Retry::failed(Failure failure, TimePoint now) {
  if (failure == Failure::refused) {
    refused_ = true;
    return;
  }
  wait_ = wait_ == wait_.zero() ? FIRST_WAIT : std::min(wait_ * 2, LONGEST_WAIT);
  at_ = now + wait_;
}

}  // namespace kolvex::win
