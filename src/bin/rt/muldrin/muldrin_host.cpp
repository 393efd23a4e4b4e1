// muldrin_host.cpp - version texts, host and ring-server texts, small process helpers.
#include "muldrin_host.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "base/elog.h"
#include "ring/orb.h"
#include "support/hostid.h"

#ifndef MULDRIN_RELEASE
#define MULDRIN_RELEASE "0.1"
#endif
#ifndef MULDRIN_SYSTEM
#define MULDRIN_SYSTEM "Linux"
#endif

const char *const Muldrin_Release = MULDRIN_RELEASE;
const char *const Muldrin_Os = "Linux";
const char *const Muldrin_Time = __TIME__;
const char *const Muldrin_Date = __DATE__;
const char *const Muldrin_Version = "Release " MULDRIN_RELEASE " " MULDRIN_SYSTEM " " __DATE__ " ";

int my_gethoststuff(int orb, char *hostname, char *orbname, size_t hostname_size,
                    size_t orbname_size) {
  if (hostname != nullptr && hostname_size > 0) {
    char host[HOSTID_NAME_SIZE] = "";
    char dotted[HOSTID_DOTTED_SIZE] = "0.0.0.0";
    unsigned address = 0;
    if (my_ip(host, dotted, &address) < 0) elog_complain(0, "my_gethoststuff: my_ip() error.\n");
    snprintf(hostname, hostname_size, "%s %s", host, dotted);
  }
  if (orbname != nullptr && orbname_size > 0) {
    snprintf(orbname, orbname_size, "-");
    Orbstat st{};
    if (orb >= 0) {
      if (orbstat(orb, &st) < 0) {
        elog_complain(0, "my_gethoststuff: orbstat() error.\n");
      } else {
        snprintf(orbname, orbname_size, "%u.%u.%u.%u:%u", st.address[0], st.address[1],
                 st.address[2], st.address[3], static_cast<unsigned>(st.port));
      }
    }
  }
  return 0;
}

int pfnotify(Pf *pf) {
  char *text = pf2string(pf);
  if (text == nullptr) return -1;
  elog_notify(0, "%s\n", text);
  free(text);
  return 0;
}

void muldrin_ignore(int) {}

int ignoreSIGALRM(void) {
  struct sigaction sa {};
  sa.sa_handler = muldrin_ignore;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  if (sigaction(SIGALRM, &sa, nullptr) < 0)
    elog_die(1, "Unexpected failure: file %s, line %d\n", "muldrin", __LINE__);
  return 0;
}
