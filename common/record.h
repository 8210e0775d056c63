// Records are allocated zero-filled and released by their _close functions.
// calloc and free keep the programs free of the C++ runtime library: nothing
// here needs more than the C library.
#pragma once

#include <cstdlib>
#include <new>
#include <type_traits>

/// Returns a zero-filled, value-initialised T, or nullptr when memory runs out.
template <typename T>
T *record_alloc()
{
  static_assert(std::is_trivially_destructible<T>::value, "records hold no owning members");
  void *memory = calloc(1, sizeof(T));
  return memory ? new (memory) T() : nullptr;
}

/// Releases what record_alloc returned; nullptr is accepted.
template <typename T>
void record_free(T *record)
{
  free(record);
}
