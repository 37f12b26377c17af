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

// A callback object with one atomic reference count, freed when it reaches zero. `Identity`
// is the interface its IUnknown is laid out as; it answers IUnknown, IAgileObject (so the
// service calls it on any thread without marshalling), `Identity` and `Others`.
template <class Identity, class... Others>
class AgileComObject : public Identity, public Others... {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (is_null_reference(riid) || out == nullptr) return E_POINTER;
    const bool identity = riid == __uuidof(IUnknown) || riid == __uuidof(IAgileObject);
    if (!answer_as<Identity>(identity ? __uuidof(Identity) : riid, out) &&
        !(answer_as<Others>(riid, out) || ...)) {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
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
  template <class Interface>
  bool answer_as(const IID& riid, void** out) {
    if (riid != __uuidof(Interface)) return false;
    *out = static_cast<Interface*>(this);
    return true;
  }

  std::atomic<ULONG> references_{0};
};

}  // namespace kolvex::win
