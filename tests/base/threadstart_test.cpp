// The thread starter: stacks of the configured size with a guard page, and the deepest
// parameter-file parse fits the stacks of the threads that parse parameter files.
#include "base/threadstart.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "base/pf.h"
#include "testkit/testkit.h"

namespace {

struct Seen {
  size_t stack = 0;
  size_t guard = 0;
  int detached = -1;
};

void *look(void *arg) {
  auto *seen = static_cast<Seen *>(arg);
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) == 0) {
    void *addr = nullptr;
    pthread_attr_getstack(&attr, &addr, &seen->stack);
    pthread_attr_getguardsize(&attr, &seen->guard);
    pthread_attr_getdetachstate(&attr, &seen->detached);
    pthread_attr_destroy(&attr);
  }
  return nullptr;
}

TEST(ThreadStart, EveryKindGetsItsOwnStackNeverTheDefault) {
  for (int k = 0; k < THREAD_KIND_COUNT; k++) {
    auto kind = static_cast<ThreadKind>(k);
    SCOPED_TRACE(threadstart_kind_name(kind));
    size_t want = threadstart_stack_size(kind);
    EXPECT_GE(want, 64u * 1024);
    EXPECT_LT(want, 8u * 1024 * 1024);
    Seen seen;
    pthread_t tid;
    ASSERT_EQ(threadstart_create(&tid, kind, look, &seen), 0);
    pthread_join(tid, nullptr);
    // A sanitizer runtime may raise a small stack to its own minimum, never to the default.
    EXPECT_GE(seen.stack, want);
    EXPECT_LT(seen.stack, 8u * 1024 * 1024);
    EXPECT_GT(seen.guard, 0u);
    EXPECT_EQ(seen.detached, PTHREAD_CREATE_JOINABLE);
  }
}

TEST(ThreadStart, MeasuresTheDepthOfARecursion) {
  // A call chain of 40 frames of more than 1 KiB each must be measured as most of that
  // (frames differ between targets; the measure is exact to a few hundred bytes).
  std::function<void(int)> deep = [&](int n) {
    volatile char frame[1024];
    frame[0] = (char)n;
    if (n > 0) deep(n - 1);
    frame[1] = frame[0];
  };
  long shallow = run_on_thread_stack(THREAD_SMALL, [] {});
  long used = run_on_thread_stack(THREAD_SMALL, [&] { deep(40); });
  ASSERT_GE(shallow, 0);
  EXPECT_GT(used - shallow, 36 * 1024);
}

// The deepest parameter file the parser takes: blocks nested to its limit, inside each a
// table and long values.
std::string deepest_pf() {
  std::string text;
  for (int i = 0; i < PF_MAX_DEPTH - 1; i++) text += "k" + std::to_string(i) + " &Arr{\n";
  text += "t &Tbl{\n" + std::string(4000, 'x') + "\n}\n";
  for (int i = 0; i < PF_MAX_DEPTH - 1; i++) text += "}\n";
  return text;
}

TEST(ThreadStart, DeepestParameterFileParseFitsEveryParsingThread) {
  std::string text = deepest_pf();
  for (ThreadKind kind :
       {THREAD_POCD, THREAD_STATUS, THREAD_Q330_CONTROL, THREAD_ALTUS_LINK, THREAD_RING_WORKER}) {
    SCOPED_TRACE(threadstart_kind_name(kind));
    int rc = -2;
    long peak = run_on_thread_stack(kind, [&] {
      Pf *pf = nullptr;
      rc = pfcompile(text.c_str(), &pf);
      Pf *copy = pfdup(pf);
      free(pf2string(copy));
      pffree(copy);
      pffree(pf);
    });
    EXPECT_EQ(rc, 0);
    ASSERT_GT(peak, 0);
    EXPECT_LT((size_t)peak, threadstart_stack_size(kind) / 2);
    RecordProperty(std::string("peak_") + threadstart_kind_name(kind), std::to_string(peak));
  }
}

}  // namespace
