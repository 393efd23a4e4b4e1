// namemap.cpp - SEED network, station, channel and location codes to the station and
// channel names of a site database. The station keeps its code; the channel is the
// channel code, with "_" and the location code appended when there is one. A name
// longer than the room for it is refused, never cut: a cut name could name another
// channel.
#include <cstring>
#include <string>

#include "science/science.h"

namespace {

int put(const std::string &name, char *out) {
  if (name.size() >= CSS_NAME_SIZE) {
    out[0] = '\0';
    return -1;
  }
  memcpy(out, name.c_str(), name.size() + 1);
  return 0;
}

}  // namespace

int finit_db(Dbptr) { return 0; }

int map_seed_netsta(const char *net, const char *sta, char *css_sta) {
  return put(sta ? sta : "", css_sta);
}

int map_seed_chanloc(const char *css_sta, const char *chan, const char *loc, char *css_chan) {
  std::string name = chan ? chan : "";
  if (loc && *loc) name += std::string("_") + loc;
  return put(name, css_chan);
}
