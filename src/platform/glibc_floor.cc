// Linked into every program of the release builds for Linux, which are built by GCC 12 against
// glibc 2.31 with GCC's libstdc++ and libgcc linked in statically. Those archives were compiled
// against a newer glibc and name three of its later additions; here each gets a definition made
// of what glibc 2.31 has, so the programs start on any glibc from 2.31 on. The definitions stay
// inside the program: no library it loads was linked against them.
#include "glibc_floor.h"

#include <errno.h>
#include <link.h>
#include <stdlib.h>
#include <sys/random.h>

#include <cstdint>

namespace {

struct Search {
  std::uintptr_t pc;
  dl_find_object* found;
};

// The loaded object whose segments hold search->pc: its extent and its PT_GNU_EH_FRAME.
int find_in(dl_phdr_info* info, size_t, void* data) {
  auto* search = static_cast<Search*>(data);
  std::uintptr_t start = UINTPTR_MAX, end = 0;
  void* eh_frame = nullptr;
  bool holds_pc = false;
  for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = info->dlpi_phdr[i];
    std::uintptr_t begin = info->dlpi_addr + segment.p_vaddr;
    if (segment.p_type == PT_LOAD) {
      start = begin < start ? begin : start;
      end = begin + segment.p_memsz > end ? begin + segment.p_memsz : end;
      holds_pc = holds_pc || (search->pc >= begin && search->pc - begin < segment.p_memsz);
    } else if (segment.p_type == PT_GNU_EH_FRAME) {
      eh_frame = reinterpret_cast<void*>(begin);
    }
  }
  if (!holds_pc) return 0;
  *search->found = dl_find_object{};
  search->found->map_start = reinterpret_cast<void*>(start);
  search->found->map_end = reinterpret_cast<void*>(end);
  search->found->eh_frame = eh_frame;
  return 1;
}

}  // namespace

// Hidden, so that they are not exported: a library with a definition of its own (libbsd has
// arc4random) keeps it.
extern "C" {

// libstdc++ asks whether the process has one thread, to skip atomic operations; "no" is always
// safe.
[[gnu::visibility("hidden")]] char __libc_single_threaded = 0;

// The unwinder finds a frame's unwind tables through this (glibc 2.35), with no fallback of its
// own; dl_iterate_phdr, which older unwinders used, finds the same tables. Unlike glibc's, it
// takes the loader's lock, so no signal handler may throw.
[[gnu::visibility("hidden")]] int _dl_find_object(void* pc, dl_find_object* result) {
  Search search{reinterpret_cast<std::uintptr_t>(pc), result};
  return dl_iterate_phdr(find_in, &search) ? 0 : -1;
}

// One of std::random_device's sources (glibc 2.36). Like glibc's, it never fails: no entropy is
// a fatal error.
[[gnu::visibility("hidden")]] std::uint32_t arc4random() {
  std::uint32_t value = 0;
  for (;;) {
    ssize_t got = getrandom(&value, sizeof value, 0);
    if (got == static_cast<ssize_t>(sizeof value)) return value;
    if (got < 0 && errno != EINTR) abort();
  }
}
}
