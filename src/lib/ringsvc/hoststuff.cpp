// hoststuff.cpp - host and ring-server texts.
#include "hoststuff.h"

#include <cstdio>

#include "base/elog.h"
#include "ring/orb.h"
#include "support/hostid.h"

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
