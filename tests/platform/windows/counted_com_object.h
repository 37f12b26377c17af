#pragma once

#include <windows.h>

#include <atomic>

namespace kolvex::win {

// Reference counts of a test's COM object. The test owns the object, so a release too many is
// recorded rather than freeing memory the code under test may still touch.
class CountedObject {
 public:
  CountedObject() = default;
  CountedObject(const CountedObject&) = delete;
  CountedObject& operator=(const CountedObject&) = delete;
  virtual ~CountedObject() = default;

  long references() const { return references_; }
  bool over_released() const { return over_released_; }

 protected:
  ULONG add_ref() { return static_cast<ULONG>(++references_); }
  ULONG release() {
    const long left = --references_;
    if (left >= 0) return static_cast<ULONG>(left);
    ++references_;
    over_released_ = true;
    return 0;
  }

 private:
  std::atomic<long> references_{0};
  std::atomic<bool> over_released_{false};
};

template <class... Interfaces>
class CountedComObject : public CountedObject, public Interfaces... {
 public:
  ULONG STDMETHODCALLTYPE AddRef() noexcept override { return add_ref(); }
  ULONG STDMETHODCALLTYPE Release() noexcept override { return release(); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) noexcept override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    const HRESULT status = query(iid, out);
    if (*out != nullptr) AddRef();
    return status;
  }

 protected:
  // Points `out` at the interface for `iid` without a reference, or leaves it null. The pointer
  // must be cast to the interface: `this` alone points at CountedObject.
  virtual HRESULT query(REFIID iid, void** out) = 0;
};

}  // namespace kolvex::win
