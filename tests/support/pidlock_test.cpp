// The start-up lock of a state or process-id file, between two processes: the second one
// is refused and told the holder's id, the holder's id stays in the file, and the lock
// ends with its holder.
#include "support/pidlock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "base/elog.h"
#include "testkit/testkit.h"

namespace {

TEST(Pidlock, SecondProcessIsRefusedAndToldTheHolder) {
  TempDir dir;
  const std::string path = dir.file("state.lock");
  int up[2], done[2];
  ASSERT_EQ(pipe(up), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t holder = fork();
  if (holder == 0) {
    close(up[0]);
    close(done[1]);
    long other = 0;
    char c = pidlock_take(path.c_str(), &other) == PIDLOCK_TAKEN ? 'y' : 'n';
    if (write(up[1], &c, 1) != 1) _exit(2);
    if (read(done[0], &c, 1) < 0) _exit(3);  // holds the lock until the parent is done
    _exit(0);
  }
  close(up[1]);
  close(done[0]);
  char c = 0;
  ASSERT_EQ(read(up[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');

  long other = 0;
  EXPECT_EQ(pidlock_take(path.c_str(), &other), PIDLOCK_HELD);
  EXPECT_EQ(other, static_cast<long>(holder));
  EXPECT_EQ(read_file(path), std::to_string(holder)) << "the holder's id stays";

  close(done[1]);  // the holder ends, and its lock with it
  int status = 0;
  ASSERT_EQ(waitpid(holder, &status, 0), holder);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(pidlock_take(path.c_str(), &other), PIDLOCK_TAKEN);
  EXPECT_EQ(read_file(path), std::to_string(getpid()));
  close(up[0]);
}

TEST(Pidlock, AFileThatCannotBeMadeIsReported) {
  TempDir dir;
  long other = -1;
  EXPECT_EQ(pidlock_take(dir.file("no/such/folder/x.pid").c_str(), &other), PIDLOCK_NOFILE);
  EXPECT_EQ(other, 0);
  EXPECT_NE(take_registered().find("pidlock_take: can't open"), std::string::npos);
}

}  // namespace
