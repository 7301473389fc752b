// The native side of com.vornix.common.unix.bench.CounterFloor: one counter
// read and nothing else, so that a Java benchmark can tell the cost of a JNI
// call from the cost of the work behind it.

#include <jni.h>
#include <stdint.h>

#include "com_vornix_common_unix_bench_CounterFloor.h"

JNIEXPORT jlong JNICALL
Java_com_vornix_common_unix_bench_CounterFloor_rdtsc(JNIEnv*, jclass) {
  uint32_t lo, hi;
  __asm__ __volatile__("rdtsc" : "=a"(lo), "=d"(hi));
  return static_cast<jlong>(static_cast<uint64_t>(hi) << 32 | lo);
}
