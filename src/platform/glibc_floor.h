// glibc 2.35's dl_find_object, which the release builds for Linux define for glibc 2.31
// (glibc_floor.cc); declared here so that a test can ask it and glibc's own the same question.
#pragma once

#include <cstddef>

#if !defined(__x86_64__) && !defined(__aarch64__)
#error "struct dl_find_object has further members on this architecture"
#endif

// The layout on x86-64 and AArch64, where it has no dlfo_eh_dbase or dlfo_eh_count.
struct dl_find_object {
  unsigned long long flags;
  void* map_start;
  void* map_end;
  void* link_map;
  void* eh_frame;
  unsigned long long reserved[7];
};
static_assert(sizeof(dl_find_object) == 96 && offsetof(dl_find_object, eh_frame) == 32);

extern "C" [[gnu::visibility("hidden")]] int _dl_find_object(void* pc, dl_find_object* result);
