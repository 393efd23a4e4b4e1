// kessaro_e2e_kit.h - what kessaro's end-to-end tests share: the simulator's stream time
// origin, a free loopback TCP port, a clean stop, edits of the example parameter file,
// and the stream samples a ring holds.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cmath>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "altussim_block.h"
#include "base/tbl.h"
#include "packet/pkt.h"
#include "testkit/e2e_process.h"
#include "testkit/ring_read.h"

namespace kes_e2e {

// The simulator's stream sample 0, epoch seconds.
inline constexpr double kT0 = 315532800.0 + 1000000.0;

// A loopback TCP port free just now.
inline int free_port() { return e2e_free_port(SOCK_STREAM); }

// kessaro, stopped by `sig`, ended on its own with exit status 0; its output otherwise.
inline ::testing::AssertionResult stopped_cleanly(pid_t pid, const std::string &out,
                                                  int sig = SIGTERM) {
  const int status = e2e_stop(pid, sig, 60);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "status " << status << "\n" << e2e_read_text(out);
}

// Replaces the one occurrence of `from`; false when there is none.
inline bool replace_once(std::string *s, const std::string &from, const std::string &to) {
  size_t at = s->find(from);
  if (at == std::string::npos) return false;
  s->replace(at, from.size(), to);
  return true;
}

// The word that follows `after` in the text (up to a blank or the line's end).
inline std::string word_after(const std::string &text, const std::string &after) {
  size_t at = text.find(after);
  if (at == std::string::npos) return "";
  at += after.size();
  return text.substr(at, text.find_first_of(" \n", at) - at);
}

#if defined(ALTUSSIM_BIN) && defined(KESSARO_PF)
// altussim serving one K2 (serial 1234, station K1234) as a TCP server on a free port:
// three paced streams of 20-sample packets at 100 samples a second, `buffer` packets kept
// for resends; its output into `out`. *port is where it listens (0 when it did not say so
// within 30 s). Its pid, or -1.
inline pid_t start_stream_sim(const std::string &cwd, const std::string &out, int buffer,
                              int *port) {
  *port = 0;
  pid_t pid = e2e_start(
      {ALTUSSIM_BIN, "-tcpserver", "0", "-serial", "1234", "-station", "K1234", "-model", "K2",
       "-streams", "3:20:100:30", "-paced", "-streambuffer", std::to_string(buffer)},
      cwd, out);
  if (pid > 0 && e2e_wait_text(out, "listening on 127.0.0.1:", 1, 30))
    *port = atoi(word_after(e2e_read_text(out), "listening on 127.0.0.1:").c_str());
  return pid;
}

// The example parameter file with its TCP-client link pointed at the simulator's `port`
// and its TCP server on a free port; empty when the example no longer has those lines.
inline std::string example_pf(int port) {
  std::string pf = e2e_read_text(KESSARO_PF);
  if (!replace_once(&pf, "127.0.0.1:5001", "127.0.0.1:" + std::to_string(port)) ||
      !replace_once(&pf, "tcpserver none yes no  default 5002",
                    "tcpserver none yes no  default " + std::to_string(free_port())))
    return "";
  return pf;
}
#endif

// Every packet of the ring file, oldest first.
inline std::vector<RingPacket> ring_read_all(const std::string &path) {
  int orb = orbopen(path.c_str(), "r");
  EXPECT_GE(orb, 0);
  if (orb < 0) return {};
  orbseek(orb, ORBOLDEST);
  std::vector<RingPacket> all = ring_take(orb);
  orbclose(orb);
  return all;
}

// The samples of one stream channel found in a ring.
struct Channel {
  std::map<long, int> seen;  // sample index -> how often
  long wrong = 0;            // samples that differ from the simulator's
  long back = 0;             // packets that start before the end of the one before
  long last_end = -1;
};

// The stream channels named in `index` (channel name -> the simulator's channel number)
// of station `sta` (any when empty) in the ring file; the texts of the other packets are
// appended to *log when it is given.
inline std::map<std::string, Channel> read_channels(const std::string &path,
                                                    const std::map<std::string, int> &index,
                                                    const std::string &sta = "",
                                                    std::string *log = nullptr) {
  std::map<std::string, Channel> out;
  for (const RingPacket &rp : ring_read_all(path)) {
    Packet *pkt = nullptr;
    const int kind =
        unstuffPkt(rp.srcname.c_str(), rp.time, rp.bytes.data(), (int)rp.bytes.size(), &pkt);
    if (kind != Pkt_wf && pkt && pkt->string && log) *log += std::string(pkt->string) + "\n";
    if (kind == Pkt_wf && pkt) {
      for (long c = 0; c < maxtbl(pkt->channels); c++) {
        auto *pc = static_cast<PktChannel *>(gettbl(pkt->channels, c));
        auto it = index.find(pc->chan);
        if (it == index.end() || (!sta.empty() && sta != pc->sta)) continue;
        Channel &ch = out[pc->chan];
        const long first = lround((pc->time - kT0) * pc->samprate);
        if (first < ch.last_end) ch.back++;
        ch.last_end = first + pc->nsamp;
        for (int j = 0; j < pc->nsamp; j++) {
          ch.seen[first + j]++;
          if (pc->data[j] != altussim::Sim::stream_sample(it->second, (uint32_t)(first + j)))
            ch.wrong++;
        }
      }
    }
    freePkt(pkt);
  }
  return out;
}

}  // namespace kes_e2e
