// ring_read.h - reading back, in a test, what was written into a ring file.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
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

// One channel of a waveform packet read back.
struct RingChannel {
  std::string net, sta, chan, loc, segtype;
  double time, samprate, calib, calper;
  std::vector<int32_t> samples;
};

// A waveform packet read back: its source name, time and channels.
struct RingWaveform {
  std::string srcname;
  double time;
  std::vector<RingChannel> chans;
};

// Every packet the connection can reap now, decoded; each must be a waveform packet.
inline std::vector<RingWaveform> ring_take_waveforms(int orb) {
  std::vector<RingWaveform> out;
  for (const RingPacket &r : ring_take(orb)) {
    Packet *pkt = nullptr;
    EXPECT_EQ(unstuffPkt(r.srcname.c_str(), r.time, r.bytes.data(), (int)r.bytes.size(), &pkt),
              Pkt_wf)
        << r.srcname;
    RingWaveform w{r.srcname, r.time, {}};
    for (int i = 0; pkt != nullptr && i < pkt->nchannels; i++) {
      auto *pc = static_cast<PktChannel *>(gettbl(pkt->channels, i));
      w.chans.push_back({pc->net, pc->sta, pc->chan, pc->loc, pc->segtype, pc->time, pc->samprate,
                         pc->calib, pc->calper,
                         std::vector<int32_t>(pc->data, pc->data + pc->nsamp)});
    }
    freePkt(pkt);
    out.push_back(w);
  }
  return out;
}
