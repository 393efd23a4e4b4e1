// altussim_poc.cpp - the point-of-contact writer: the packet is made and stuffed by the
// project's packet library and put through its ring library, as any writer of the ring
// would.
#include "altussim_poc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/pf.h"
#include "packet/pkt.h"
#include "ring/orb.h"

int altussim_write_poc(const std::string &ring, const std::string &srcname,
                       const std::string &srcip,
                       const std::vector<std::pair<std::string, std::string>> &keys, double time) {
  std::string text = "srcip " + srcip + "\n";
  for (const auto &[k, v] : keys) text += k + " " + v + "\n";
  Packet *pkt = newPkt();
  pkt->pkttype = suffix2pkttype("pf");
  if (pfcompile(text.c_str(), &pkt->pf) != 0) {
    fprintf(stderr, "altussim_write_poc: cannot compile '%s'\n", text.c_str());
    freePkt(pkt);
    return -1;
  }
  char *buf = nullptr;
  int nbytes = 0, bufsize = 0;
  int rc = stuffPkt(pkt, nullptr, nullptr, &buf, &nbytes, &bufsize);
  freePkt(pkt);
  if (rc != 0) {
    fprintf(stderr, "altussim_write_poc: cannot stuff the packet\n");
    free(buf);
    return -1;
  }
  int orb = orbopen(ring.c_str(), "w");
  if (orb < 0) {
    fprintf(stderr, "altussim_write_poc: cannot open ring '%s'\n", ring.c_str());
    free(buf);
    return -1;
  }
  rc = orbput(orb, srcname.c_str(), time, buf, nbytes);
  orbclose(orb);
  free(buf);
  if (rc != 0) {
    fprintf(stderr, "altussim_write_poc: cannot write to ring '%s'\n", ring.c_str());
    return -1;
  }
  return 0;
}
