// Remote commands over a real command ring: the command service hands signed commands to
// kessaro's callback, and the answers are read back from the reply source of the same
// ring. Then the ordered output of a stream (order_output_data) turned off and the
// program stopped in order: every packet held or queued reaches the output ring once.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "altuscomsubs_output.h"
#include "altuscomsubs_stream.h"
#include "altuscomthread.h"
#include "base/arr.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/pmtfifo.h"
#include "base/tbl.h"
#include "kessaro_cmd.h"
#include "kessaro_cmdqueue.h"
#include "kessaro_cmdresp.h"
#include "kessaro_hooks.h"
#include "kessaro_program.h"
#include "kessaro_threads.h"
#include "packet/pkt.h"
#include "repackage.h"
#include "ring/orb.h"
#include "ringsvc/cmdthread.h"
#include "ringsvc/dlcmpkt.h"
#include "support/hostid.h"
#include "testkit/ring_read.h"
#include "testkit/testkit.h"

namespace {

int fake_forward(const char *, unsigned *address, std::string *official) {
  *address = htonl(0x7f000005);
  *official = "svchost";
  return 0;
}
int fake_reverse(unsigned, std::string *) { return -1; }
const HostResolver kResolver = {fake_forward, fake_reverse};

struct Answer {
  std::string disposition;
  std::string log;
};

class CommandRing : public ::testing::Test {
 protected:
  void SetUp() override {
    hostid_set_resolver(&kResolver);
    hostid_reset();
    altus->targetname = strdup("kes");
    altus->mtfifo_write = pmtfifo_create(0, 0, 0);
    kessaro_install(altus);
    kessaro_halt = 0;
    for (const char *name : {"dlA", "dlB", "dlC"}) {
      AltusDatalogger *d = altusdatalogger_new();
      d->target_name = strdup(name);
      d->userdata = altus;
      setarr(altus->dltargets_array, name, d);
      dls.push_back(d);
    }
    std::string ring = dir.file("cmd.ring");
    ASSERT_EQ(orbcreate(ring.c_str(), 1 << 20), 0);
    orbcmd = orbopen(ring.c_str(), "r");
    orbrsp = orbopen(ring.c_str(), "w");
    sender = orbopen(ring.c_str(), "w");
    listener = orbopen(ring.c_str(), "r");
    ASSERT_GE(listener, 0);
    ASSERT_EQ(orbselect(listener, "op/pf/rsp"), 0);
    altus->cmdthr =
        cmdthread_new(nullptr, orbcmd, orbrsp, "kes", "altus", kessaro::cmdthread_callback, altus);
    ASSERT_NE(altus->cmdthr, nullptr);
  }
  void TearDown() override {
    cmdthread_destroy(altus->cmdthr);
    altus->cmdthr = nullptr;
    for (int orb : {orbcmd, orbrsp, sender, listener}) orbclose(orb);
    for (AltusDatalogger *d : dls) clear_command_queue(d, 1, 1);
    freearr(altus->pending_cmd_arr, [](void *t) { freetbl(static_cast<Tbl *>(t), nullptr); });
    altus->pending_cmd_arr = nullptr;
    freearr(altus->dltargets_array, nullptr);
    altus->dltargets_array = nullptr;
    for (AltusDatalogger *d : dls) altusdatalogger_free(d);
    logs();
    pmtfifo_destroy(altus->mtfifo_write, nullptr);
    free(altus->targetname);
    kessaro_test_free(altus);
    kessaro_install(nullptr);
    hostid_set_resolver(nullptr);
    hostid_reset();
    elog_clear_register(0);
  }
  void send(const std::string &command, const std::string &sequence, const char *dlnames) {
    std::string text = "command " + command +
                       "\nreply op/pf/rsp\nusername op\nhostname ophost\nip 127.0.0.9\n" +
                       cmdtime_line() + "sequence " + sequence + "\n";
    if (dlnames) text += std::string("dlnames ") + dlnames + "\n";
    ASSERT_EQ(pfcmdstring2orb(text.c_str(), "kes/pf/dlcm", sender), 0);
  }
  // The next answer on the reply source (bounded wait on the scaled clock).
  Answer answer() {
    Answer a{"(none)", ""};
    char *buf = nullptr;
    int nbytes = 0, bufsize = 0, pktid = 0;
    char src[ORBSRCNAME_SIZE];
    double time = 0;
    for (int i = 0; i < 50000; i++) {
      if (orbreap_nd(listener, &pktid, src, &time, &buf, &nbytes, &bufsize) == 0) {
        std::string text;
        Pf *pf = nullptr;
        if (dlcm_decode(buf, nbytes, &text) == 1 && pfcompile(text.c_str(), &pf) == 0) {
          const char *d = pfget_string(pf, "disposition");
          const char *l = pfget_string(pf, "log");
          a = {d ? d : "(none)", l ? l : ""};
        }
        pffree(pf);
        break;
      }
      clock_sleep(0.01);
    }
    free(buf);
    elog_clear_register(0);
    return a;
  }
  // The program's log texts since the last call.
  std::string logs() {
    std::string out;
    void *item = nullptr;
    while (pmtfifo_pop(altus->mtfifo_write, &item) == 1) {
      auto *p = static_cast<AltusPacket *>(item);
      if (p && p->type == ALTUSPKT_LOG && p->data) out += reinterpret_cast<char *>(p->data);
      altuspacket_free(p);
    }
    return out;
  }
  std::vector<std::string> queued(AltusDatalogger *d) { return kessaro_test_queued(d); }

  ClockScale scale{0.01};
  TempDir dir;
  Kessaro *altus = kessaro_new();
  std::vector<AltusDatalogger *> dls;
  int orbcmd = -1, orbrsp = -1, sender = -1, listener = -1;
};

TEST_F(CommandRing, EdgeCasesAnsweredOverTheRing) {
  dls[0]->debug_data_timeout = 600.0;
  Pf *internal = nullptr;
  ASSERT_EQ(pfcompile("command strstart\ndatalogger_target dlA\n", &internal), 0);
  post_command_queue(dls[0], internal, 1);
  pffree(internal);

  struct Case {
    const char *command;
    const char *dlnames;
    const char *disposition;
    const char *log;         // the answer's text holds it
    double interval = -1.0;  // the status interval it leaves (-1: not checked)
  } cases[] = {
      {"set status_interval 0.5", nullptr, "done", "", 1.0},
      {"set status_interval -3", nullptr, "done", "", 0.0},
      {"set debug_data 1", "dlA", "done", ""},
      {"set debug_data", nullptr, "error", "no set value"},
      {"set nokey 1", nullptr, "error", "unrecognized set key 'nokey'"},
      {"dir", nullptr, "error", "no dir pathname"},
      {"dir a b", nullptr, "error", "Unrecognized dir argument 'b'"},
      {"deltree a b c", nullptr, "error", "Unrecognized deltree argument 'c'"},
      {"frobnicate now", nullptr, "error", "Unrecognized user command 'frobnicate'"},
      {",", nullptr, "error", "cannot split command"},
      {"status", "dlX", "error", "No dataloggers match 'dlX'"},
      {"set clear_command_queue no", "dlA", "done", ""},
  };
  int n = 0;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.command);
    send(c.command, "e" + std::to_string(n++), c.dlnames);
    Answer a = answer();
    EXPECT_EQ(a.disposition, c.disposition);
    EXPECT_NE(a.log.find(c.log), std::string::npos) << a.log;
    if (c.interval >= 0.0) {
      EXPECT_EQ(altus->status_interval.load(), c.interval);
    }
  }
  std::string log = logs();
  EXPECT_NE(log.find("Setting debug_data to 1 for 600.000000 seconds..."), std::string::npos)
      << log;
  EXPECT_EQ((int)dls[0]->debug_data, 1);
  EXPECT_EQ((int)dls[1]->debug_data, 0);                            // not named
  EXPECT_EQ(queued(dls[0]), std::vector<std::string>{"strstart"});  // internal kept
  for (AltusDatalogger *d : dls) EXPECT_EQ(d->reboot, 0);
  {
    std::lock_guard<std::mutex> g(pending_cmd_mutex());
    EXPECT_EQ(cntarr(altus->pending_cmd_arr), 0);  // nothing left pending
  }

  // Two of three dataloggers match: both get the request under one sequence, in target
  // order, and nobody answers yet; the same sequence again is refused.
  send("status", "twice", "dl[AB]");
  send("ping hello", "twice", nullptr);
  int pending = 0;  // each datalogger says it has the request queued
  Answer refused = answer();
  for (; refused.disposition == "pending" && pending < 5; refused = answer()) pending++;
  EXPECT_EQ(pending, 2);
  EXPECT_EQ(refused.disposition, "error");
  EXPECT_NE(refused.log.find("sequence already in use"), std::string::npos) << refused.log;
  EXPECT_EQ(pending_cmd_list(altus, "twice"), (std::vector<AltusDatalogger *>{dls[0], dls[1]}));
  EXPECT_EQ(queued(dls[0]), (std::vector<std::string>{"strstart", "status"}));
  EXPECT_EQ(queued(dls[1]), std::vector<std::string>{"status"});
  EXPECT_TRUE(queued(dls[2]).empty());
}

// ---- ordered output turned off, then the shutdown ----

const uint32_t kAltusT0 = 1262304000u - 315532800u;  // 2010-01-01 as Altus time

TEST(OrderedOutput, HeldAndQueuedPacketsSurviveTheShutdown) {
  ClockScale scale(0.001);
  TempDir dir;
  Kessaro *altus = kessaro_new();
  altus->targetname = strdup("kes");
  altus->statefile_name = strdup(dir.file("state").c_str());
  kessaro_install(altus);
  kessaro_halt = 0;
  std::string ring = dir.file("out.ring");
  ASSERT_EQ(orbcreate(ring.c_str(), 1 << 22), 0);
  Orbtag tag{};
  tag.orbw = orbopen(ring.c_str(), "w");
  int rd = orbopen(ring.c_str(), "r");
  ASSERT_GE(rd, 0);
  altus->log = altus->status = &tag;

  PacketDef pdef{};
  pdef.orbtag = &tag;
  kessaro_copytext(pdef.suffix, "GENC");
  pdef.twin = 4;
  Modem *modem = modem_new();
  modem->name = strdup("tty1");
  AltusDatalogger *dl = altusdatalogger_new();
  dl->target_name = strdup("dlA");
  dl->userdata = altus;
  dl->connected_modem = modem;
  modem->connected_dl = dl;
  setarr(altus->dltargets_array, "dlA", dl);
  dl->numStream = 1;
  dl->samprate = 1.0;
  dl->stream_status = STRSTATUS_RUNNING;
  dl->str_stream2pchan[0] = 0;
  AltusChan &ch = dl->data_chan[1][0];
  ch.outputthischan = 1;
  ch.getcalib = 2;
  ch.calib = 1.0;
  kessaro_copytext(ch.net, "XX");
  kessaro_copytext(ch.sta, "STA");
  kessaro_copytext(ch.chan, "HNZ");
  ch.pdef = &pdef;
  dl->max_strbuf = 8;
  dl->max_strretranbuf = 4;
  dl->strbuf = static_cast<AltusStrbufEntry *>(calloc(8, sizeof(AltusStrbufEntry)));
  dl->order_output_data = 1;

  altus->mtfifo_write = pmtfifo_create(0, 1, 0);
  ASSERT_EQ(pthread_create(&altus->write_thread, nullptr, altus_write_thread, altus), 0);
  auto feed = [&](unsigned seq, int kind) {
    auto *p = static_cast<AltusBlockStrdata *>(calloc(1, sizeof(AltusBlockStrdata)));
    p->dataSeq = seq;
    p->time_altusepoch = kAltusT0 + seq;
    p->nsamp = 1;
    p->data[0] = (int32_t)(100 + seq);
    p->dataChk = p->dataChk_comp = 7;
    altuscom_process_stream_packet(p, kind, dl, 0);
  };
  // 0-5 go out in order and move the ring's head to entry 6; 6 and 8 are missing, 7 and 9
  // held, 7 in the last entry and 9 wrapped round to entry 1.
  for (unsigned s : {0u, 1u, 2u, 3u, 4u, 5u, 7u, 9u}) feed(s, STRDATA_KIND_DATA);
  Pf *req = nullptr;
  ASSERT_EQ(pfcompile("command set order_output_data 0\nsequence o1\n", &req), 0);
  kessaro::cmdthread_callback(nullptr, altus, 2, "set order_output_data 0", req);
  pffree(req);
  EXPECT_EQ((int)dl->order_output_data, 0);
  feed(6, STRDATA_KIND_RQDATA);  // the gaps filled, now unordered
  feed(8, STRDATA_KIND_RQDATA);
  feed(10, STRDATA_KIND_DATA);

  kessaro_stop(altus, 0);
  pthread_join(altus->write_thread, nullptr);
  EXPECT_EQ((int)altus->kill, KESSARO_KILL_WRITER_ENDED);

  std::vector<int32_t> samples;
  for (const RingPacket &r : ring_take(rd)) {
    if (r.srcname != "XX_STA_HNZ/GENC") continue;
    Packet *pkt = nullptr;
    ASSERT_EQ(unstuffPkt(r.srcname.c_str(), r.time, r.bytes.data(), (int)r.bytes.size(), &pkt),
              Pkt_wf);
    for (int i = 0; i < pkt->nchannels; i++) {
      auto *pc = static_cast<PktChannel *>(gettbl(pkt->channels, i));
      samples.insert(samples.end(), pc->data, pc->data + pc->nsamp);
    }
    freePkt(pkt);
  }
  elog_clear_register(0);
  std::sort(samples.begin(), samples.end());
  std::vector<int32_t> want;
  for (int s = 0; s <= 10; s++) want.push_back(100 + s);
  EXPECT_EQ(samples, want);  // each packet once: none held back, none lost at the stop

  orbclose(rd);
  orbclose(tag.orbw);
  altus->log = altus->status = nullptr;
  kessaro_install(nullptr);
  kessaro_halt = 0;
  delarr(altus->dltargets_array, "dlA");
  pmtfifo_destroy(altus->mtfifo_write,
                  [](void *p) { altuspacket_free(static_cast<AltusPacket *>(p)); });
  altusdatalogger_free(dl);
  modem_free(modem);
  free(altus->targetname);
  free(altus->statefile_name);
  if (altus->repackage_tbl) {
    // Repackage buffers live to the end of the process; keep them reachable.
    static std::vector<void *> &kept = *new std::vector<void *>;
    for (long i = 0; i < maxtbl(altus->repackage_tbl); i++)
      kept.push_back(gettbl(altus->repackage_tbl, i));
  }
  kessaro_test_free(altus);
}

}  // namespace
