#pragma once

#include <windows.h>

#include <objidl.h>

#include <atomic>

// What the platform layer's own COM objects share: they are called on the audio service's
// threads, must return S_OK whatever happens inside, and let nothing escape.

namespace kolvex::win {

// Runs a callback's body; nothing escapes it, not even an allocation failure.
template <class Body>
HRESULT guarded(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
  return S_OK;
}

// Reads through a volatile so that a null REFIID, which C++ assumes cannot exist but a COM
// caller can pass, is not optimised away.
inline bool is_null_reference(const IID& riid) {
  const IID* volatile address = &riid;
  return address == nullptr;
}

// A callback object with one atomic reference count, freed when it reaches zero. It answers
// IUnknown, IAgileObject (so the service calls it on any thread without marshalling) and
// `Interface`.
template <class Interface>
class AgileComObject : public Interface {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (is_null_reference(riid) || out == nullptr) return E_POINTER;
    if (riid == __uuidof(IUnknown) || riid == __uuidof(IAgileObject) ||
        riid == __uuidof(Interface)) {
      *out = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }

  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  AgileComObject() = default;
  virtual ~AgileComObject() = default;

 private:
  std::atomic<ULONG> references_{0};
};

}  // namespace kolvex::win
