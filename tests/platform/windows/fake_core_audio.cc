#include "fake_core_audio.h"

#include <audioclient.h>
#include <objbase.h>
#include <oleauto.h>
#include <wrl/client.h>

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <set>
#include <utility>

#include "base/text_encoding.h"
#include "counted_com_object.h"

namespace kolvex::win {
namespace {

using Microsoft::WRL::ComPtr;

// What Core Audio answers for an endpoint that is not there.
constexpr HRESULT NOT_FOUND = __HRESULT_FROM_WIN32(ERROR_NOT_FOUND);

std::string utf8(std::u16string_view text) {
  return utf16_to_utf8_lossy(text);
}

std::string iid_name(REFIID iid) {
  if (iid == __uuidof(IUnknown)) return "IUnknown";
  if (iid == __uuidof(IMMDeviceEnumerator)) return "IMMDeviceEnumerator";
  if (iid == __uuidof(IMMEndpoint)) return "IMMEndpoint";
  if (iid == __uuidof(IAudioSessionManager2)) return "IAudioSessionManager2";
  if (iid == __uuidof(IAudioSessionControl2)) return "IAudioSessionControl2";
  return "another interface";
}

std::string client_text(IMMNotificationClient* client) {
  if (client == nullptr) return "null";
  client->AddRef();
  const ULONG references = client->Release();
  return "client with " + std::to_string(references) +
         (references == 1 ? " reference" : " references");
}

std::string hex(DWORD value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%lX", static_cast<unsigned long>(value));
  return text;
}

const Outcome* outcome_of(const Outcomes* outcomes, Call call) {
  if (outcomes == nullptr) return nullptr;
  const auto it = outcomes->find(call);
  if (it == outcomes->end() || it->second.times == 0) return nullptr;
  if (it->second.times > 0) --it->second.times;
  return &it->second;
}

void leave_error_info(const std::u16string& description) {
  ComPtr<ICreateErrorInfo> create;
  if (FAILED(CreateErrorInfo(create.GetAddressOf()))) return;
  std::wstring text(description.begin(), description.end());
  create->SetDescription(text.data());
  ComPtr<IErrorInfo> info;
  if (SUCCEEDED(create.As(&info))) SetErrorInfo(0, info.Get());
}

// The scripted failure, with its error information left for the thread; S_OK to go on.
HRESULT failure(const Outcome* outcome) {
  while (outcome != nullptr && outcome->never_returns) Sleep(INFINITE);
  if (outcome == nullptr || SUCCEEDED(outcome->status)) return S_OK;
  if (!outcome->error_description.empty()) leave_error_info(outcome->error_description);
  return outcome->status;
}

HRESULT success(const Outcome* outcome) {
  return outcome ? outcome->status : S_OK;
}

// Hands out a new object as the outcome says; `make` runs only when one is handed out.
template <class Interface, class Make>
HRESULT hand_out(const Outcome* outcome, Interface** out, Make&& make) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (const HRESULT failed = failure(outcome); FAILED(failed)) return failed;
  if (outcome != nullptr && outcome->no_object) return S_OK;
  Interface* object = make();
  object->AddRef();
  *out = object;
  return success(outcome);
}

template <class T>
HRESULT give(const Outcome* outcome, T* out, T value) {
  if (out == nullptr) return E_POINTER;
  *out = T{};
  if (const HRESULT failed = failure(outcome); FAILED(failed)) return failed;
  *out = value;
  return success(outcome);
}

// Sees every CoTaskMemFree in the process, so that each endpoint id handed out can be checked
// to have been freed exactly once.
class FreeWatch final : public CountedComObject<IMallocSpy> {
 public:
  void watch(void* block, std::string name) {
    std::lock_guard lock(mutex_);
    // The heap hands out a freed block again, so the block now stands for a new string.
    live_[block] = watched_.size();
    watched_.push_back({std::move(name), 0});
  }
  void forget() {
    std::lock_guard lock(mutex_);
    live_.clear();
    watched_.clear();
  }
  std::vector<std::string> not_freed_once() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> wrong;
    for (const Watched& watched : watched_) {
      if (watched.frees != 1) {
        wrong.push_back(watched.name + ": freed " + std::to_string(watched.frees) + " times");
      }
    }
    return wrong;
  }

  SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) noexcept override { return size; }
  void* STDMETHODCALLTYPE PostAlloc(void* block) noexcept override { return block; }
  void* STDMETHODCALLTYPE PreFree(void* block, BOOL) noexcept override {
    std::lock_guard lock(mutex_);
    if (auto it = live_.find(block); it != live_.end()) ++watched_[it->second].frees;
    return block;
  }
  void STDMETHODCALLTYPE PostFree(BOOL) noexcept override {}
  SIZE_T STDMETHODCALLTYPE PreRealloc(void* block, SIZE_T size, void** new_block,
                                      BOOL) noexcept override {
    *new_block = block;
    return size;
  }
  void* STDMETHODCALLTYPE PostRealloc(void* block, BOOL) noexcept override { return block; }
  void* STDMETHODCALLTYPE PreGetSize(void* block, BOOL) noexcept override { return block; }
  SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) noexcept override { return size; }
  void* STDMETHODCALLTYPE PreDidAlloc(void* block, BOOL) noexcept override { return block; }
  int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) noexcept override { return actual; }
  void STDMETHODCALLTYPE PreHeapMinimize() noexcept override {}
  void STDMETHODCALLTYPE PostHeapMinimize() noexcept override {}

 private:
  HRESULT query(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMallocSpy)) {
      *out = static_cast<IMallocSpy*>(this);
    }
    return *out ? S_OK : E_NOINTERFACE;
  }

  struct Watched {
    std::string name;
    int frees;
  };
  mutable std::mutex mutex_;
  std::vector<Watched> watched_;
  std::map<void*, std::size_t> live_;  // block -> the string it holds now
};

// Registered once for the whole test process and never revoked: ole32 keeps a spy until every
// block allocated under it is freed, which the code under test may not do.
FreeWatch& free_watch() {
  static FreeWatch* const watch = [] {
    auto* made = new FreeWatch;
    CoRegisterMallocSpy(made);
    return made;
  }();
  return *watch;
}

}  // namespace

struct FakeCoreAudio::State {
  // Guards the script, the call log and the objects: a test's service side may change the
  // sessions from another thread while the code under test polls.
  mutable std::recursive_mutex lock;
  CoreAudioScript script;
  std::vector<std::string> calls;
  std::FILE* echo = nullptr;
  std::vector<std::pair<std::string, std::unique_ptr<CountedObject>>> objects;
  FreeWatch& free_watch = win::free_watch();
  // What a stopped service had made.
  std::set<const CountedObject*> gone;
  bool service_down = false;
  Outcome gone_outcome;
  // Sinks registered with a session manager (by endpoint id) or with a session (by instance
  // id), each with the reference its registration took.
  std::vector<std::pair<std::u16string, IAudioSessionNotification*>> session_sinks;
  std::vector<std::pair<std::u16string, IAudioSessionEvents*>> events_sinks;
  // Held while sinks are called, and taken first by unregistering, which so waits for them.
  mutable std::mutex delivery;

  template <class T, class... Args>
  T* make(std::string name, Args&&... args) {
    auto object = std::make_unique<T>(*this, std::forward<Args>(args)...);
    T* made = object.get();
    std::lock_guard guard(lock);
    objects.emplace_back(std::move(name), std::move(object));
    return made;
  }
  // How `call` on `object` goes: a stopped service answers for what it made.
  const Outcome* outcome(const CountedObject* object, const Outcomes* outcomes, Call call) {
    std::lock_guard guard(lock);
    if (gone.contains(object) || (call == Call::activate && service_down)) return &gone_outcome;
    return outcome_of(outcomes, call);
  }
  void log(std::string call) {
    std::lock_guard guard(lock);
    if (echo != nullptr) {
      std::fprintf(echo, "call: %s\n", call.c_str());
      std::fflush(echo);
    }
    calls.push_back(std::move(call));
  }
  const Outcomes* flow_outcomes(EDataFlow flow) const {
    const auto it = script.flow_outcomes.find(flow);
    return it == script.flow_outcomes.end() ? nullptr : &it->second;
  }
  const ScriptedEndpoint* endpoint_with_id(std::u16string_view id) const {
    for (const auto* endpoints : {&script.endpoints, &script.arrivals}) {
      for (const ScriptedEndpoint& endpoint : *endpoints) {
        if (endpoint.id == id) return &endpoint;
      }
    }
    return nullptr;
  }

  // Registration as the service does it: the sink gains a reference, which unregistering it,
  // with the very pointer, takes back.
  template <class Sink>
  HRESULT add_sink(std::vector<std::pair<std::u16string, Sink*>>& sinks, std::u16string key,
                   Sink* sink, const Outcome* outcome) {
    if (const HRESULT failed = failure(outcome); FAILED(failed)) return failed;
    if (sink == nullptr) return E_POINTER;
    std::lock_guard guard(lock);
    sink->AddRef();
    sinks.emplace_back(std::move(key), sink);
    return S_OK;
  }
  template <class Sink>
  HRESULT remove_sink(std::vector<std::pair<std::u16string, Sink*>>& sinks,
                      const std::u16string& key, Sink* sink, const Outcome* outcome) {
    if (const HRESULT failed = failure(outcome); FAILED(failed)) return failed;
    std::lock_guard wait_for_callbacks(delivery);
    std::lock_guard guard(lock);
    const auto it = std::find(sinks.begin(), sinks.end(), std::pair{key, sink});
    if (it == sinks.end()) return NOT_FOUND;
    sinks.erase(it);
    sink->Release();
    return S_OK;
  }
  template <class Sink>
  std::vector<ComPtr<Sink>> sinks_for(const std::vector<std::pair<std::u16string, Sink*>>& sinks,
                                      const std::u16string& key) const {
    std::lock_guard guard(lock);
    std::vector<ComPtr<Sink>> found;
    for (const auto& [registered_key, sink] : sinks) {
      if (registered_key == key) found.emplace_back(sink);
    }
    return found;
  }

  // Held while a notification is delivered, so that unregistering waits for it.
  mutable std::mutex client_mutex;
  IMMNotificationClient* client = nullptr;
};

namespace {

using State = FakeCoreAudio::State;

// A string handed to the caller, who must free it with CoTaskMemFree, once.
HRESULT copy_string(State& state, const std::u16string& text, LPWSTR* out, std::string name) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (copy == nullptr) return E_OUTOFMEMORY;
  std::copy(text.begin(), text.end(), copy);
  copy[text.size()] = L'\0';
  state.free_watch.watch(copy, std::move(name));
  *out = copy;
  return S_OK;
}

std::u16string instance_of(const ScriptedEndpoint& endpoint, std::size_t index) {
  const ScriptedSession& session = endpoint.sessions[index];
  if (!session.instance.empty()) return session.instance;
  const std::string number = std::to_string(index);
  return endpoint.id + u"#" + std::u16string(number.begin(), number.end());
}

AudioSessionState state_of(State& state, const std::u16string& instance) {
  std::lock_guard guard(state.lock);
  for (const ScriptedEndpoint& endpoint : state.script.endpoints) {
    for (std::size_t index = 0; index < endpoint.sessions.size(); ++index) {
      if (instance_of(endpoint, index) == instance) return endpoint.sessions[index].state;
    }
  }
  return AudioSessionStateExpired;
}

// A session's control, as it was when it was handed out but for its state, which is the
// session's now: expired once it has left the script.
class FakeSession final : public CountedComObject<IAudioSessionControl2> {
 public:
  FakeSession(State& state, ScriptedSession session, std::u16string instance)
      : state_(state),
        session_(std::move(session)),
        instance_(std::move(instance)),
        name_(utf8(instance_)) {}

  HRESULT STDMETHODCALLTYPE GetState(AudioSessionState* state) noexcept override {
    state_.log("GetState(" + name_ + ")");
    return give(state_.outcome(this, &session_.outcomes, Call::state), state,
                state_of(state_, instance_));
  }
  HRESULT STDMETHODCALLTYPE GetProcessId(DWORD* pid) noexcept override {
    state_.log("GetProcessId(" + name_ + ")");
    return give(state_.outcome(this, &session_.outcomes, Call::process_id), pid,
                DWORD{session_.pid});
  }
  HRESULT STDMETHODCALLTYPE GetDisplayName(LPWSTR*) noexcept override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetDisplayName(LPCWSTR, LPCGUID) noexcept override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIconPath(LPWSTR*) noexcept override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetIconPath(LPCWSTR, LPCGUID) noexcept override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetGroupingParam(GUID*) noexcept override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetGroupingParam(LPCGUID, LPCGUID) noexcept override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE
  RegisterAudioSessionNotification(IAudioSessionEvents* sink) noexcept override {
    state_.log("RegisterAudioSessionNotification(" + name_ + ")");
    return state_.add_sink(state_.events_sinks, instance_, sink,
                           state_.outcome(this, &session_.outcomes, Call::register_events));
  }
  HRESULT STDMETHODCALLTYPE
  UnregisterAudioSessionNotification(IAudioSessionEvents* sink) noexcept override {
    state_.log("UnregisterAudioSessionNotification(" + name_ + ")");
    return state_.remove_sink(state_.events_sinks, instance_, sink,
                              state_.outcome(this, &session_.outcomes, Call::unregister_events));
  }
  HRESULT STDMETHODCALLTYPE GetSessionIdentifier(LPWSTR*) noexcept override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSessionInstanceIdentifier(LPWSTR* out) noexcept override {
    return copy_string(state_, instance_, out, "instance id of " + name_);
  }
  HRESULT STDMETHODCALLTYPE IsSystemSoundsSession() noexcept override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetDuckingPreference(BOOL) noexcept override { return E_NOTIMPL; }

 private:
  HRESULT query(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IAudioSessionControl)) {
      *out = static_cast<IAudioSessionControl2*>(this);
      return S_OK;
    }
    if (iid != __uuidof(IAudioSessionControl2)) return E_NOINTERFACE;
    state_.log("QueryInterface(" + name_ + ", IAudioSessionControl2)");
    const Outcome* outcome = state_.outcome(this, &session_.outcomes, Call::query_control2);
    if (const HRESULT failed = failure(outcome); FAILED(failed)) return failed;
    if (outcome == nullptr || !outcome->no_object) *out = static_cast<IAudioSessionControl2*>(this);
    return success(outcome);
  }

  State& state_;
  const ScriptedSession session_;
  const std::u16string instance_;
  const std::string name_;
};

IAudioSessionControl* make_session(State& state, const ScriptedEndpoint& endpoint,
                                   std::size_t index) {
  std::u16string instance = instance_of(endpoint, index);
  return state.make<FakeSession>("IAudioSessionControl2 " + utf8(instance),
                                 endpoint.sessions[index], std::move(instance));
}

// The sessions of an endpoint as they were when it was handed out.
class FakeSessionEnumerator final : public CountedComObject<IAudioSessionEnumerator> {
 public:
  FakeSessionEnumerator(State& state, ScriptedEndpoint endpoint)
      : state_(state), endpoint_(std::move(endpoint)) {}

  HRESULT STDMETHODCALLTYPE GetCount(int* count) noexcept override {
    state_.log("GetCount(" + utf8(endpoint_.id) + " sessions)");
    return give(state_.outcome(this, &endpoint_.outcomes, Call::session_count), count,
                static_cast<int>(endpoint_.sessions.size()));
  }
  HRESULT STDMETHODCALLTYPE GetSession(int index, IAudioSessionControl** out) noexcept override {
    state_.log("GetSession(" + utf8(endpoint_.id) + ", " + std::to_string(index) + ")");
    if (index < 0 || static_cast<std::size_t>(index) >= endpoint_.sessions.size()) {
      return E_INVALIDARG;
    }
    const auto at = static_cast<std::size_t>(index);
    return hand_out(state_.outcome(this, &endpoint_.sessions[at].outcomes, Call::get_session), out,
                    [&] { return make_session(state_, endpoint_, at); });
  }

 private:
  HRESULT query(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IAudioSessionEnumerator)) {
      *out = static_cast<IAudioSessionEnumerator*>(this);
    }
    return *out ? S_OK : E_NOINTERFACE;
  }

  State& state_;
  const ScriptedEndpoint endpoint_;
};

// Answers for its endpoint as the script has it now: one that has left it, or is no longer
// active, reports its device invalidated.
class FakeSessionManager final : public CountedComObject<IAudioSessionManager2> {
 public:
  FakeSessionManager(State& state, std::u16string endpoint)
      : state_(state), endpoint_(std::move(endpoint)), name_(utf8(endpoint_)) {}

  HRESULT STDMETHODCALLTYPE GetSessionEnumerator(IAudioSessionEnumerator** out) noexcept override {
    state_.log("GetSessionEnumerator(" + name_ + ")");
    std::lock_guard guard(state_.lock);
    const ScriptedEndpoint* endpoint = present();
    if (endpoint == nullptr) return AUDCLNT_E_DEVICE_INVALIDATED;
    return hand_out(state_.outcome(this, &endpoint->outcomes, Call::session_enumerator), out, [&] {
      return state_.make<FakeSessionEnumerator>("IAudioSessionEnumerator " + name_, *endpoint);
    });
  }
  HRESULT STDMETHODCALLTYPE GetAudioSessionControl(LPCGUID, DWORD,
                                                   IAudioSessionControl**) noexcept override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetSimpleAudioVolume(LPCGUID, DWORD,
                                                 ISimpleAudioVolume**) noexcept override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE
  RegisterSessionNotification(IAudioSessionNotification* sink) noexcept override {
    state_.log("RegisterSessionNotification(" + name_ + ")");
    std::lock_guard guard(state_.lock);
    const ScriptedEndpoint* endpoint = present();
    if (endpoint == nullptr) return AUDCLNT_E_DEVICE_INVALIDATED;
    return state_.add_sink(state_.session_sinks, endpoint_, sink,
                           state_.outcome(this, &endpoint->outcomes, Call::register_sessions));
  }
  HRESULT STDMETHODCALLTYPE
  UnregisterSessionNotification(IAudioSessionNotification* sink) noexcept override {
    state_.log("UnregisterSessionNotification(" + name_ + ")");
    const ScriptedEndpoint* endpoint = state_.endpoint_with_id(endpoint_);
    return state_.remove_sink(
        state_.session_sinks, endpoint_, sink,
        state_.outcome(this, endpoint ? &endpoint->outcomes : nullptr, Call::unregister_sessions));
  }
  HRESULT STDMETHODCALLTYPE
  RegisterDuckNotification(LPCWSTR, IAudioVolumeDuckNotification*) noexcept override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE
  UnregisterDuckNotification(IAudioVolumeDuckNotification*) noexcept override {
    return E_NOTIMPL;
  }

 private:
  HRESULT query(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IAudioSessionManager) ||
        iid == __uuidof(IAudioSessionManager2)) {
      *out = static_cast<IAudioSessionManager2*>(this);
    }
    return *out ? S_OK : E_NOINTERFACE;
  }

  const ScriptedEndpoint* present() const {
    const ScriptedEndpoint* endpoint = state_.endpoint_with_id(endpoint_);
    return endpoint != nullptr && endpoint->state == DEVICE_STATE_ACTIVE ? endpoint : nullptr;
  }

  State& state_;
  const std::u16string endpoint_;
  const std::string name_;
};

class FakeDevice final : public CountedComObject<IMMDevice, IMMEndpoint> {
 public:
  FakeDevice(State& state, const ScriptedEndpoint& endpoint) : state_(state), endpoint_(endpoint) {}

  HRESULT STDMETHODCALLTYPE Activate(REFIID iid, DWORD context, PROPVARIANT* parameters,
                                     void** out) noexcept override {
    state_.log("Activate(" + utf8(endpoint_.id) + ", " + iid_name(iid) + ", " + hex(context) +
               ", " + (parameters ? "parameters" : "null") + ")");
    if (iid != __uuidof(IAudioSessionManager2)) return E_NOINTERFACE;
    return hand_out(state_.outcome(this, &endpoint_.outcomes, Call::activate),
                    reinterpret_cast<IAudioSessionManager2**>(out), [&] {
                      return state_.make<FakeSessionManager>(
                          "IAudioSessionManager2 " + utf8(endpoint_.id), endpoint_.id);
                    });
  }
  HRESULT STDMETHODCALLTYPE GetId(LPWSTR* out) noexcept override {
    state_.log("GetId(" + utf8(endpoint_.id) + ")");
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    const Outcome* outcome = state_.outcome(this, &endpoint_.outcomes, Call::get_id);
    if (const HRESULT failed = failure(outcome); FAILED(failed)) return failed;
    if (outcome != nullptr && outcome->no_object) return S_OK;
    const HRESULT copied =
        copy_string(state_, endpoint_.id, out, "id string of " + utf8(endpoint_.id));
    return FAILED(copied) ? copied : success(outcome);
  }
  HRESULT STDMETHODCALLTYPE GetState(DWORD* state) noexcept override {
    return give<DWORD>(nullptr, state, endpoint_.state);
  }
  HRESULT STDMETHODCALLTYPE OpenPropertyStore(DWORD, IPropertyStore**) noexcept override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetDataFlow(EDataFlow* flow) noexcept override {
    state_.log("GetDataFlow(" + utf8(endpoint_.id) + ")");
    return give(state_.outcome(this, &endpoint_.outcomes, Call::data_flow), flow, endpoint_.flow);
  }

 private:
  HRESULT query(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMDevice)) {
      *out = static_cast<IMMDevice*>(this);
      return S_OK;
    }
    if (iid != __uuidof(IMMEndpoint)) return E_NOINTERFACE;
    state_.log("QueryInterface(" + utf8(endpoint_.id) + ", IMMEndpoint)");
    const Outcome* outcome = state_.outcome(this, &endpoint_.outcomes, Call::query_endpoint);
    if (const HRESULT failed = failure(outcome); FAILED(failed)) return failed;
    if (outcome == nullptr || !outcome->no_object) *out = static_cast<IMMEndpoint*>(this);
    return success(outcome);
  }

  State& state_;
  const ScriptedEndpoint& endpoint_;
};

IMMDevice* make_device(State& state, const ScriptedEndpoint& endpoint) {
  return state.make<FakeDevice>("IMMDevice " + utf8(endpoint.id), endpoint);
}

class FakeCollection final : public CountedComObject<IMMDeviceCollection> {
 public:
  FakeCollection(State& state, EDataFlow flow, std::vector<const ScriptedEndpoint*> endpoints)
      : state_(state), flow_(flow), endpoints_(std::move(endpoints)) {}

  HRESULT STDMETHODCALLTYPE GetCount(UINT* count) noexcept override {
    state_.log("GetCount(" + std::to_string(flow_) + " endpoints)");
    return give(state_.outcome(this, state_.flow_outcomes(flow_), Call::endpoint_count), count,
                static_cast<UINT>(endpoints_.size()));
  }
  HRESULT STDMETHODCALLTYPE Item(UINT index, IMMDevice** out) noexcept override {
    state_.log("Item(" + std::to_string(flow_) + ", " + std::to_string(index) + ")");
    if (index >= endpoints_.size()) return E_INVALIDARG;
    const ScriptedEndpoint& endpoint = *endpoints_[index];
    return hand_out(state_.outcome(this, &endpoint.outcomes, Call::item), out,
                    [&] { return make_device(state_, endpoint); });
  }

 private:
  HRESULT query(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMDeviceCollection)) {
      *out = static_cast<IMMDeviceCollection*>(this);
    }
    return *out ? S_OK : E_NOINTERFACE;
  }

  State& state_;
  EDataFlow flow_;
  std::vector<const ScriptedEndpoint*> endpoints_;
};

class FakeEnumerator final : public CountedComObject<IMMDeviceEnumerator> {
 public:
  explicit FakeEnumerator(State& state) : state_(state) {}

  HRESULT STDMETHODCALLTYPE EnumAudioEndpoints(EDataFlow flow, DWORD state_mask,
                                               IMMDeviceCollection** out) noexcept override {
    state_.log("EnumAudioEndpoints(" + std::to_string(flow) + ", " + hex(state_mask) + ")");
    return hand_out(
        state_.outcome(this, state_.flow_outcomes(flow), Call::enum_endpoints), out, [&] {
          std::vector<const ScriptedEndpoint*> endpoints;
          for (const ScriptedEndpoint& endpoint : state_.script.endpoints) {
            if ((endpoint.flow == flow || flow == eAll) && (endpoint.state & state_mask) != 0) {
              endpoints.push_back(&endpoint);
            }
          }
          return state_.make<FakeCollection>("IMMDeviceCollection " + std::to_string(flow), flow,
                                             std::move(endpoints));
        });
  }
  HRESULT STDMETHODCALLTYPE GetDefaultAudioEndpoint(EDataFlow flow, ERole role,
                                                    IMMDevice** out) noexcept override {
    state_.log("GetDefaultAudioEndpoint(" + std::to_string(flow) + ", " + std::to_string(role) +
               ")");
    const ScriptedEndpoint* endpoint = nullptr;
    std::lock_guard guard(state_.lock);
    if (flow == eCapture) {
      const auto it = state_.script.capture_defaults.find(role);
      if (it != state_.script.capture_defaults.end())
        endpoint = state_.endpoint_with_id(it->second);
    }
    return found(state_.outcome(this, &state_.script.outcomes, Call::default_endpoint), endpoint,
                 out);
  }
  HRESULT STDMETHODCALLTYPE GetDevice(LPCWSTR id, IMMDevice** out) noexcept override {
    if (id == nullptr) return E_POINTER;
    const std::u16string_view wanted(reinterpret_cast<const char16_t*>(id), std::wcslen(id));
    state_.log("GetDevice(" + utf8(wanted) + ")");
    return found(state_.outcome(this, &state_.script.outcomes, Call::device),
                 state_.endpoint_with_id(wanted), out);
  }
  HRESULT STDMETHODCALLTYPE
  RegisterEndpointNotificationCallback(IMMNotificationClient* client) noexcept override {
    state_.log("RegisterEndpointNotificationCallback(" + client_text(client) + ")");
    if (client == nullptr) return E_POINTER;
    const Outcome* outcome = state_.outcome(this, &state_.script.outcomes, Call::register_client);
    if (const HRESULT failed = failure(outcome); FAILED(failed)) return failed;
    std::lock_guard lock(state_.client_mutex);
    state_.client = client;
    return success(outcome);
  }
  HRESULT STDMETHODCALLTYPE
  UnregisterEndpointNotificationCallback(IMMNotificationClient* client) noexcept override {
    state_.log("UnregisterEndpointNotificationCallback(" + client_text(client) + ")");
    if (client == nullptr) return E_POINTER;
    const Outcome* outcome = state_.outcome(this, &state_.script.outcomes, Call::unregister_client);
    if (const HRESULT failed = failure(outcome); FAILED(failed)) return failed;
    std::lock_guard lock(state_.client_mutex);
    if (client != state_.client) return NOT_FOUND;
    state_.client = nullptr;
    return success(outcome);
  }

 private:
  HRESULT query(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMMDeviceEnumerator)) {
      *out = static_cast<IMMDeviceEnumerator*>(this);
    }
    return *out ? S_OK : E_NOINTERFACE;
  }

  HRESULT found(const Outcome* outcome, const ScriptedEndpoint* endpoint, IMMDevice** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (endpoint == nullptr && (outcome == nullptr || SUCCEEDED(outcome->status))) {
      return NOT_FOUND;
    }
    return hand_out(outcome, out, [&] { return make_device(state_, *endpoint); });
  }

  State& state_;
};

class FakeFactory final : public CountedComObject<IClassFactory> {
 public:
  explicit FakeFactory(State& state) : state_(state) {}

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid,
                                           void** out) noexcept override {
    state_.log(std::string("CreateInstance(") + (outer ? "outer" : "null") + ", " + iid_name(iid) +
               ")");
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    const Outcome* outcome = outcome_of(&state_.script.outcomes, Call::create_instance);
    if (const HRESULT failed = failure(outcome); FAILED(failed)) return failed;
    if (outcome != nullptr && outcome->no_object) return S_OK;
    const HRESULT status =
        state_.make<FakeEnumerator>("IMMDeviceEnumerator")->QueryInterface(iid, out);
    return FAILED(status) ? status : success(outcome);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) noexcept override { return S_OK; }

 private:
  HRESULT query(REFIID iid, void** out) override {
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
    }
    return *out ? S_OK : E_NOINTERFACE;
  }

  State& state_;
};

}  // namespace

FakeCoreAudio::FakeCoreAudio(CoreAudioScript script) : state_(std::make_unique<State>()) {
  state_->script = std::move(script);
  state_->free_watch.forget();
  IClassFactory* factory = state_->make<FakeFactory>("IClassFactory");
  registration_status_ = CoRegisterClassObject(__uuidof(MMDeviceEnumerator), factory,
                                               CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie_);
}

FakeCoreAudio::~FakeCoreAudio() {
  revoke();
}

void FakeCoreAudio::revoke() {
  if (SUCCEEDED(registration_status_)) CoRevokeClassObject(cookie_);
  registration_status_ = E_FAIL;
}

CoreAudioScript& FakeCoreAudio::script() {
  return state_->script;
}

const std::vector<std::string>& FakeCoreAudio::calls() const {
  std::lock_guard guard(state_->lock);
  return state_->calls;
}

void FakeCoreAudio::echo_calls(std::FILE* out) {
  state_->echo = out;
}

std::vector<std::string> FakeCoreAudio::unreleased() const {
  std::lock_guard guard(state_->lock);
  std::vector<std::string> wrong;
  for (const auto& [endpoint, sink] : state_->session_sinks) {
    wrong.push_back("session sink still registered with " + utf8(endpoint));
  }
  for (const auto& [instance, sink] : state_->events_sinks) {
    wrong.push_back("events sink still registered with " + utf8(instance));
  }
  for (const auto& [name, object] : state_->objects) {
    if (object->over_released()) wrong.push_back(name + ": released once too often");
    if (object->references() != 0) {
      wrong.push_back(name + ": " + std::to_string(object->references()) + " references");
    }
  }
  for (std::string& id : state_->free_watch.not_freed_once()) wrong.push_back(std::move(id));
  return wrong;
}

std::size_t FakeCoreAudio::objects_made() const {
  std::lock_guard guard(state_->lock);
  return state_->objects.size();
}

std::size_t FakeCoreAudio::referenced_objects() const {
  std::lock_guard guard(state_->lock);
  return static_cast<std::size_t>(
      std::count_if(state_->objects.begin(), state_->objects.end(),
                    [](const auto& object) { return object.second->references() > 0; }));
}

std::size_t FakeCoreAudio::registered_sinks() const {
  std::lock_guard guard(state_->lock);
  return state_->session_sinks.size() + state_->events_sinks.size();
}

void FakeCoreAudio::create_session(const std::u16string& endpoint, ScriptedSession session) {
  State& state = *state_;
  std::lock_guard delivering(state.delivery);
  ComPtr<IAudioSessionControl> control;
  std::vector<ComPtr<IAudioSessionNotification>> sinks;
  {
    std::lock_guard guard(state.lock);
    for (ScriptedEndpoint& scripted : state.script.endpoints) {
      if (scripted.id != endpoint) continue;
      scripted.sessions.push_back(std::move(session));
      control = make_session(state, scripted, scripted.sessions.size() - 1);
    }
    sinks = state.sinks_for(state.session_sinks, endpoint);
  }
  // Lent for the calls only.
  for (const auto& sink : sinks) sink->OnSessionCreated(control.Get());
}

void FakeCoreAudio::change_state(const std::u16string& instance, AudioSessionState new_state) {
  State& state = *state_;
  std::lock_guard delivering(state.delivery);
  std::vector<ComPtr<IAudioSessionEvents>> sinks;
  {
    std::lock_guard guard(state.lock);
    for (ScriptedEndpoint& endpoint : state.script.endpoints) {
      for (std::size_t index = 0; index < endpoint.sessions.size(); ++index) {
        if (instance_of(endpoint, index) != instance) continue;
        endpoint.sessions[index].state = new_state;
        if (new_state == AudioSessionStateExpired) {
          endpoint.sessions.erase(endpoint.sessions.begin() + static_cast<std::ptrdiff_t>(index));
        }
        break;
      }
    }
    sinks = state.sinks_for(state.events_sinks, instance);
  }
  for (const auto& sink : sinks) sink->OnStateChanged(new_state);
}

void FakeCoreAudio::disconnect(const std::u16string& instance,
                               AudioSessionDisconnectReason reason) {
  std::lock_guard delivering(state_->delivery);
  for (const auto& sink : state_->sinks_for(state_->events_sinks, instance)) {
    sink->OnSessionDisconnected(reason);
  }
}

void FakeCoreAudio::change_default(ERole role, const std::u16string& endpoint) {
  {
    std::lock_guard guard(state_->lock);
    state_->script.capture_defaults[role] = endpoint;
  }
  std::lock_guard lock(state_->client_mutex);
  if (state_->client != nullptr) {
    state_->client->OnDefaultDeviceChanged(eCapture, role,
                                           reinterpret_cast<LPCWSTR>(endpoint.c_str()));
  }
}

void FakeCoreAudio::stop_service(ServiceStop stop) {
  State& state = *state_;
  std::lock_guard delivering(state.delivery);
  std::vector<ComPtr<IAudioSessionEvents>> sessions;
  {
    std::lock_guard guard(state.lock);
    state.service_down = true;
    state.gone_outcome = returns(stop.answer);
    // The audio service's objects, and the endpoint side's (IMM...) when it goes too.
    for (const auto& [name, object] : state.objects) {
      if (name.starts_with("IAudioSession") || (stop.enumerator_too && name.starts_with("IMM"))) {
        state.gone.insert(object.get());
      }
    }
    for (ScriptedEndpoint& endpoint : state.script.endpoints) endpoint.sessions.clear();
    for (const auto& [instance, sink] : state.events_sinks) sessions.emplace_back(sink);
    for (const auto& [instance, sink] : state.events_sinks) sink->Release();
    for (const auto& [endpoint, sink] : state.session_sinks) sink->Release();
    state.events_sinks.clear();
    state.session_sinks.clear();
  }
  if (!stop.sessions_told) return;
  for (const auto& sink : sessions) sink->OnSessionDisconnected(DisconnectReasonServerShutdown);
}

void FakeCoreAudio::start_service() {
  std::lock_guard guard(state_->lock);
  state_->service_down = false;
}

ComPtr<IAudioSessionControl> FakeCoreAudio::session_control(const std::u16string& instance) {
  std::lock_guard guard(state_->lock);
  for (const ScriptedEndpoint& endpoint : state_->script.endpoints) {
    for (std::size_t index = 0; index < endpoint.sessions.size(); ++index) {
      if (instance_of(endpoint, index) == instance) return make_session(*state_, endpoint, index);
    }
  }
  return nullptr;
}

std::vector<ComPtr<IAudioSessionEvents>> FakeCoreAudio::events_sinks(
    const std::u16string& instance) const {
  return state_->sinks_for(state_->events_sinks, instance);
}

std::vector<ComPtr<IAudioSessionNotification>> FakeCoreAudio::session_sinks(
    const std::u16string& endpoint) const {
  return state_->sinks_for(state_->session_sinks, endpoint);
}

IMMNotificationClient* FakeCoreAudio::notification_client() const {
  std::lock_guard lock(state_->client_mutex);
  return state_->client;
}

std::jthread FakeCoreAudio::notify(std::function<void(IMMNotificationClient&)> notify) const {
  return std::jthread([&state = *state_, notify = std::move(notify)] {
    std::lock_guard lock(state.client_mutex);
    if (state.client != nullptr) notify(*state.client);
  });
}

}  // namespace kolvex::win
