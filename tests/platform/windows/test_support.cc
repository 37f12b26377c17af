#include "test_support.h"

#include <objbase.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>

#include "output/json_text.h"
#include "platform/windows/com_runtime.h"
#include "platform/windows/windows_audio_platform.h"

namespace kolvex::win {

ComThread::ComThread() {
  Status com = initialize_com();
  if (!com.ok()) failure_ = com.error().chained_text();
}

ComThread::~ComThread() {
  // The thread's COM error information outlives the apartment: a test that leaves some behind
  // would hand it to the next failure of whichever test runs next.
  SetErrorInfo(0, nullptr);
  if (failure_.empty()) CoUninitialize();
}

std::string utf8(std::wstring_view text) {
  if (text.empty()) return {};
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), length,
                      nullptr, nullptr);
  return bytes;
}

bool running_under_wine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

void run_with_reader_gone(CoreAudioScript script) {
  HANDLE reader = nullptr, writer = nullptr;
  if (!CreatePipe(&reader, &writer, nullptr, 0)) std::_Exit(2);
  CloseHandle(reader);
  SetStdHandle(STD_OUTPUT_HANDLE, writer);
  FakeCoreAudio fake(std::move(script));
  fake.echo_calls(stderr);
  auto platform = make_windows_audio_platform();
  (void)run_detector(*platform);
  std::_Exit(3);
}

std::string system_text(HRESULT status) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, static_cast<DWORD>(status), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text(buffer != nullptr ? buffer : L"", length);
  LocalFree(buffer);
  while (!text.empty() && (text.back() == L' ' || (text.back() >= L'\t' && text.back() <= L'\r'))) {
    text.pop_back();
  }
  return utf8(text);
}

std::string expected_text(HRESULT status) {
  char code[16];
  std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
  const std::string message = system_text(status);
  return message.empty() ? code : message + " (" + code + ")";
}

void LineRecorder::emit(const JsonValue& event) {
  JsonValue line = event;
  if (const JsonObject* object = event.as_object()) {
    const JsonValue* ts = object->find("ts");
    if (ts != nullptr && std::holds_alternative<double>(ts->storage())) {
      JsonObject masked = *object;
      masked.insert("ts", "<ts>");
      line = std::move(masked);
    }
  }
  lines.push_back(to_compact_text(line));
  times.push_back(std::chrono::steady_clock::now());
}

void LineRecorder::report_poll_failure(const ErrorValue& error) {
  lines.push_back("stderr: " + error.chained_text());
  times.push_back(std::chrono::steady_clock::now());
}

std::vector<std::string> LineRecorder::lifecycle_lines() const {
  std::vector<std::string> found;
  for (const std::string& line : lines) {
    if (line.find(R"("type":"device_lifecycle")") != std::string::npos) found.push_back(line);
  }
  return found;
}

}  // namespace kolvex::win
