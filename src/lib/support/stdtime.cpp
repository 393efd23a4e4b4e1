// stdtime.cpp - time, signal names, signal waits and the one-shot timer.
#include "support/stdtime.h"

#include <sys/time.h>

#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "base/clock.h"
#include "base/elog.h"
#include "base/signals.h"

double std_now(void) { return clock_now(); }

void myusleep(double sec) {
  if (!std::isfinite(sec) || sec <= 0) return;
  clock_sleep(sec);
}
double now_(void) { return clock_now(); }

namespace {

// The listed rows of the signal table, named without their "SIG".
constexpr size_t listed_count() {
  size_t n = 0;
  for (const Signal_row &row : signal_table) n += row.listed;
  return n;
}
constexpr std::array<Signame, listed_count()> listed_names() {
  std::array<Signame, listed_count()> list{};
  size_t n = 0;
  for (const Signal_row &row : signal_table)
    if (row.listed) list[n++] = {row.info.name + 3, row.info.sig};
  return list;
}
constexpr std::array<Signame, listed_count()> kSiglist = listed_names();

}  // namespace

const Signame *const Siglist = kSiglist.data();
const int Nsig = (int)kSiglist.size();

int str2sig(const char *name, int *number) {
  if (!name) return -1;
  if (std::strncmp(name, "SIG", 3) == 0) name += 3;
  for (int k = 0; k < Nsig; ++k) {
    if (std::strcmp(name, Siglist[k].name) == 0) {
      if (number) *number = Siglist[k].sig;
      return 0;
    }
  }
  return -1;
}

int sig2str(int number, char *name) {
  for (int k = 0; k < Nsig; ++k) {
    if (Siglist[k].sig == number) {
      std::snprintf(name, SIG2STR_MAX, "SIG%s", Siglist[k].name);
      return 0;
    }
  }
  return -1;
}

int std_sigwait(const sigset_t *set) {
  int sig = 0;
  if (sigwait(set, &sig) != 0) return -1;
  return sig;
}

int std_set_timer(void (*handler)(int), double seconds) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = handler;
  if (sigaction(SIGALRM, &action, nullptr) != 0)
    elog_die(1, "std_set_timer: can't install the SIGALRM handler\n");

  itimerval old{};
  if (getitimer(ITIMER_REAL, &old) != 0) {
    elog_log(1, "std_set_timer: getitimer fails\n");
    return -1;
  }

  // The timer runs for the real time that `seconds` of clock time last (the same in
  // production). Zero would disarm the timer, so anything shorter than the timer's
  // resolution (and a NaN or a negative value) arms the shortest one.
  double real = clock_real_seconds(seconds);
  itimerval value{};
  constexpr double max_seconds = (double)std::numeric_limits<time_t>::max();
  if (!(real >= 1e-6)) {
    value.it_value.tv_usec = 1;
  } else if (real >= max_seconds) {
    value.it_value.tv_sec = std::numeric_limits<time_t>::max();
  } else {
    double whole = std::floor(real);
    value.it_value.tv_sec = (time_t)whole;
    value.it_value.tv_usec = (suseconds_t)((real - whole) * 1000000.0);
    if (value.it_value.tv_sec == 0 && value.it_value.tv_usec == 0) value.it_value.tv_usec = 1;
  }
  if (setitimer(ITIMER_REAL, &value, nullptr) != 0) {
    elog_log(1, "std_set_timer: setitimer fails\n");
    return -1;
  }
  return 0;
}

void ignoreSIGPIPE(void) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = SIG_IGN;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGPIPE, &action, nullptr) != 0)
    elog_die(1, "Unexpected failure: file %s, line %d\n", __FILE__, __LINE__);
}

void ignore(int) {}

int ignoreSIGALRM(void) {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = ignore;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (sigaction(SIGALRM, &action, nullptr) < 0)
    elog_die(1, "Unexpected failure: file %s, line %d\n", __FILE__, __LINE__);
  return 0;
}
