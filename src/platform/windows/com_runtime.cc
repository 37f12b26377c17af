#include "platform/windows/com_runtime.h"

#include <objbase.h>

#include "platform/windows/com_error.h"

namespace kolvex::win {

Status initialize_com() {
  const HRESULT status = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(status)) return platform_error_from_hresult(status);
  return {};
}

}  // namespace kolvex::win
