// Stands in for an application in tests. It waits for the process whose id it is given (the
// test) to end, so that a crashed test leaves nothing running; at most ten minutes.
#include <windows.h>

#include <cstdlib>

int main(int argc, char** argv) {
  constexpr DWORD MOST_MS = 10 * 60 * 1000;
  const DWORD parent = argc > 1 ? static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10)) : 0;
  HANDLE process = parent != 0 ? OpenProcess(SYNCHRONIZE, FALSE, parent) : nullptr;
  if (process == nullptr) {
    Sleep(MOST_MS);
    return 0;
  }
  WaitForSingleObject(process, MOST_MS);
  CloseHandle(process);
  return 0;
}
