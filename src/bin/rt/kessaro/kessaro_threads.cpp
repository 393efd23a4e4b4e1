// kessaro_threads.cpp - the write, status and data-rate threads and the program stash.
#include "kessaro_threads.h"

#include <unistd.h>

#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "altuscomsubs_log.h"
#include "altuscomsubs_output.h"
#include "altuscomsubs_stream.h"  // AltusStreamState
#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pmtfifo.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "kessaro.h"
#include "packet/pkt.h"
#include "ring/orb.h"
#include "support/pfstring.h"

namespace {

// The dataloggers in target-name order (the list is the caller's: freetbl(t, nullptr)).
Tbl *dataloggers(Kessaro *altus) {
  return altus->dltargets_array ? valsarr(altus->dltargets_array) : newtbl(0);
}

// A link's byte total: the count below 10^9 plus its carries.
uint64_t link_total(unsigned low, unsigned gig) {
  return (uint64_t)gig * 1000000000ull + (uint64_t)low;
}

// A link's byte totals and the start of its connection, taken together from its thread.
struct LinkCounts {
  uint64_t read, written;
  double since;
};
LinkCounts link_counts(Modem *modem) {
  std::lock_guard<KessaroMutex> g(modem->count_mutex);
  return {link_total(modem->nbread, modem->nbread_gig),
          link_total(modem->nbwrite, modem->nbwrite_gig), modem->connect_time};
}

const char *code_text(int code, const char *const *texts, int n, const char *other) {
  return code >= 0 && code < n ? texts[code] : other;
}

// A drive word as bytes: the low 10 bits scaled by the unit its bits name. False when
// the drive is not ready.
bool drive_bytes(unsigned word, uint64_t *bytes) {
  uint64_t n = word & 0x3FFu;
  if (word & 0x400u) return false;
  if (word & 0x800u) {
    n <<= 10;
  } else if (word & 0x1000u) {
    n <<= 20;
  } else if (word & 0x2000u) {
    n <<= 30;
  }
  *bytes = n;
  return true;
}

void add_drive(std::string &out, const char *key, unsigned word) {
  uint64_t bytes = 0;
  if (drive_bytes(word, &bytes)) {
    string_appendf(out, "%s %" PRIu64 "\n", key, bytes);
  } else {
    string_appendf(out, "%s nr\n", key);
  }
}

// The time of the more recent of the two last GPS locks, seconds since 1970.
double last_gps_lock(const AltusBlockParams &p) {
  uint32_t t = p.ro_timing.gpsLastLockTime[0];
  if (p.ro_timing.gpsLastLockTime[1] > t) t = p.ro_timing.gpsLastLockTime[1];
  double base = 0;
  altustime2epoch(0, &base);
  return base + (double)t;
}

// Everything of one datalogger's block after its first four lines.
void add_datalogger_state(Kessaro *altus, AltusDatalogger *dl, double now, std::string &out) {
  static const char *const com_texts[] = {"dis", "dial", "mdm", "mon", "blk", "rbt", "monhang"};
  static const char *const lcom_texts[] = {"-", "dial", "mdm", "mon", "blk", "rbt", "monhang"};
  static const char *const strm_texts[] = {"idl", "post", "str",  "run", "stp",
                                           "nch", "fls",  "paus", "dis"};
  Modem *modem = dl->connected_modem;  // read once: a link thread may change it
  int stream_status = dl->stream_status;
  int com_mode, lcom;  // the link thread changes them under the status lock
  {
    std::lock_guard<KessaroMutex> status_lock(altus->status_mutex);
    com_mode = dl->com_mode;
    lcom = dl->lcom;
  }

  if (modem != nullptr) {
    out += com_mode == ALTUS_COM_BLOCKMODE ? "con yes\n" : "con su\n";
    std::lock_guard<KessaroMutex> address(modem->address_mutex);  // com may be re-targeted
    string_appendf(out, "inp %s\n", modem->com);
  } else {
    out += (dl->auto_stream || stream_status != STRSTATUS_IDLE) ? "con no\n" : "con waiting\n";
    out += "inp none\n";
  }
  string_appendf(out, "com %s\n", code_text(com_mode, com_texts, 7, "none"));
  string_appendf(out, "lcom %s\n", code_text(lcom, lcom_texts, 7, "none"));
  string_appendf(out, "strm %s\n", code_text(stream_status, strm_texts, 9, "none"));
  string_appendf(out, "pkce %d\npkse %d\n", (int)dl->dataerrors_chksum, (int)dl->dataerrors_size);
  if (modem != nullptr) {
    string_appendf(out, "dr %d\n", (int)(dl->datarate.load() + 0.5));
    const LinkCounts counts = link_counts(modem);
    string_appendf(out, "byrd %.1f\n", (double)counts.read);
    string_appendf(out, "bywr %.1f\n", (double)counts.written);
  } else {
    out += "dr 0\nbyrd 0\nbywr 0\n";
  }

  std::lock_guard<KessaroMutex> status_lock(altus->status_mutex);
  {
    std::lock_guard<KessaroMutex> state_lock(altus->statefile_mutex);
    Modem *status_modem = dl->connected_modem_status;
    if (status_modem != nullptr) {
      const char *arrow = status_modem->mode == MODEM_MODE_DIALIN    ? "->"
                          : status_modem->mode == MODEM_MODE_DIALOUT ? "<-"
                                                                     : "";
      std::string name = std::string(arrow) + (status_modem->name ? status_modem->name : "");
      kessaro_copytext(dl->last_connected_modem, name.c_str());
      string_appendf(out, "modem %s\n", dl->last_connected_modem);
    } else if (dl->last_connected_modem[0] != '\0') {
      string_appendf(out, "modem *%s\n", dl->last_connected_modem);
    } else {
      out += "modem -\n";
    }
    // The event download replaces the file list under the state-file lock.
    if (dl->last_listing_time != 0.0) {
      int up = 0, corrupt = 0;
      for (int i = 0; i < dl->files_size && dl->files != nullptr; i++) {
        if (dl->files[i].processed < ALTUS_FILE_OUTPUT) up++;
        if (dl->files[i].processed == ALTUS_FILE_CORRUPT) corrupt++;
      }
      string_appendf(out, "evfl %d\nevup %d\nevcr %d\n", dl->files_size, up, corrupt);
    } else {
      out += "evfl -1\nevup -1\nevcr -1\n";
    }
  }

  string_appendf(out, "btm %.3f\nmtm %.3f\nltm %.3f\n", dl->last_blockmode_time,
                 dl->last_monitormode_time, dl->last_listing_time);
  double data_time, stream_data_time;
  {
    std::lock_guard<KessaroMutex> output_lock(dl->output_time_mutex);
    data_time = dl->last_data_time;
    stream_data_time = dl->last_stream_data_time;
  }
  string_appendf(out, "ctm %.3f\netm %.3f\ndetm %.3f\ndstm %.3f\n",
                 dl->last_connection_attempt_time, dl->last_connection_ended_time, data_time,
                 stream_data_time);
  if (data_time == 0.0 && stream_data_time == 0.0) {
    out += "dlt -\n";
  } else {
    double last = data_time > stream_data_time ? data_time : stream_data_time;
    string_appendf(out, "dlt %.3f\n", now - last);
  }
  if (dl->order_output_data) {
    string_appendf(out, "dg %.3f\n", dl->data_gap_time.load());
  } else {
    dl->data_gap_time = 0.0;
    out += "dg -\n";
  }

  if (dl->last_params_time == 0.0) {
    out +=
        "slt -\nnc -\nlat -\nlon -\nelev -\ndt -\ndv -\ndvs -\nclt -\nclq -\ngps -\ngpss -\n"
        "dra -\ndrb -\n";
    return;
  }
  const AltusBlockParams &p = dl->last_params;
  string_appendf(out, "slt %.1f\n", now - dl->last_params_time);
  string_appendf(out, "nc %d\n", (int)p.rw_misc.nchannels);
  string_appendf(out, "lat %.4f\nlon %.4f\n", (double)p.rw_misc.latitude,
                 (double)p.rw_misc.longitude);
  string_appendf(out, "elev %.4f\n", p.rw_misc.elevation * 0.001);
  string_appendf(out, "dt %.1f\n", p.ro_misc.temperature * 0.1);
  string_appendf(out, "dv %.1f\n", std::fabs(p.ro_misc.batteryVoltage * 0.1));
  out += p.ro_misc.batteryVoltage < 0 ? "dvs c\n" : "dvs d\n";
  double lock = last_gps_lock(p);
  if (stream_status == STRSTATUS_RUNNING || dl->com_mode == ALTUS_COM_BLOCKMODE) {
    dl->last_clock_latency = now - lock;
    string_appendf(out, "clt %.1f\n", dl->last_clock_latency);
  } else {
    string_appendf(out, "clt %.1f\n", -dl->last_clock_latency);
  }
  static const char *const clq_texts[] = {"cs", "k", "ex", "g"};
  string_appendf(out, "clq %s\n", code_text(p.ro_timing.clockSource, clq_texts, 4, "-"));
  unsigned gps = p.ro_timing.gpsStatus;
  if (!(gps & 0x02u)) {
    out += "gps nb\ngpss nb\n";
  } else if (gps & 0x20u) {
    out += (gps & 0x10u) ? "gps U\n" : "gps L\n";
    out += "gpss on\n";
  } else {
    out += now - lock < 86400.0 ? "gps lf\n" : "gps off\n";
    out += "gpss off\n";
  }
  if (dl->status_time != 0.0) {
    string_appendf(out, "evts %d\nrers %d\n", (int)dl->status.events,
                   (int)dl->status.recordingErrors);
    add_drive(out, "dra", dl->status.driveStatus[0]);
    add_drive(out, "drb", dl->status.driveStatus[1]);
  } else {
    out += "evts -\nrers -\ndra -\ndrb -\n";
  }
}

}  // namespace

// ---- write thread ----

void *altus_write_thread(void *arg) {
  auto *altus = static_cast<Kessaro *>(arg);
  for (;;) {
    if (altus->kill == KESSARO_KILL_REQUESTED && pmtfifo_data_available(altus->mtfifo_write) <= 0)
      break;
    void *item = nullptr;
    int rc = pmtfifo_pop(altus->mtfifo_write, &item);
    if (rc == PMTFIFO_RELEASED) break;  // nothing can come any more
    if (rc == PMTFIFO_EMPTY) {          // a non-blocking fifo
      clock_sleep(0.1);
      continue;
    }
    if (rc == PMTFIFO_TIMEOUT) continue;
    if (rc != PMTFIFO_TAKEN) elog_die(0, "altus_write_thread: pmtfifo_pop() error.\n");
    auto *pkt = static_cast<AltusPacket *>(item);
    if (pkt == nullptr) continue;  // the stopper's wake-up
    switch (pkt->type) {
      case ALTUSPKT_EVTFILE:
        repackage_event_pkt(altus, pkt);
        break;
      case ALTUSPKT_STREAM:
        repackage_stream_pkt(altus, pkt);
        break;
      case ALTUSPKT_LOG:
      case ALTUSPKT_STOP:
        output_log_msg(altus, pkt);
        break;
      case ALTUSPKT_EVTINFO:
      case ALTUSPKT_STATUS:
        output_pf(altus, pkt);
        break;
      default:
        break;
    }
    altuspacket_free(pkt);
  }
  altus->kill = KESSARO_KILL_WRITER_ENDED;
  return nullptr;
}

int altus_write_thread_stop(Kessaro *altus) {
  altus->kill = KESSARO_KILL_REQUESTED;
  if (pmtfifo_push(altus->mtfifo_write, nullptr) != 0) {
    elog_complain(0, "altus_write_thread_stop: pmtfifo_push() error.\n");
  }
  // Up to 100 s for the thread to end; its `kill` 2 signals kessaro_wake (kessaro_new).
  return kessaro_wait_for([altus] { return altus->kill == KESSARO_KILL_WRITER_ENDED; },
                          clock_monotonic() + 100.0)
             ? 0
             : -1;
}

// ---- status thread ----

char *altus_make_status(Kessaro *altus) {
  double now = clock_now();
  int itvl = (int)(altus->status_interval.load() + 0.5);
  if (itvl < 1) itvl = 1;
  std::string out;
  string_appendf(out, "target %s\n", altus->targetname ? altus->targetname : "");
  string_appendf(out, "orbc %s\n", altus->cmd && altus->cmd->orbname ? altus->cmd->orbname : "");
  string_appendf(out, "hostname %s\n", altus->hostname ? altus->hostname : "");
  string_appendf(out, "pid %d\nitvl %d\ntype dl\nmodel altus\ndls &Arr{\n", (int)getpid(), itvl);
  Tbl *dls = dataloggers(altus);
  bool shutdown = altus->status_report_shutdown != 0;
  for (long i = 0; i < maxtbl(dls); i++) {
    auto *dl = static_cast<AltusDatalogger *>(gettbl(dls, i));
    string_appendf(out, "%s &Arr{\n", dl->target_name ? dl->target_name : "");
    string_appendf(out, "time %.3f\nmtype %s\nsn %d\n", now, dl->model, dl->serial);
    if (shutdown) {
      out += "con nr\ninp -\nnc -\n";
    } else {
      add_datalogger_state(altus, dl, now, out);
    }
    out += "}\n";
  }
  freetbl(dls, nullptr);
  out += "}\n";
  char *text = strdup(out.c_str());
  if (text == nullptr) elog_log(1, "altus_make_status: strdup() error.\n");
  return text;
}

void *altus_status_report(void *arg) {
  auto *altus = static_cast<Kessaro *>(arg);
  altuscom_log_message(nullptr, nullptr, 1, "Starting status report thread\n");
  double last = 0.0;
  // After the halt the thread stays while the shutdown runs, to send its last report.
  while (kessaro_halt.load() == 0 || altus->stopping) {
    unsigned long seen = clock_event_seen(&kessaro_wake);
    double now = clock_now();
    double interval = altus->status_interval.load();
    if (!altus->status_report_now && (interval <= 0.0 || now - last < interval)) {
      // The next report is due when the interval has passed; a request, a new interval and
      // the halt signal kessaro_wake.
      double due = interval > 0.0 ? clock_monotonic() + (last + interval - now) : HUGE_VAL;
      clock_event_wait(&kessaro_wake, seen, due);
      continue;
    }
    last = now;
    char *text = altus_make_status(altus);
    if (text == nullptr) {
      elog_complain(0, "altus_status_report: altus_make_status() error.\n");
      continue;
    }
    int n = (int)strlen(text) + 1;
    if (altuscom_push_data(ALTUSPKT_STATUS, nullptr, nullptr, clock_now(), altus->status_srcname,
                           reinterpret_cast<unsigned char *>(text), n) < 0) {
      elog_complain(0, "altus_status_report: altuscom_push_data() error.\n");
      free(text);
    }
    bool last_report = altus->status_report_shutdown != 0;
    altus->status_report_now = 0;
    if (last_report) break;
  }
  return nullptr;
}

// ---- data-rate thread ----

void altus_datarate_update(Kessaro *altus) {
  Tbl *dls = dataloggers(altus);
  for (long i = 0; i < maxtbl(dls); i++) {
    auto *dl = static_cast<AltusDatalogger *>(gettbl(dls, i));
    Modem *modem = dl->connected_modem;
    if (modem == nullptr) {
      dl->datarate = 0.0;
      dl->datarate_time = 0.0;
      dl->datarate_nbread = dl->datarate_nbwrite = 0;
      continue;
    }
    double now = clock_now();
    const LinkCounts counts = link_counts(modem);
    uint64_t rd = counts.read;
    uint64_t wr = counts.written;
    uint64_t bytes = rd + wr;
    double since = counts.since;
    if (dl->datarate_time != 0.0) {
      uint64_t before = dl->datarate_nbread + dl->datarate_nbwrite;
      // Totals below the last pass belong to a new connection: count them whole.
      if (bytes >= before) bytes -= before;
      since = dl->datarate_time;
    }
    dl->datarate = now > since ? 8.0 * (double)bytes / (now - since) : 0.0;
    dl->datarate_time = now;
    dl->datarate_nbread = rd;
    dl->datarate_nbwrite = wr;
  }
  freetbl(dls, nullptr);
}

void *altus_datarate(void *arg) {
  auto *altus = static_cast<Kessaro *>(arg);
  int interval = (int)(altus->datarate_interval + 0.5);
  if (interval < 1) interval = 1;
  while (kessaro_halt.load() == 0) {
    altus_datarate_update(altus);
    // The interval's pause, ended early by the halt.
    kessaro_wait_for([] { return kessaro_halt.load() != 0; }, clock_monotonic() + interval);
  }
  return nullptr;
}

// ---- program stash ----

int make_program_stash(Kessaro *altus) {
  const char *srcname = altus->status_srcname ? altus->status_srcname : "";
  char *pftext = altus->pf ? my_pf2string(altus->pf) : strdup("");
  if (pftext == nullptr) {
    elog_complain(0, "make_program_stash: my_pf2string() error for srcname %s.\n", srcname);
    return -1;
  }
  std::string text = "commandline &Literal{\n";
  text += altus->commandline ? altus->commandline : "";
  text += "}\nkessaro.pf &Arr{\n";
  text += pftext;
  text += "}\n";
  free(pftext);
  char *packet = nullptr;
  int nbytes = 0, bufsize = 0;
  if (stuffStashPkt(text.c_str(), (int)text.size() + 1, &packet, &nbytes, &bufsize) < 0) {
    elog_complain(0, "make_program_stash: stuffStashPkt() error for srcname %s.\n", srcname);
    free(packet);
    return -1;
  }
  orbput(altus->status ? altus->status->orbw : -1, srcname, clock_now(), packet, nbytes);
  elog_clear_register(0);
  free(packet);
  return 0;
}
