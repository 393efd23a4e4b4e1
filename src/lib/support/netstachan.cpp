#include "support/netstachan.h"

int split_netstachanloc(const char *text, std::string &net, std::string &sta, std::string &chan,
                        std::string &loc) {
  std::string *parts[4] = {&net, &sta, &chan, &loc};
  for (std::string *p : parts) p->clear();
  int i = 0;
  for (const char *p = text ? text : ""; *p; ++p) {
    if (*p == '_' && i < 3) {
      i++;
    } else {
      *parts[i] += *p;
    }
  }
  return 0;
}
