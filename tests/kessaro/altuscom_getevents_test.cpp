// The event download against the simulated datalogger, followed to its outputs: the saved
// event files, the waveform packets and event-information packets in a ring file, and
// the state file across a restart. The test thread does the write thread's work (it
// hands every queued element to its writer), so the outputs of one call are complete
// when the call returns.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "altuscomsubs_block.h"
#include "altuscomsubs_console.h"
#include "altuscomsubs_evtinfo.h"
#include "altuscomsubs_getevents.h"
#include "altuscomsubs_log.h"
#include "altuscomsubs_output.h"
#include "altusevtsubs.h"
#include "altussim_block.h"
#include "altussim_evtwriter.h"
#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/pmtfifo.h"
#include "base/tbl.h"
#include "bytestream/fixtures.h"
#include "kessaro.h"
#include "kessaro_hooks.h"
#include "kessaro_program.h"
#include "kessaro_state.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "testkit/ring_read.h"
#include "testkit/testkit.h"

using namespace bsfix;
using altussim::Bytes;
using altussim::Sim;
using Damage = altussim::Sim::Damage;

namespace {

constexpr double kAltusEpoch = 315532800.0;
constexpr uint32_t kT0 = 1262304000u - 315532800u;  // 2010-01-01 as Altus time

// One event of the test datalogger: where it lies and how it is made.
struct Event {
  std::string path;
  AltusSimEvtPlan plan;
  std::string saved;  // below <events>/dlA
};

Event event(const char *path, const char *saved, int k, int sample_bytes, int bigendian) {
  Event e{path, {}, saved};
  e.plan.sample_bytes = sample_bytes;
  e.plan.bigendian = bigendian;
  e.plan.nchannels = 3;
  e.plan.sps = 100;
  e.plan.frame_scans = {100, 100, 50};
  e.plan.start_time = kT0 + 3600u * (uint32_t)k;
  return e;
}

// Three events on A: and one on B:, in both byte orders and every sample width of 2 to 4.
std::vector<Event> stock() {
  return {event("A:\\DATA\\EV0001.EVT", "EV0001.EVT", 0, 2, 1),
          event("A:\\DATA\\EV0002.EVT", "EV0002.EVT", 1, 3, 0),
          event("B:\\DATA\\EV0003.EVT", "EV0003.EVT", 2, 4, 1),
          event("A:\\DATA\\EV0004.EVT", "EV0004.EVT", 3, 3, 1)};
}

long scans(const Event &e) {
  long n = 0;
  for (int s : e.plan.frame_scans) n += s;
  return n;
}

int32_t sample(const Event &e, int c, long s) {
  return altussim_evt_sample(c, s, e.plan.sample_bytes);
}

// A waveform packet's channel, as read back.
struct Wave {
  int chan;
  double time;
  std::vector<int32_t> samples;
};

// The program record with its outputs in a temporary directory: saved event files, one
// ring file for waveform and event-information packets, the state file. Dataloggers and
// links are added per session, so a test can restart the program's view of a datalogger.
struct Rig {
  TempDir dir;
  ClockScale scale{0.01};
  Kessaro *altus = kessaro_new();
  Orbtag tag{};
  int rd = -1;
  PacketDef pdef{};

  std::unique_ptr<Sim> sim;
  Recorder rec;
  Record buf;
  Modem *modem = nullptr;
  AltusDatalogger *dl = nullptr;

  std::vector<std::string> logs;
  std::vector<std::string> handed;   // paths of the event files handed to the output
  std::vector<std::string> evtinfo;  // event-information texts
  std::vector<Wave> waves;

  Rig() {
    altus->targetname = strdup("kes");
    altus->evtinfo_srcname = strdup("kes/pf/evtinfo");
    altus->evt_file_dir = strdup(dir.file("events").c_str());
    altus->statefile_name = strdup(dir.file("kessaro.state").c_str());
    altus->mtfifo_write = pmtfifo_create(0, 0, 0);
    std::string ring = dir.file("out.ring");
    EXPECT_EQ(orbcreate(ring.c_str(), 1 << 24), 0);
    tag.orbw = orbopen(ring.c_str(), "w");
    rd = orbopen(ring.c_str(), "r");
    altus->log = altus->status = altus->evtinfo = &tag;
    pdef.orbtag = &tag;
    kessaro_copytext(pdef.suffix, "GENC");
    pdef.twin = 1;
    kessaro_install(altus);
    kessaro_halt = 0;
    elog_clear_register(0);
  }
  ~Rig() {
    end_session();
    flush_repackage_buffers(altus);
    if (altus->repackage_tbl) {
      // Repackage buffers live to the end of the process; keep them reachable.
      static std::vector<void *> &kept = *new std::vector<void *>;
      for (long i = 0; i < maxtbl(altus->repackage_tbl); i++)
        kept.push_back(gettbl(altus->repackage_tbl, i));
    }
    orbclose(tag.orbw);
    orbclose(rd);
    pmtfifo_destroy(altus->mtfifo_write, nullptr);
    for (char *p :
         {altus->targetname, altus->evtinfo_srcname, altus->evt_file_dir, altus->statefile_name})
      free(p);
    kessaro_install(nullptr);
    kessaro_test_free(altus);
    elog_clear_register(0);
  }

  // A new simulator holding `events`, drive B: ready.
  void new_sim(const std::vector<Event> &events) {
    sim = std::make_unique<Sim>();
    sim->set_drive_status(1, 0x0800 | 100);
    for (const Event &e : events) EXPECT_EQ(sim->add_event(e.path, e.plan), 0);
  }

  // A session: the program's datalogger record (restored from the state file when asked)
  // on a link to the simulator in block mode.
  void begin_session(bool restore, const char *model = "K2") {
    dl = altusdatalogger_new();
    dl->target_name = strdup("dlA");
    dl->serial_name = strdup("ser_dlA");
    kessaro_copytext(dl->model, model);
    dl->userdata = altus;
    dl->save_evt_files = 1;
    dl->output_packet_twin = 10.0;
    dl->tmpfile_maxwaittime = 60.0;
    for (int c = 0; c < 3; c++) {
      AltusChan &ch = dl->data_chan[0][c];
      ch.outputthischan = 1;
      ch.getcalib = 2;
      ch.calib = 2.5;
      ch.calper = 1.0;
      kessaro_copytext(ch.net, "XX");
      kessaro_copytext(ch.sta, "STA");
      snprintf(ch.chan, sizeof ch.chan, "HN%d", c);
      kessaro_copytext(ch.segtype, "A");
      snprintf(ch.netstachanloc, sizeof ch.netstachanloc, "XX_STA_HN%d", c);
      ch.pdef = &pdef;
    }
    setarr(altus->dltargets_array, "dlA", dl);
    if (restore) {
      EXPECT_EQ(parse_state(altus->statefile_name, altus), 0);
    }
    modem = modem_new();
    modem->name = strdup("tty1");
    modem->userdata = altus;
    kessaro_copytext(modem->devname, "tty1");
    modem->connected_dl = dl;
    dl->connected_modem = modem;
    int port = sim->listen_tcp();
    sim->start();
    // Answers wait 100 s of the fast clock, 1 s of real time: the simulator's thread answers
    // within them however busy the machine.
    buf.reset(serialbuf_create_tcpclient("127.0.0.1", port, 4096, 100000, 100000, 3, nullptr,
                                         nullptr, Recorder::log, &rec, nullptr, nullptr, nullptr));
    EXPECT_EQ(serialbuf_connect(buf.get(), 0, nullptr), 0);
    buf->rverbose = 0;
    modem->buf_handle = buf.get();
    VerParams vp{};
    int got = 0;
    EXPECT_EQ(open_block(buf.get(), "tty1", &vp, modem, dl, nullptr, &got, 0, 0, 0), 0);
  }
  void end_session() {
    if (dl == nullptr) return;
    outputs();
    modem->buf_handle = nullptr;
    buf.reset();
    sim->stop();
    delarr(altus->dltargets_array, "dlA");
    altusdatalogger_free(dl);
    modem_free(modem);
    dl = nullptr;
    modem = nullptr;
  }

  // Does the write thread's work for everything queued, then reads the ring.
  void outputs() {
    void *item = nullptr;
    while (pmtfifo_pop(altus->mtfifo_write, &item) == 1) {
      auto *p = static_cast<AltusPacket *>(item);
      if (p->type == ALTUSPKT_EVTFILE) {
        handed.push_back(p->pathname);
        repackage_event_pkt(altus, p);
      } else if (p->type == ALTUSPKT_EVTINFO) {
        evtinfo.push_back(reinterpret_cast<char *>(p->data));
      } else if (p->type == ALTUSPKT_LOG) {
        logs.push_back(reinterpret_cast<char *>(p->data));
      }
      altuspacket_free(p);
    }
    ring_each_waveform(rd, [&](const PktChannel *pc) {
      waves.push_back(
          {pc->chan[2] - '0', pc->time, std::vector<int32_t>(pc->data, pc->data + pc->nsamp)});
    });
  }

  int download() {
    int r = getevents(modem, 1, nullptr);
    outputs();
    return r;
  }
  int logged(const std::string &needle) const {
    int n = 0;
    for (const std::string &l : logs)
      if (l.find(needle) != std::string::npos) n++;
    return n;
  }
  int sent(int command) const {
    int n = 0;
    for (auto &c : sim->commands())
      if (c.first == command) n++;
    return n;
  }
  const AltusDirTree *file(const std::string &path) const {
    for (int i = 0; i < dl->files_size; i++)
      if (path == dl->files[i].pathname) return &dl->files[i];
    return nullptr;
  }

  // The samples of channel `chan` that the waveform packets hold within the event.
  std::vector<int32_t> samples_of(const Event &e, int chan) const {
    double t0 = kAltusEpoch + e.plan.start_time;
    double t1 = t0 + (double)scans(e) / e.plan.sps;
    std::vector<const Wave *> in;
    for (const Wave &w : waves)
      if (w.chan == chan && w.time >= t0 - 1e-6 && w.time < t1) in.push_back(&w);
    std::sort(in.begin(), in.end(), [](const Wave *a, const Wave *b) { return a->time < b->time; });
    std::vector<int32_t> out;
    for (const Wave *w : in) out.insert(out.end(), w->samples.begin(), w->samples.end());
    return out;
  }
  std::vector<int32_t> expected(const Event &e, int chan) const {
    std::vector<int32_t> out;
    for (long s = 0; s < scans(e); s++) out.push_back(sample(e, chan, s));
    return out;
  }
};

// The value of `key` in an event-information text, or "".
std::string info_value(const std::string &text, const std::string &key) {
  size_t at = text.find("\t" + key + "\t");
  if (at == std::string::npos) return "";
  at += key.size() + 2;
  return text.substr(at, text.find('\n', at) - at);
}

// The event facts of a file's header.
AltusEvtInfo header_facts(const Bytes &file, int ismw) {
  std::vector<unsigned char> copy(file.begin(), file.end());
  unsigned char *p = copy.data();
  AltusEvtTag tag;
  int be = 0, size = 0, datasize = 0, nframes = 0;
  unsigned short chk = 0, sum = 0;
  AltusEvtFile fhdr;
  AltusEvtInfo info{};
  EXPECT_EQ(evt_readtag(nullptr, &p, copy.data() + copy.size(), &tag, &be, &size, &datasize, &chk),
            0);
  EXPECT_EQ(evt_readaltusfilehdr(nullptr, &p, copy.data() + copy.size(), &fhdr, size, be, ismw,
                                 &sum, &nframes),
            0);
  evt2info(&fhdr, &info);
  return info;
}

TEST(AltusDownload, EveryFileArrivesWholeOnceWithItsInformation) {
  Rig r;
  std::vector<Event> events = stock();
  r.new_sim(events);
  r.begin_session(false);
  EXPECT_EQ(r.download(), 0);
  EXPECT_EQ((int)r.dl->getevents_status, 0);
  EXPECT_EQ(r.dl->last_events_count, 4);
  // A second call finds nothing new and sends nothing more.
  EXPECT_EQ(r.download(), 0);
  EXPECT_EQ(r.sent(PKC_OPENFILE), 4);
  EXPECT_EQ(r.sent(PKC_GETEVENTSUMMARY), 4);
  ASSERT_EQ(r.handed.size(), 4u);
  ASSERT_EQ(r.evtinfo.size(), 4u);
  for (size_t i = 0; i < events.size(); i++) {
    const Event &e = events[i];
    SCOPED_TRACE(e.path);
    EXPECT_EQ(r.handed[i], e.path);  // oldest first
    Bytes want = r.sim->file_data(e.path);
    ASSERT_FALSE(want.empty());
    EXPECT_EQ(read_file(r.dir.file("events/dlA/" + e.saved)),
              std::string(want.begin(), want.end()));
    for (int c = 0; c < 3; c++) EXPECT_EQ(r.samples_of(e, c), r.expected(e, c)) << c;
    // The event information describes the file and its peaks.
    const std::string &info = r.evtinfo[i];
    std::string slashed = e.path;
    std::replace(slashed.begin(), slashed.end(), '\\', '/');
    EXPECT_EQ(info.rfind("dlA_" + slashed + " &Arr{\n", 0), 0u) << info;
    EXPECT_EQ(info_value(info, "evtfilesize"), std::to_string(want.size()));
    double t0 = kAltusEpoch + e.plan.start_time;
    EXPECT_EQ(std::stod(info_value(info, "time")), t0);
    EXPECT_EQ(std::stod(info_value(info, "triggertime")), t0 + 1.0);
    EXPECT_NEAR(std::stod(info_value(info, "duration")), (scans(e) - 1) / 100.0, 1e-5);
    EXPECT_EQ(info_value(info, "ft"), "no");
    std::vector<int32_t> s0 = r.expected(e, 0);
    auto hi = std::max_element(s0.begin(), s0.end());
    auto lo = std::min_element(s0.begin(), s0.end());
    char line[128];
    snprintf(line, sizeof line, "\tXX_STA_HN0 0 %.5f %d ", t0 + (hi - s0.begin()) / 100.0, *hi);
    EXPECT_NE(info.find(line), std::string::npos) << line << info;
    snprintf(line, sizeof line, " %.5f %d ", t0 + (lo - s0.begin()) / 100.0, *lo);
    EXPECT_NE(info.find(line), std::string::npos) << line << info;
    // The summary the datalogger sent tells what the file's header tells.
    const AltusDirTree *f = r.file(e.path);
    ASSERT_NE(f, nullptr);
    AltusEvtInfo h = header_facts(want, 0);
    const AltusEvtInfo &sm = f->eventinfo;
    EXPECT_EQ(sm.time, h.time);
    EXPECT_EQ(sm.triggertime, h.triggertime);
    EXPECT_EQ(sm.endtime, h.endtime);
    EXPECT_EQ(sm.samprate, h.samprate);
    EXPECT_EQ(sm.nsamp, h.nsamp);
    EXPECT_EQ(sm.nchan, h.nchan);
    EXPECT_EQ(sm.channel_bitmap, h.channel_bitmap);
    EXPECT_EQ(sm.ft, h.ft);
    for (int c = 0; c < 3; c++) {
      EXPECT_EQ(sm.chans[c].maxpeak, h.chans[c].maxpeak) << c;
      EXPECT_EQ(sm.chans[c].minpeak, h.chans[c].minpeak) << c;
      EXPECT_EQ(sm.chans[c].time_maxpeak, h.chans[c].time_maxpeak) << c;
      EXPECT_EQ(sm.chans[c].time_minpeak, h.chans[c].time_minpeak) << c;
      EXPECT_EQ(sm.chans[c].calib, h.chans[c].calib) << c;
      EXPECT_EQ(sm.chans[c].percent_maxpeak, h.chans[c].percent_maxpeak) << c;
    }
  }
  EXPECT_EQ(r.dl->stat.nevents_transfered, 4);
  EXPECT_NEAR(r.dl->lasttime, kAltusEpoch + events[3].plan.start_time + 2.49, 1e-6);
}

TEST(AltusDownload, MtWhitneyFilesWithTheLongHeader) {
  Rig r;
  std::vector<Event> events = {event("A:\\DATA\\MW0001.EVT", "MW0001.EVT", 0, 3, 1),
                               event("A:\\DATA\\MW0002.EVT", "MW0002.EVT", 1, 2, 0)};
  for (Event &e : events) e.plan.ismw = 1;
  r.new_sim(events);
  r.begin_session(false, "MtWhitney");
  EXPECT_EQ(r.download(), 0);
  EXPECT_EQ(r.handed, (std::vector<std::string>{events[0].path, events[1].path}));
  for (const Event &e : events) {
    Bytes b = r.sim->file_data(e.path);
    EXPECT_EQ(read_file(r.dir.file("events/dlA/" + e.saved)), std::string(b.begin(), b.end()));
    for (int c = 0; c < 3; c++) EXPECT_EQ(r.samples_of(e, c), r.expected(e, c)) << e.path << c;
  }
  ASSERT_EQ(r.evtinfo.size(), 2u);
  EXPECT_EQ(std::stod(info_value(r.evtinfo[1], "time")), kAltusEpoch + events[1].plan.start_time);
}

TEST(AltusDownload, DamagedTransfers) {
  struct Case {
    const char *name;
    Damage damage;
    int times, arg;
    int opens;      // OPENFILE requests for the damaged file
    int processed;  // its state afterwards
    bool handed;    // it reached the output, byte-equal
    int status;     // getevents_status
  } cases[] = {
      {"corrupt once: read again", Damage::CORRUPT, 1, 0, 2, 2, true, 0},
      {"corrupt for good: given up", Damage::CORRUPT, 0, 0, 2, 3, false, 0},
      {"truncated once: read again", Damage::TRUNCATE, 1, 1000, 2, 2, true, 0},
      // Three reads in each of the call's two passes.
      {"listed with a wrong size: read three times, left for later", Damage::WRONG_SIZE, 0, 7, 6, 1,
       false, 2},
      {"refused once: the list is rebuilt and the file read", Damage::REFUSE_OPEN, 1, 0, 2, 2, true,
       0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    Rig r;
    std::vector<Event> events = {event("A:\\DATA\\BAD.EVT", "BAD.EVT", 0, 3, 1),
                                 event("A:\\DATA\\GOOD.EVT", "GOOD.EVT", 1, 2, 0)};
    r.new_sim(events);
    r.sim->damage_file(events[0].path, c.damage, c.times, c.arg);
    r.begin_session(false);
    r.dl->alarm = 1;
    EXPECT_EQ(r.download(), 0);
    EXPECT_EQ(r.sim->opens(events[0].path), c.opens);
    ASSERT_NE(r.file(events[0].path), nullptr);
    EXPECT_EQ(r.file(events[0].path)->processed, c.processed);
    EXPECT_EQ((int)r.dl->getevents_status, c.status);
    EXPECT_EQ((int)r.dl->alarm,
              c.status == 2 ? 1 : 0);  // a download left incomplete is asked for again
    // The remaining file still comes.
    EXPECT_EQ(r.file(events[1].path)->processed, 2);
    std::vector<std::string> want = {events[1].path};
    if (c.handed) want.insert(want.begin(), events[0].path);
    EXPECT_EQ(r.handed, want);
    for (const Event &e : events) {
      bool in = std::find(want.begin(), want.end(), e.path) != want.end();
      Bytes b = r.sim->file_data(e.path);
      EXPECT_EQ(read_file(r.dir.file("events/dlA/" + e.saved)),
                in ? std::string(b.begin(), b.end()) : std::string())
          << e.path;
      for (int ch = 0; ch < 3; ch++)
        EXPECT_EQ(r.samples_of(e, ch), in ? r.expected(e, ch) : std::vector<int32_t>());
    }
  }
}

TEST(AltusDownload, NoEventTwiceAcrossARestart) {
  Rig r;
  std::vector<Event> events = stock();
  // The line drops in the middle of the second file.
  r.new_sim(events);
  r.sim->damage_file(events[1].path, Damage::DROP_LINE, 1, 3);
  r.begin_session(false);
  EXPECT_NE(r.download(), 0);
  EXPECT_EQ((int)r.dl->getevents_status, 2);
  EXPECT_EQ(r.handed, std::vector<std::string>{events[0].path});
  EXPECT_EQ(r.file(events[1].path)->processed, 1);
  r.end_session();

  // The program starts again from its state file; the datalogger still holds every file.
  r.new_sim(events);
  r.begin_session(true);
  ASSERT_EQ(r.dl->files_size, 4);
  EXPECT_EQ(r.dl->last_events_count, 4);
  EXPECT_EQ(r.download(), 0);
  EXPECT_EQ((int)r.dl->getevents_status, 0);
  EXPECT_EQ(r.sim->opens(events[0].path), 0);
  EXPECT_EQ(r.sent(PKC_GETEVENTSUMMARY), 0);  // every summary was published before
  EXPECT_EQ(r.handed, (std::vector<std::string>{events[0].path, events[1].path, events[2].path,
                                                events[3].path}));
  for (const Event &e : events) {
    SCOPED_TRACE(e.path);
    Bytes b = r.sim->file_data(e.path);
    EXPECT_EQ(read_file(r.dir.file("events/dlA/" + e.saved)), std::string(b.begin(), b.end()));
    for (int c = 0; c < 3; c++) EXPECT_EQ(r.samples_of(e, c), r.expected(e, c)) << c;
  }
  EXPECT_EQ(r.evtinfo.size(), 4u);
  // The entries restored without their event facts still give the end of the last event.
  EXPECT_NEAR(r.dl->lasttime, kAltusEpoch + events[3].plan.start_time + 2.49, 1e-6);
}

TEST(AltusDownload, ANameReusedForANewEventIsDownloaded) {
  Rig r;
  std::vector<Event> events = {stock()[0]};
  r.new_sim(events);
  r.begin_session(false);
  EXPECT_EQ(r.download(), 0);
  // The datalogger deletes the file and records a new event under the same name, then
  // one more.
  Event again = event(events[0].path.c_str(), events[0].saved.c_str(), 5, 4, 0);
  Event next = event("A:\\DATA\\EV0002.EVT", "EV0002.EVT", 6, 2, 1);
  ASSERT_EQ(r.sim->add_event(again.path, again.plan), 0);
  ASSERT_EQ(r.sim->add_event(next.path, next.plan), 0);
  EXPECT_EQ(r.download(), 0);
  EXPECT_EQ(r.handed, (std::vector<std::string>{events[0].path, again.path, next.path}));
  Bytes b = r.sim->file_data(again.path);
  EXPECT_EQ(read_file(r.dir.file("events/dlA/" + again.saved)), std::string(b.begin(), b.end()));
  for (const Event *e : {&events[0], &again, &next})
    for (int c = 0; c < 3; c++) EXPECT_EQ(r.samples_of(*e, c), r.expected(*e, c)) << c;
  EXPECT_EQ(r.evtinfo.size(), 3u);
}

TEST(AltusDownload, EventInProgressWaitsInFiveSecondSteps) {
  struct Case {
    double maxwait;
    int waits;
    const char *end;
  } cases[] = {{3.0, 1, "event in progress...giving up"}, {60.0, 2, "getevents: breaking out"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.maxwait);
    Rig r;
    r.new_sim({});
    // The datalogger counts an event that is still being written under A:\TMP.
    r.sim->record_event("A:\\DATA\\EV0001.EVT", event("", "", 0, 3, 1).plan, 1e9);
    r.sim->set_event_count(1);
    r.begin_session(false);
    r.dl->tmpfile_maxwaittime = c.maxwait;
    EXPECT_EQ(r.download(), 0);
    EXPECT_EQ(r.logged("event in progress...will wait"), c.waits);
    EXPECT_EQ(r.logged(c.end), 1);
    EXPECT_EQ(r.dl->files_size, 0);  // the file under TMP never enters the list
    EXPECT_EQ(r.sent(PKC_OPENFILE), 0);
  }
}

TEST(AltusDownload, NotReadyDriveAndRecordingAreaStayOut) {
  Rig r;
  std::vector<Event> events = stock();
  r.new_sim(events);
  r.sim->set_drive_status(1, 0x0400 | 0x0001);  // B: not ready, with another bit
  r.sim->record_event("A:\\DATA\\EV0009.EVT", event("", "", 9, 2, 1).plan, 1e9);
  r.begin_session(false);
  EXPECT_EQ(r.download(), 0);
  EXPECT_EQ(r.handed, (std::vector<std::string>{events[0].path, events[1].path, events[3].path}));
  EXPECT_EQ(r.dl->files_size, 3);
  EXPECT_EQ(r.logged("event in progress..."), 1);  // after the files, then a new pass
  EXPECT_EQ(r.sim->opens("A:\\TMP\\EV0009.EVT"), 0);
}

// A file system a datalogger should not have does not stop the download: a directory
// that will not open is skipped, a tree without end is cut at the walk's bounds, and
// names with control characters are saved and logged without them.
TEST(AltusDownload, HostileFileSystemsDoNotStopTheDownload) {
  struct Case {
    const char *what;
    const char *refused;  // a directory whose opening is refused, or none
    int fanout;           // an endless tree below B:\\DEEP (0: none)
    const char *name;     // an extra event's file name in A:\\DATA, or none
    const char *saved;    // its name once saved
    const char *logged;   // a line of the ring's log
  } cases[] = {
      {"a directory that will not open", "A:\\LOCKED", 0, nullptr, nullptr, nullptr},
      {"a tree without end", nullptr, 4, nullptr, nullptr, nullptr},
      {"a terminal escape in a name", nullptr, 0, "EV\x1b[9", "EV_[9.EVT",
       "Reading file A:\\DATA\\EV\\x1b[9.EVT"},
      {"a line break in a name", nullptr, 0, "EV\n8", "EV_8.EVT",
       "Reading file A:\\DATA\\EV\\n8.EVT"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    elog_flood_reset_all();  // each case's lines from the start
    Rig r;
    std::vector<Event> events = stock();
    if (c.name != nullptr)
      events.push_back(
          event((std::string("A:\\DATA\\") + c.name + ".EVT").c_str(), c.saved, 5, 2, 1));
    r.new_sim(events);
    if (c.refused != nullptr) {
      r.sim->add_dir(c.refused);
      r.sim->refuse_dir(c.refused);
    }
    if (c.fanout > 0) {
      r.sim->add_dir("B:\\DEEP");
      r.sim->set_endless_tree("B:\\DEEP", c.fanout);
    }
    r.begin_session(false);
    ElogCapture cap;
    {
      // The lines are checked one by one: they all pass the flood gate, as those of a
      // debug switch do, however many of one shape the fast clock puts in a minute.
      AltusDebugLines all_lines(true);
      EXPECT_EQ(r.download(), 0);
    }
    EXPECT_EQ((int)r.dl->getevents_status, 0);
    EXPECT_EQ(r.handed.size(), events.size());
    for (const Event &e : events)
      EXPECT_FALSE(read_file(r.dir.file("events/dlA/" + e.saved)).empty()) << e.saved;
    if (c.refused != nullptr) {
      EXPECT_TRUE(cap.contains("directory A:\\LOCKED\\ would not open, skipped.")) << cap.text();
    }
    if (c.fanout > 0) {
      EXPECT_TRUE(cap.contains("directories past 256 directories listed")) << cap.text();
    }
    if (c.logged != nullptr) {
      std::string all;
      for (const std::string &l : r.logs) all += l + "\n";
      EXPECT_EQ(r.logged(c.logged), 1) << all;
    }
    for (const std::string &l : r.logs) {
      for (char ch : l) EXPECT_GE((unsigned char)ch, 0x20) << l;
    }
  }
}

TEST(AltusDownload, FunctionalTestsAndAutomaticDeletion) {
  {
    SCOPED_TRACE("two functional tests after the first file, downloaded in the next pass");
    Rig r;
    std::vector<Event> events = {stock()[0]};
    r.new_sim(events);
    AltusSimEvtPlan ft = events[0].plan;
    ft.start_time += 7200;
    r.sim->set_ft_plan(ft);
    r.begin_session(false);
    r.dl->test = 2;
    EXPECT_EQ(r.download(), 0);
    EXPECT_EQ(r.sent(PKC_FT), 2);
    EXPECT_EQ(r.sim->ft_events(), 2);
    EXPECT_EQ(r.handed,
              (std::vector<std::string>{events[0].path, "A:\\FT0001.EVT", "A:\\FT0002.EVT"}));
    ASSERT_EQ(r.evtinfo.size(), 3u);
    EXPECT_EQ(info_value(r.evtinfo[0], "ft"), "no");
    EXPECT_EQ(info_value(r.evtinfo[1], "ft"), "yes");
    EXPECT_EQ(info_value(r.evtinfo[2], "ft"), "yes");
  }
  {
    SCOPED_TRACE("automatic deletion of each file handed out");
    Rig r;
    std::vector<Event> events = {stock()[0], stock()[1]};
    r.new_sim(events);
    r.sim->damage_file(events[1].path, Damage::CORRUPT);
    r.begin_session(false);
    r.dl->auto_delete = 1;
    EXPECT_EQ(r.download(), 0);
    EXPECT_FALSE(r.sim->exists(events[0].path));
    EXPECT_TRUE(r.sim->exists(events[1].path));  // never handed out: kept
    EXPECT_EQ(r.logged("Deleting file " + events[0].path), 1);
    EXPECT_EQ(r.sent(PKC_DELETEFILE), 1);
  }
}

}  // namespace
