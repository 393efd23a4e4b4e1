// kessaro end to end: altussim serves two dataloggers as a child program, kessaro acquires
// them into a real ring file with the example parameter file (its ports and folders made
// the test's own), and the ring is checked against the simulator's own functions.
//
// K1234 streams three channels over a TCP-client link, the line losing, reordering,
// duplicating and damaging packets and dropping once; E5678 calls in to a TCP-server link
// with two event files waiting. A status command is queued during the stream; kessaro is
// stopped by SIGTERM and started again with its state file, the outage far shorter than
// the simulator's stream buffer.
//
// The children run at real speed; the test waits for them through the clock seam, with
// bounds that only end a run that went wrong.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "altussim_block.h"
#include "altussim_evtwriter.h"
#include "base/tbl.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "ringsvc/dlcmpkt.h"
#include "testkit/e2e_process.h"
#include "testkit/testkit.h"

namespace {

const double kT0 = 315532800.0 + 1000000.0;  // the simulator's stream sample 0, epoch seconds
constexpr int kRate = 100;

// A loopback port free just now.
int free_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, (sockaddr *)&sa, sizeof sa);
  socklen_t len = sizeof sa;
  getsockname(fd, (sockaddr *)&sa, &len);
  close(fd);
  return ntohs(sa.sin_port);
}

void replace_all(std::string *s, const std::string &from, const std::string &to) {
  for (size_t at = s->find(from); at != std::string::npos; at = s->find(from, at + to.size()))
    s->replace(at, from.size(), to);
}

struct Ring {
  struct Channel {
    std::map<long, int> seen;  // sample index -> how often
    long wrong = 0;            // stream samples that differ from the simulator's
  };
  std::map<std::string, Channel> channels;
  std::map<std::string, int> sources;
  std::vector<std::string> commands;  // decoded command packets
  std::string log;                    // the texts of the log packets, in order
};

Ring read_ring(const std::string &path) {
  Ring r;
  int orb = orbopen(path.c_str(), "r");
  EXPECT_GE(orb, 0);
  orbseek(orb, ORBOLDEST);
  char *buf = nullptr;
  int bufsize = 0, nbytes = 0, id = 0;
  char src[ORBSRCNAME_SIZE];
  double t = 0;
  while (orbreap_nd(orb, &id, src, &t, &buf, &nbytes, &bufsize) == 0) {
    r.sources[src]++;
    std::string text;
    if ((strstr(src, "/pf/dlcm") || strstr(src, "/pf/rsp")) &&
        dlcm_decode(buf, nbytes, &text) == 1) {
      r.commands.push_back(text);
      continue;
    }
    Packet *pkt = nullptr;
    const int kind = unstuffPkt(src, t, buf, nbytes, &pkt);
    if (kind != Pkt_wf && pkt && pkt->string) r.log += std::string(pkt->string) + "\n";
    if (kind != Pkt_wf || pkt == nullptr) {
      freePkt(pkt);
      continue;
    }
    for (long c = 0; c < maxtbl(pkt->channels); c++) {
      auto *pc = static_cast<PktChannel *>(gettbl(pkt->channels, c));
      std::string name = std::string(pc->net) + "_" + pc->sta + "_" + pc->chan;
      Ring::Channel &ch = r.channels[name];
      const long first = lround((pc->time - kT0) * pc->samprate);
      const char *comp = strchr("ZNE", pc->chan[2]);
      for (int j = 0; j < pc->nsamp; j++) {
        ch.seen[first + j]++;
        if (strncmp(pc->chan, "HH", 2) == 0 && comp &&
            pc->data[j] != altussim::Sim::stream_sample((int)(comp - "ZNE"), (uint32_t)(first + j)))
          ch.wrong++;
      }
    }
    freePkt(pkt);
  }
  free(buf);
  orbclose(orb);
  return r;
}

// The stream samples of one channel: from sample 0, none missing, none twice, all right.
// The count.
long check_stream(const Ring::Channel &ch) {
  EXPECT_EQ(ch.wrong, 0);
  if (ch.seen.empty()) return 0;
  EXPECT_EQ(ch.seen.begin()->first, 0);
  long expect = 0, twice = 0, gaps = 0;
  for (const auto &[k, n] : ch.seen) {
    gaps += k != expect;
    expect = k + 1;
    twice += n > 1;
  }
  EXPECT_EQ(gaps, 0);
  EXPECT_EQ(twice, 0);
  return (long)ch.seen.size();
}

TEST(KessaroEndToEnd, TwoDataloggersThroughFaultsAndARestart) {
  TempDir dir;
  const std::string ring = dir.file("ring"), simout = dir.file("altussim.out"),
                    kesout = dir.file("kessaro.out");
  ASSERT_EQ(orbcreate(ring.c_str(), 1 << 26), 0);
  const int dialin = free_port();
  // K1234: 3 streams of 20 samples at 100 samples/s; 2 % lost, 1 % reordered, 1 %
  // duplicated, 1 % with a bad CRC; the line drops at live packet 600.
  pid_t sim = e2e_start({ALTUSSIM_BIN,
                         "-tcpserver",
                         "0",
                         "-serial",
                         "1234",
                         "-station",
                         "K1234",
                         "-model",
                         "K2",
                         "-streams",
                         "3:20:100:30",
                         "-paced",
                         "-streambuffer",
                         "3000",
                         "-streamfaults",
                         "0.02:0.01:0.01:0.01:42:600",
                         "--",
                         "-dialin",
                         std::to_string(dialin),
                         "-serial",
                         "5678",
                         "-station",
                         "E5678",
                         "-model",
                         "Etna",
                         "-banner-model",
                         "Altus Etna",
                         "-banner-serial",
                         "5678",
                         "-events",
                         "2"},
                        dir.path(), simout);
  ASSERT_GT(sim, 0);
  ASSERT_TRUE(e2e_wait_text(simout, "listening on", 1, 30)) << read_file(simout);
  int stream_port = 0;
  {
    std::string s = read_file(simout);
    size_t at = s.find("listening on 127.0.0.1:");
    ASSERT_NE(at, std::string::npos);
    stream_port = atoi(s.c_str() + at + strlen("listening on 127.0.0.1:"));
  }
  std::string pf = read_file(KESSARO_PF);
  replace_all(&pf, "127.0.0.1:5001", "127.0.0.1:" + std::to_string(stream_port));
  replace_all(&pf, "tcpserver none yes no  default 5002",
              "tcpserver none yes no  default " + std::to_string(dialin));
  replace_all(&pf, "status_interval         60.0", "status_interval         5.0");
  dir.write("kes.pf", pf);
  const std::vector<std::string> kessaro = {
      KESSARO_BIN, "-pf", dir.file("kes"), "-state", dir.file("state"), "kes",
      "cmd",       ring,  "out",           ring};

  // First run: the stream through the line drop, both event files, a status command.
  std::string sequence;
  pid_t kes = e2e_start(kessaro, dir.path(), kesout);
  ASSERT_GT(kes, 0);
  const std::string evt1 = dir.file("evt/XX_5678/001.EVT"), evt2 = dir.file("evt/XX_5678/002.EVT");
  for (double waited = 0; waited < 120 && access(evt2.c_str(), F_OK) != 0; waited += 0.1)
    clock_sleep(0.1);
  ASSERT_EQ(access(evt2.c_str(), F_OK), 0) << read_file(kesout);
  {
    int orb = orbopen(ring.c_str(), "w");
    ASSERT_GE(orb, 0);
    std::string text;
    ASSERT_EQ(initcmd("status", "op/pf/rsp", nullptr, nullptr, "K2_1234", 0.0, &sequence, &text),
              0);
    EXPECT_EQ(pfcmdstring2orb(text.c_str(), "kes/pf/dlcm", orb), 0);
    orbclose(orb);
  }
  clock_sleep(30);  // past the line drop (600 live packets at 15 a second)
  int status = e2e_stop(kes, SIGTERM, 60);
  ASSERT_TRUE(WIFEXITED(status)) << read_file(kesout);
  EXPECT_EQ(WEXITSTATUS(status), 0);

  // An outage of a few seconds, then the second run from the state file.
  clock_sleep(3);
  kes = e2e_start(kessaro, dir.path(), kesout);
  ASSERT_GT(kes, 0);
  clock_sleep(20);
  status = e2e_stop(kes, SIGTERM, 60);
  ASSERT_TRUE(WIFEXITED(status)) << read_file(kesout);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  e2e_stop(sim, SIGTERM, 10);

  const std::string log = read_file(kesout);
  Ring r = read_ring(ring);
  // Every stream sample once, across the faults, the line drop and the restart.
  for (const char *c : {"K2_1234_HHZ", "K2_1234_HHN", "K2_1234_HHE"}) {
    SCOPED_TRACE(c);
    ASSERT_TRUE(r.channels.count(c));
    // More than the first run alone could have brought.
    EXPECT_GT(check_stream(r.channels[c]), 25 * kRate) << log;
  }
  auto count = [&](const std::string &what) {
    int n = 0;
    for (size_t at = r.log.find(what); at != std::string::npos; at = r.log.find(what, at + 1)) n++;
    return n;
  };
  EXPECT_EQ(count("resetting counters"), 1) << r.log;  // the first run only
  EXPECT_GE(count("starting streaming data"), 2);      // the restart

  // The event files as the simulator holds them, each downloaded once, and their
  // waveforms in the ring once.
  for (int k = 0; k < 2; k++) {
    altussim::Sim s;
    ASSERT_EQ(s.add_event(altussim_event_path(k), altussim_event_plan("Etna", k)), 0);
    altussim::Bytes want = s.file_data(altussim_event_path(k));
    std::string got = read_file(k == 0 ? evt1 : evt2);
    EXPECT_EQ(got, std::string(want.begin(), want.end())) << "event file " << k + 1;
  }
  for (const char *c : {"XX_5678_HNZ", "XX_5678_HNN", "XX_5678_HNE"}) {
    SCOPED_TRACE(c);
    ASSERT_TRUE(r.channels.count(c));
    long twice = 0;
    for (const auto &[idx, n] : r.channels[c].seen) twice += n > 1;
    EXPECT_EQ(twice, 0);
  }
  // Status and log packets, the command answered by the streaming datalogger.
  EXPECT_GT(r.sources["kes/pf/st"], 1);
  EXPECT_GT(r.sources["kes/log"], 0);
  EXPECT_GT(r.sources["K2_1234/log"], 0);
  int done = 0;
  for (const std::string &t : r.commands)
    done += t.find("sequence " + sequence + "\n") != std::string::npos &&
            t.find("disposition done") != std::string::npos &&
            t.find("dlname K2_1234") != std::string::npos;
  EXPECT_EQ(done, 1) << log;
  for (const auto &[src, n] : r.sources) printf("%6d %s\n", n, src.c_str());
}

}  // namespace
