// SPDX-License-Identifier: MIT
// Records are allocated zero-filled and released by their _close functions.
// calloc and free keep the programs free of the C++ runtime library: nothing
// here needs more than the C library.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

/// Returns a zero-filled, value-initialised T, or nullptr when memory runs out.
/// A record that asks for more alignment than malloc gives (one that holds
/// cache-line-aligned slots) gets it.
template <typename T>
T *record_alloc()
{
  static_assert(std::is_trivially_destructible<T>::value, "records hold no owning members");
  void *memory = nullptr;
  if (alignof(T) > alignof(std::max_align_t)) {
    if (posix_memalign(&memory, alignof(T), sizeof(T)) != 0)
      return nullptr;
    memset(memory, 0, sizeof(T));
  } else {
    memory = calloc(1, sizeof(T));
  }
  return memory ? new (memory) T() : nullptr;
}

/// Releases what record_alloc returned; nullptr is accepted.
template <typename T>
void record_free(T *record)
{
  free(record);
}
