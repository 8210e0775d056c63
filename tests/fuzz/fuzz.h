// SPDX-License-Identifier: MIT
// What the fuzz targets share. Each target is one LLVMFuzzerTestOneInput; it
// builds either with libFuzzer (scripts/fuzz.sh) or, for the test suite, with
// replay_main.cc, which feeds it every file of its committed corpus.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

// An invariant of the code under test. A broken one aborts, which libFuzzer
// reports as a crash with the input that caused it and a replay run reports
// as a failed test.
#define FUZZ_CHECK(condition)                                                       \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      abort();                                                                      \
    }                                                                               \
  } while (0)

namespace fuzz {

// The input read as a script: a byte at a time or a run of bytes, with
// zeros once it is used up, so every input is a complete script.
struct script {
  const uint8_t *data;
  size_t size;
  size_t pos = 0;

  bool done() const { return pos >= size; }
  uint8_t byte() { return pos < size ? data[pos++] : 0; }
  // Up to `n` bytes from here; sets `*got` to how many there were.
  const uint8_t *take(size_t n, size_t *got)
  {
    const uint8_t *from = data + pos;
    *got = n < size - pos ? n : size - pos;
    pos += *got;
    return from;
  }
};

}  // namespace fuzz
