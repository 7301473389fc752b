// Built only under the thread sanitizer, whose runtime defines
// AnnotateBenignRaceSized itself. The library declares its two racy cells
// at load through the dynamic symbol table, so the declarations reach the
// race detector. This program stands in front of the runtime to record them
// on their way, passes each one on, and then shows that the detector took
// them: unsynchronised accesses to the declared cells are not reported,
// while the same accesses to an undeclared variable are.

#include <dlfcn.h>
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>


namespace {

struct Declaration {
  const char* file;
  int line;
  const volatile void* address;
  size_t size;
};

// Zero-initialised storage: the library's constructors record into it
// before any constructor of this program has run.
Declaration g_declarations[8];
std::atomic<int> g_count;

using AnnotateFn = void (*)(const char*, int, const volatile void*, size_t,
                            const char*);

AnnotateFn RuntimeAnnotate() {
  return reinterpret_cast<AnnotateFn>(dlsym(RTLD_NEXT, "AnnotateBenignRaceSized"));
}

}  // namespace

extern "C" void AnnotateBenignRaceSized(const char* file, int line,
                                        const volatile void* address,
                                        size_t size, const char* description) {
  const int i = g_count.fetch_add(1);
  if (i < 8) g_declarations[i] = {file, line, address, size};
  if (const AnnotateFn next = RuntimeAnnotate()) {
    next(file, line, address, size, description);
  }
}

namespace {

const int kDeclaredAtLoad = g_count.load();

// Two threads with nothing ordering them: one writes the 64 bits at the
// address again and again, the other reads them.
void RaceOn(volatile uint64_t* cell) {
  const uint64_t saved = *cell;
  std::thread writer([cell, saved] {
    for (int i = 0; i < 1000; ++i) *cell = saved;
  });
  std::thread reader([cell] {
    uint64_t sink = 0;
    for (int i = 0; i < 1000; ++i) sink += *cell;
    (void)sink;
  });
  writer.join();
  reader.join();
}

TEST(TsanDeclarations, TheRuntimeDefinesTheEntryPointTheLibraryCalls) {
  const AnnotateFn next = RuntimeAnnotate();
  ASSERT_NE(next, nullptr);
  Dl_info info;
  ASSERT_NE(dladdr(reinterpret_cast<void*>(next), &info), 0);
  EXPECT_NE(std::string(info.dli_fname).find("libtsan"), std::string::npos)
      << info.dli_fname;
  // The library's two load-time declarations came through the dynamic
  // symbol table, past this program, to the runtime.
  ASSERT_EQ(kDeclaredAtLoad, 2);
  bool drift = false, epoch = false;
  for (int i = 0; i < kDeclaredAtLoad; ++i) {
    const std::string file = g_declarations[i].file;
    drift |= file == "java/com/vornix/common/unix/base/walltime.cc" &&
             g_declarations[i].line == 24;
    epoch |= file == "java/com/vornix/common/unix/varnok_jni.cc" &&
             g_declarations[i].line == 39;
    EXPECT_EQ(g_declarations[i].size, 8u);
  }
  EXPECT_TRUE(drift);
  EXPECT_TRUE(epoch);
}

TEST(TsanDeclarations, RacesOnTheDeclaredCellsAreNotReported) {
  // A report would end this program with the detector's exit code.
  ASSERT_EQ(kDeclaredAtLoad, 2);
  for (int i = 0; i < kDeclaredAtLoad; ++i) {
    RaceOn(static_cast<volatile uint64_t*>(
        const_cast<volatile void*>(g_declarations[i].address)));
  }
}

uint64_t g_undeclared;

TEST(TsanDeclarations, TheSameRaceOnAnUndeclaredCellIsReported) {
  // The control: proves the detector is watching these accesses at all.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        RaceOn(&g_undeclared);
        exit(0);
      },
      ::testing::ExitedWithCode(66), "ThreadSanitizer: data race");
}

}  // namespace
