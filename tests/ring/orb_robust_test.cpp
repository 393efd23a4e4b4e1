// A writer killed while it holds the ring's lock. Left out under qemu-user, which
// does not support the robust futex list: there the dead owner's lock is never handed
// on, and the survivors only get the bounded lock wait's error.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "base/elog.h"
#include "ring/orb.h"
#include "ringtest.h"
#include "testkit/testkit.h"

TEST(OrbRobust, WriterKilledHoldingTheLockDoesNotWedgeTheRing) {
  TempDir dir;
  std::string path = dir.file("ring");
  ASSERT_EQ(orbcreate(path.c_str(), 65536), 0);
  int w = orbopen(path.c_str(), "w");
  int r = orbopen(path.c_str(), "r");
  ASSERT_GE(w, 0);
  ASSERT_GE(r, 0);
  for (int i = 0; i < 3; i++) ASSERT_EQ(put(w, "AA/log", "p" + std::to_string(i)), i);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t child = fork();
  if (child == 0) {
    int cw = orbopen(path.c_str(), "w");
    orbfault_block_puts(fds[1]);
    put(cw, "ZZ/log", "never published");  // blocks with the lock held, half-way
    _exit(0);
  }
  pollfd pfd{fds[0], POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, 10000), 1) << "the child's put did not block";
  char b;
  ASSERT_EQ(read(fds[0], &b, 1), 1);
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status));

  ElogCapture cap;
  EXPECT_EQ(put(w, "AA/log", "p3"), 3) << "the dead writer's packet was never published";
  EXPECT_TRUE(cap.contains("a process died holding the lock of ring")) << cap.text();
  ASSERT_EQ(orbseek(r, ORBOLDEST), 0);
  for (int i = 0; i <= 3; i++) {
    Reaped p = reap(r);
    EXPECT_EQ(p.pktid, i);
    EXPECT_EQ(p.bytes, "p" + std::to_string(i));
  }
  EXPECT_EQ(reap(r).rc, -2);
  close(fds[0]);
  close(fds[1]);
  orbclose(w);
  orbclose(r);
  elog_clear_register(0);
}
