// ringtool.cpp - main of the ring tool: signal handling around ringtool_run.
//
// For `follow` and `status`, SIGINT, SIGTERM and SIGHUP are blocked in every thread and
// taken by a signal thread, which ends the follow (or the repeated status) through
// ringtool_stop (closing its connection wakes the blocked reap), so that an interrupted
// follow exits with status 0.
#include "ringtool.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <thread>

#include "base/elog.h"

int main(int argc, char **argv) {
  elog_init(argc, argv);
  if (argc > 1 && (strcmp(argv[1], "follow") == 0 || strcmp(argv[1], "status") == 0)) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread([set] {
      int sig = 0;
      sigwait(&set, &sig);
      ringtool_stop();
    }).detach();
  }
  int status = ringtool_run(argc, argv, stdout);
  fflush(stdout);
  return status;
}
