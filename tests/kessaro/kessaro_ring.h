// kessaro_ring.h - reading back, in a test, what was written into a ring file.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "base/tbl.h"
#include "packet/pkt.h"
#include "ring/orb.h"

struct RingPacket {
  std::string srcname;
  double time = 0.0;
  std::string bytes;
};

// Every packet the connection can reap now, oldest first; ends when none is waiting
// (anything else is a test failure).
inline std::vector<RingPacket> ring_take(int orb) {
  std::vector<RingPacket> out;
  char *bytes = nullptr;
  int bufsize = 0;
  for (;;) {
    int id = 0, nbytes = 0;
    char src[ORBSRCNAME_SIZE];
    double time = 0.0;
    int r = orbreap_nd(orb, &id, src, &time, &bytes, &nbytes, &bufsize);
    if (r != 0) {
      EXPECT_EQ(r, -2) << "orbreap_nd";
      break;
    }
    out.push_back({src, time, std::string(bytes, (size_t)nbytes)});
  }
  free(bytes);
  return out;
}

// Reaps every packet waiting, decodes it and calls `each` for every channel of every
// waveform packet; a packet that does not decode is a test failure.
inline void ring_each_waveform(int orb, const std::function<void(const PktChannel *)> &each) {
  for (RingPacket &rp : ring_take(orb)) {
    Packet *pkt = nullptr;
    int kind = unstuffPkt(rp.srcname.c_str(), rp.time, rp.bytes.data(), (int)rp.bytes.size(), &pkt);
    EXPECT_GT(kind, 0) << rp.srcname;
    if (kind == Pkt_wf && pkt != nullptr) {
      for (long c = 0; c < maxtbl(pkt->channels); c++)
        each(static_cast<const PktChannel *>(gettbl(pkt->channels, c)));
    }
    freePkt(pkt);
  }
}
