// kessaro end to end: altussim serves three dataloggers as a child program, kessaro
// acquires them into a real ring file with the example parameter file (its ports, links and
// folders made the test's own), and the ring is checked against the simulator's own
// functions.
//
// K1234 streams three channels over a TCP-client link, the line losing, reordering,
// duplicating and damaging packets and dropping once; it records an event while it
// streams. A point-of-contact announcement moves it to 127.0.0.2 while its stream runs:
// kessaro ends that connection and the stream goes on from the new address, where the
// line drop later comes and kessaro reconnects. E5678 calls in to a TCP-server link with two event
// files waiting; K4321 sits on a serial line (a pseudo-terminal) with one event file, fetched at
// start-up. A status command is queued during the stream; kessaro is stopped by SIGTERM
// and started again with its state file, the outage far shorter than the simulator's
// stream buffer.
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
#include "altussim_poc.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "kessaro_e2e_kit.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "ringsvc/dlcmpkt.h"
#include "testkit/e2e_process.h"
#include "testkit/testkit.h"

namespace {

using namespace kes_e2e;

constexpr int kRate = 100;

struct Ring {
  struct Channel {
    std::map<long, int> seen;  // sample index -> how often
    long wrong = 0;            // stream samples that differ from the simulator's
  };
  std::map<std::string, Channel> channels;
  std::map<std::string, int> sources;
  std::vector<std::string> commands;  // decoded command packets
  std::vector<std::string> evtinfo;   // the event-information packets, as parameter files
  std::string log;                    // the texts of the log packets, in order
};

Ring read_ring(const std::string &path) {
  Ring r;
  for (const RingPacket &rp : ring_read_all(path)) {
    const char *src = rp.srcname.c_str(), *buf = rp.bytes.data();
    const int nbytes = (int)rp.bytes.size();
    const double t = rp.time;
    r.sources[src]++;
    std::string text;
    if ((strstr(src, "/pf/dlcm") || strstr(src, "/pf/rsp")) &&
        dlcm_decode(buf, nbytes, &text) == 1) {
      r.commands.push_back(text);
      continue;
    }
    Packet *pkt = nullptr;
    const int kind = unstuffPkt(src, t, buf, nbytes, &pkt);
    if (strstr(src, "/pf/evtinfo") && kind == Pkt_pf && pkt && pkt->pf) {
      char *text = pf2string(pkt->pf);
      r.evtinfo.push_back(text ? text : "");
      free(text);
    }
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

// The samples of an event channel: those of the simulator's files `files` (as numbered by
// altussim_event_plan), each once.
void check_event_channel(const Ring::Channel &ch, const std::vector<int> &files) {
  std::map<long, int> want;
  for (int k : files) {
    const AltusSimEvtPlan plan = altussim_event_plan("", k);
    long scans = 0;
    for (int n : plan.frame_scans) scans += n;
    const long first = (long)(plan.start_time - 1000000u) * plan.sps;
    for (long j = 0; j < scans; j++) want[first + j] = 1;
  }
  EXPECT_EQ(ch.seen, want);
}

// The file as the simulator's datalogger of `model` holds its k-th event.
std::string sim_event_file(const std::string &model, int k) {
  altussim::Sim s;
  EXPECT_EQ(s.add_event(altussim_event_path(k), altussim_event_plan(model, k)), 0);
  altussim::Bytes b = s.file_data(altussim_event_path(k));
  return std::string(b.begin(), b.end());
}

// Waits (bounded) until the file `path` exists.
bool wait_file(const std::string &path, double seconds) {
  for (double waited = 0; waited < seconds; waited += 0.1) {
    if (access(path.c_str(), F_OK) == 0) return true;
    clock_sleep(0.1);
  }
  return access(path.c_str(), F_OK) == 0;
}

TEST(KessaroEndToEnd, ThreeDataloggersThroughFaultsAMoveAndARestart) {
  TempDir dir;
  const std::string ring = dir.file("ring"), simout = dir.file("altussim.out"),
                    kesout = dir.file("kessaro.out");
  ASSERT_EQ(orbcreate(ring.c_str(), 1 << 26), 0);
  const int dialin = free_port();
  // K1234: 3 streams of 20 samples at 100 samples/s; 2 % lost, 1 % reordered, 1 %
  // duplicated, 1 % with a bad CRC; the line drops at live packet 450 (sample 3000 of
  // each stream). It listens on 127.0.0.1 and 127.0.0.2, and records an event 30 s in.
  const int kLineDrop = 450;
  const long kDropSample = kLineDrop / 3 * 20;
  pid_t sim = e2e_start({ALTUSSIM_BIN,
                         "-tcpserver",
                         "0",
                         "-address",
                         "127.0.0.1,127.0.0.2",
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
                         "0.02:0.01:0.01:0.01:42:" + std::to_string(kLineDrop),
                         "-record",
                         "30:3",
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
                         "2",
                         "--",
                         "-pty",
                         "-serial",
                         "4321",
                         "-station",
                         "K4321",
                         "-model",
                         "K2",
                         "-events",
                         "1"},
                        dir.path(), simout);
  ASSERT_GT(sim, 0);
  ASSERT_TRUE(e2e_wait_text(simout, "listening on 127.0.0.2:", 1, 30)) << read_file(simout);
  ASSERT_TRUE(e2e_wait_text(simout, "serving /dev/", 1, 30)) << read_file(simout);
  const std::string started = read_file(simout);
  const int stream_port = atoi(word_after(started, "listening on 127.0.0.1:").c_str());
  ASSERT_GT(stream_port, 0);
  ASSERT_EQ(word_after(started, "listening on 127.0.0.2:"), std::to_string(stream_port));
  const std::string pty = word_after(started, "serving ");
  const std::string stream_addr = "127.0.0.1:" + std::to_string(stream_port),
                    moved_addr = "127.0.0.2:" + std::to_string(stream_port);

  // The example parameter file with the test's lines: K1234 on a link of its own that
  // point-of-contact announcements with its serial number re-target, K4321 on a serial
  // link whose download starts with the program; status packets and parameter reads
  // often, so that the stream sees the new event soon.
  std::string pf = read_file(KESSARO_PF);
  ASSERT_TRUE(replace_once(&pf, "    tcp1   tcpclient none no  yes patient 127.0.0.1:5001",
                           "    ser1   serial    none no  yes default " + pty + ":9600"));
  ASSERT_TRUE(replace_once(&pf, "tcpserver none yes no  default 5002",
                           "tcpserver none yes no  default " + std::to_string(dialin)));
  ASSERT_TRUE(replace_once(&pf, "    K1234   -   -   -   tcp1    -   no  streaming",
                           "    K1234   -   -   -   auto    " + stream_addr +
                               "   no  streaming patient serialno 1234\n"
                               "    K4321   -   -   -   ser1    -   no  atstartup"));
  ASSERT_TRUE(replace_once(&pf, "datalogger_templates &Arr{\n",
                           "datalogger_templates &Arr{\n"
                           "    atstartup &Arr{\n"
                           "        auto_getevents_at_startup yes\n"
                           "    }\n"));
  ASSERT_TRUE(replace_once(&pf, "status_interval         60.0", "status_interval         5.0"));
  ASSERT_TRUE(replace_once(&pf, "request_params_interval         3600.0",
                           "request_params_interval         10.0"));
  dir.write("kes.pf", pf);
  const std::vector<std::string> kessaro = {
      KESSARO_BIN, "-pf", dir.file("kes"), "-state", dir.file("state"), "kes",
      "cmd",       ring,  "out",           ring};

  // First run: the stream through the move and the line drop, the event files of all
  // three, a status command.
  std::string sequence;
  pid_t kes = e2e_start(kessaro, dir.path(), kesout);
  ASSERT_GT(kes, 0);
  // Announced while K1234 streams: the link ends that connection and calls the new
  // address, where the stream goes on.
  ASSERT_TRUE(e2e_wait_text(simout, "unit 0: streaming on connection 1", 1, 90))
      << read_file(simout) << read_file(kesout);
  ASSERT_EQ(
      altussim_write_poc(ring, "K1234/pf/poc", moved_addr, {{"serialno", "1234"}}, clock_now()), 0);
  ASSERT_TRUE(e2e_wait_text(simout, "unit 0: connection 2 accepted on", 1, 90))
      << read_file(simout) << read_file(kesout);
  EXPECT_EQ(word_after(read_file(simout), "unit 0: connection 2 accepted on "), moved_addr);
  ASSERT_TRUE(e2e_wait_text(simout, "unit 0: streaming on connection 2", 1, 90))
      << read_file(simout) << read_file(kesout);
  EXPECT_EQ(read_file(simout).find("line dropped"), std::string::npos)
      << "the move came before the drop";
  const std::string evt1 = dir.file("evt/XX_5678/001.EVT"), evt2 = dir.file("evt/XX_5678/002.EVT"),
                    serial_evt = dir.file("evt/K2_4321/001.EVT"),
                    recorded_evt = dir.file("evt/K2_1234/001.EVT");
  ASSERT_TRUE(wait_file(evt2, 120)) << read_file(kesout);
  ASSERT_TRUE(wait_file(serial_evt, 120)) << read_file(kesout);
  {
    int orb = orbopen(ring.c_str(), "w");
    ASSERT_GE(orb, 0);
    std::string text;
    ASSERT_EQ(initcmd("status", "op/pf/rsp", nullptr, nullptr, "K2_1234", 0.0, &sequence, &text),
              0);
    EXPECT_EQ(pfcmdstring2orb(text.c_str(), "kes/pf/dlcm", orb), 0);
    orbclose(orb);
  }
  // The drop, and the stream taken up again at the announced address.
  ASSERT_TRUE(e2e_wait_text(
      simout, "unit 0: line dropped at live packet " + std::to_string(kLineDrop), 1, 120))
      << read_file(simout);
  ASSERT_TRUE(e2e_wait_text(simout, "unit 0: connection 3 accepted on", 1, 90))
      << read_file(simout);
  EXPECT_EQ(word_after(read_file(simout), "unit 0: connection 3 accepted on "), moved_addr);
  ASSERT_TRUE(e2e_wait_text(simout, "unit 0: streaming on connection 3", 1, 90))
      << read_file(simout);
  ASSERT_TRUE(wait_file(recorded_evt, 90)) << read_file(simout);
  clock_sleep(5);  // some stream on the new connection
  ASSERT_TRUE(stopped_cleanly(kes, kesout));
  long first_run_end = 0;
  {
    Ring r = read_ring(ring);
    ASSERT_TRUE(r.channels.count("K2_1234_HHZ"));
    first_run_end = r.channels["K2_1234_HHZ"].seen.rbegin()->first;
  }
  // The stream went on after the drop.
  EXPECT_GT(first_run_end, kDropSample + 2 * kRate);

  // An outage of a few seconds, then the second run from the state file, until the stream
  // runs again.
  clock_sleep(3);
  kes = e2e_start(kessaro, dir.path(), kesout);
  ASSERT_GT(kes, 0);
  ASSERT_TRUE(e2e_wait_text(simout, "unit 0: streaming on connection 4", 1, 90))
      << read_file(simout);
  clock_sleep(3);
  ASSERT_TRUE(stopped_cleanly(kes, kesout));
  e2e_stop(sim, SIGTERM, 10);

  const std::string log = read_file(kesout);
  Ring r = read_ring(ring);
  // Every stream sample once, across the faults, the move, the line drop and the restart,
  // the second run bringing more.
  for (const char *c : {"K2_1234_HHZ", "K2_1234_HHN", "K2_1234_HHE"}) {
    SCOPED_TRACE(c);
    ASSERT_TRUE(r.channels.count(c));
    check_stream(r.channels[c]);
    EXPECT_GT(r.channels[c].seen.rbegin()->first, first_run_end) << log;
  }
  auto count = [&](const std::string &what) {
    int n = 0;
    for (size_t at = r.log.find(what); at != std::string::npos; at = r.log.find(what, at + 1)) n++;
    return n;
  };
  EXPECT_EQ(count("resetting counters"), 1) << r.log;  // the first run only
  // The stream started again after the move, the drop and the restart: the simulator
  // counts the starts. The log lines of one datalogger pass a flood gate of so many lines
  // a minute, so that four openings within a minute or two may have some held back.
  EXPECT_GE(e2e_count_text(simout, "unit 0: streaming on connection"), 4) << read_file(simout);
  EXPECT_GE(count("starting streaming data"), 1);
  // The move, once, from the configured address to the announced one, ending the
  // connection of the running stream.
  EXPECT_EQ(count("Change in datalogger K2_1234 ipaddress - resetting from " + stream_addr +
                  " to " + moved_addr),
            1)
      << r.log;
  EXPECT_EQ(count("ending the connection to reconnect"), 1) << r.log;

  // The event files as the simulator holds them, each downloaded once, their waveforms in
  // the ring once, an event-information packet for each.
  const struct {
    std::string model, target;
    std::vector<int> files;
  } loggers[] = {{"Etna", "XX_5678", {0, 1}}, {"K2", "K2_4321", {0}}, {"K2", "K2_1234", {0}}};
  for (const auto &dl : loggers) {
    SCOPED_TRACE(dl.target);
    for (int k : dl.files) {
      char name[16];
      snprintf(name, sizeof name, "%03d.EVT", k + 1);
      const std::string saved = "evt/" + dl.target + "/" + name;
      std::string path = altussim_event_path(k);
      for (char &c : path) c = c == '\\' ? '/' : c;
      int infos = 0;
      for (const std::string &t : r.evtinfo)
        infos += t.find("datalogger " + dl.target + "\n") != std::string::npos &&
                 t.find("evtfilename " + path + "\n") != std::string::npos;
      EXPECT_EQ(infos, 1) << saved;
      EXPECT_EQ(read_file(dir.file(saved)), sim_event_file(dl.model, k)) << saved;
      // Written once (the file above); its log line may be held back by the flood gate.
      EXPECT_LE(count("Successfully wrote EVT file ./" + saved), 1) << saved;
    }
    for (const char *chan : {"_HNZ", "_HNN", "_HNE"}) {
      SCOPED_TRACE(chan);
      ASSERT_TRUE(r.channels.count(dl.target + chan));
      check_event_channel(r.channels[dl.target + chan], dl.files);
    }
  }
  // Status and log packets, the command answered by the streaming datalogger.
  EXPECT_GT(r.sources["kes/pf/st"], 1);
  EXPECT_GT(r.sources["kes/log"], 0);
  for (const char *src : {"K2_1234/log", "XX_5678/log", "K2_4321/log"})
    EXPECT_GT(r.sources[src], 0) << src;
  int done = 0;
  for (const std::string &t : r.commands)
    done += t.find("sequence " + sequence + "\n") != std::string::npos &&
            t.find("disposition done") != std::string::npos &&
            t.find("dlname K2_1234") != std::string::npos;
  EXPECT_EQ(done, 1) << log;
  for (const auto &[src, n] : r.sources) printf("%6d %s\n", n, src.c_str());
}

}  // namespace
