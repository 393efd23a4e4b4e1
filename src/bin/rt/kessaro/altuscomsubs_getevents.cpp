// Event download, the datalogger's event-file list and the datalogger file commands.
// See altuscomsubs_getevents.h.
#include "altuscomsubs_getevents.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "altuscom_hooks.h"
#include "altuscomsubs_blockops.h"
#include "altuscomsubs_connect.h"
#include "altuscomsubs_evtinfo.h"
#include "altuscomsubs_getblock.h"
#include "altuscomsubs_log.h"
#include "altuscomsubs_output.h"
#include "altusevtsubs.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/textutil.h"
#include "base/timetext.h"

namespace {

bool halted() { return kessaro_halt.load() != 0; }

std::string owned(char *p) {
  std::string s = p ? p : "";
  free(p);
  return s;
}

// Tag plus parameter header: nothing shorter can hold an event.
int min_evt_size(const AltusDatalogger *dl) {
  return strcmp(dl->model, "MtWhitney") == 0 ? 2752 : 2056;
}

bool is_tmp_path(const char *p) {
  return strncmp(p, "A:\\TMP\\", 7) == 0 || strncmp(p, "B:\\TMP\\", 7) == 0;
}

// Drive not ready: the datalogger cannot list it.
constexpr int ALTUS_DRIVE_NOT_READY = 0x0400;

bool drive_not_ready(Kessaro *altus, AltusDatalogger *dl, int drive) {
  std::lock_guard<KessaroMutex> g(altus->status_mutex);
  return (dl->status.driveStatus[drive] & ALTUS_DRIVE_NOT_READY) != 0;
}

// The same file on the datalogger: a name reused for a new event has another time or size.
bool same_file(const AltusDirTree &a, const AltusDirTree &b) {
  return strcmp(a.pathname, b.pathname) == 0 && std::fabs(a.time - b.time) < 0.0005 &&
         a.size == b.size;
}

bool is_directory(const AltusDirTree &e) { return (e.attr & 0x10) != 0 && e.size == 0; }

int compare_qsort(const void *a, const void *b) { return altusdirt_compare(a, b); }

// The end time of the event in a checked file, from its header: an entry restored from
// the state file has no event facts of its own. 0.0 when the header cannot be read.
double file_endtime(unsigned char *fbuf, int nbytes, int ismw) {
  unsigned char *p = fbuf;
  const unsigned char *end = fbuf + nbytes;
  AltusEvtTag tag;
  int be = 0, size = 0, datasize = 0, nframes = 0;
  unsigned short chk = 0, sum = 0;
  AltusEvtFile fhdr;
  AltusEvtInfo info;
  if (evt_readtag(nullptr, &p, end, &tag, &be, &size, &datasize, &chk) < 0 ||
      evt_readaltusfilehdr(nullptr, &p, end, &fhdr, size, be, ismw, &sum, &nframes) < 0) {
    elog_clear_register(0);
    return 0.0;
  }
  evt2info(&fhdr, &info);
  return info.endtime;
}

}  // namespace

int altusdirt_compare(const void *a, const void *b) {
  const AltusDirTree *x = static_cast<const AltusDirTree *>(a);
  const AltusDirTree *y = static_cast<const AltusDirTree *>(b);
  if (x->time > y->time) return 1;
  if (x->time < y->time) return -1;
  return 0;
}

namespace {

// The walk to the caller when it asked for one, else freed.
void give_walk(AltusDirTree *walk, int n, AltusDirTree **dirtree, int *dirtree_n) {
  if (dirtree && dirtree_n) {
    *dirtree = walk;
    *dirtree_n = n;
  } else {
    free(walk);
  }
}

// The walk of both drives (a drive not ready is left out) into *walk; *stopped when the
// program halts on the way. 0, or a result of block_readdirtree (the walk freed).
int walk_drives(Kessaro *altus, AltusDatalogger *dl, Modem *modem, SerialBuf *buf, int dirents,
                unsigned char *seqno, AltusDirTree **walk, int *n, bool *stopped) {
  int cap = 0;
  for (int drive = 0; drive < 2; drive++) {
    if (drive_not_ready(altus, dl, drive)) continue;
    if (halted()) {
      *stopped = true;
      return 0;
    }
    char root[8];
    snprintf(root, sizeof root, "%c:\\", drive == 0 ? 'A' : 'B');
    altuscom_log_message(modem, dl, 0, "get_dirtree: read directory tree for %s\n", root);
    int r = block_readdirtree(buf, root, seqno, dirents, walk, n, &cap, modem, dl, 1);
    if (r != 0) {
      free(*walk);
      *walk = nullptr;
      altuscom_log_complain(modem, dl, 1, 0, "get_dirtree: block_readdirtree() error.");
      return r;
    }
  }
  return 0;
}

// The datalogger's event-file list from a walk: event files outside the recording area,
// oldest first. An old entry's state carries over only for the very same file. The
// number of files, or -1 when out of memory (the list unchanged).
int update_event_files(Kessaro *altus, AltusDatalogger *dl, Modem *modem, const AltusDirTree *walk,
                       int n) {
  std::vector<AltusDirTree> kept;
  for (int i = 0; i < n; i++) {
    if (!walk[i].event || is_tmp_path(walk[i].pathname)) continue;
    kept.push_back(walk[i]);
    for (int j = 0; j < dl->files_size; j++) {
      if (same_file(dl->files[j], walk[i])) {
        kept.back() = dl->files[j];
        break;
      }
    }
  }
  AltusDirTree *files = nullptr;
  if (!kept.empty()) {
    size_t bytes = kept.size() * sizeof(AltusDirTree);
    files = static_cast<AltusDirTree *>(malloc(bytes));
    if (files == nullptr) {
      altuscom_log_complain(modem, dl, 1, 0, "get_dirtree: malloc(files,%ld) error.",
                            static_cast<long>(bytes));
      return -1;
    }
    memcpy(files, kept.data(), bytes);
    qsort(files, kept.size(), sizeof(AltusDirTree), compare_qsort);
  }
  std::lock_guard<KessaroMutex> g(altus->statefile_mutex);
  free(dl->files);
  dl->files = files;
  dl->files_size = static_cast<int>(kept.size());
  return static_cast<int>(kept.size());
}

// Marks how far an event file is worked (and, with an end time, the end of the last event
// output) under the state file's lock, which the state-file writer reads them under.
void mark_processed(Kessaro *altus, AltusDatalogger *dl, AltusDirTree &f, int stage,
                    const double *lasttime = nullptr) {
  std::unique_lock<KessaroMutex> g;
  if (altus != nullptr) g = std::unique_lock<KessaroMutex>(altus->statefile_mutex);
  f.processed = stage;
  if (lasttime != nullptr) dl->lasttime = *lasttime;
}

}  // namespace

int get_dirtree(AltusDatalogger *dl, Modem *modem, Pf *cmd, char *path, int dirents,
                unsigned char *seqno, AltusDirTree **dirtree, int *dirtree_n) {
  if (dirtree) *dirtree = nullptr;
  if (dirtree_n) *dirtree_n = 0;
  Kessaro *altus = static_cast<Kessaro *>(dl->userdata);
  SerialBuf *buf = modem ? modem->buf_handle : nullptr;
  if (buf == nullptr) {
    altuscom_log_complain(modem, dl, 1, 0, "get_dirtree: datalogger not connected.\n");
    return 6;
  }
  AltusDirTree *walk = nullptr;
  int n = 0, cap = 0;
  if (path) {
    altuscom_log_message(modem, dl, 0, "get_dirtree: read directory tree for %s\n", path);
    int r = block_readdirtree(buf, path, seqno, dirents, &walk, &n, &cap, modem, dl, 1);
    if (r != 0) {
      free(walk);
      altuscom_log_complain(modem, dl, 1, 0, "get_dirtree: block_readdirtree() error.");
      return r;
    }
    give_walk(walk, n, dirtree, dirtree_n);
    return 0;
  }
  bool stopped = false;
  int r = walk_drives(altus, dl, modem, buf, dirents, seqno, &walk, &n, &stopped);
  if (r != 0) return r;
  if (stopped) {
    free(walk);
    return 0;
  }
  {
    // The status report and the state file read it under the status lock.
    std::unique_lock<KessaroMutex> g;
    if (altus != nullptr) g = std::unique_lock<KessaroMutex>(altus->status_mutex);
    dl->last_listing_time = clock_now();
  }
  const int nfiles = update_event_files(altus, dl, modem, walk, n);
  if (nfiles < 0) {
    free(walk);
    return -1;
  }
  if (nfiles == 0) {
    altuscom_log_message(modem, dl, 0, "get_dirtree: No events found");
    altuscom_progress(dl, cmd, "No events found");
  }
  altuscom_write_state(altus);
  give_walk(walk, n, dirtree, dirtree_n);
  return 0;
}

namespace {

// A datalogger's file name as log lines and replies show it: control characters escaped.
std::string shown(const char *pathname) { return elog_escape(pathname, true); }

// One call of the event download.
struct Download {
  Kessaro *altus;
  AltusDatalogger *dl;
  Modem *modem;
  Pf *cmd;
  SerialBuf *buf;
  unsigned char seqno = 0;
  int minsize = 0;
  int ismw = 0;
  int nft = 0;
  bool first_wait = true;
  double wait_start = 0.0;
  int old_count = 0;
  int reopen_rebuilds = 0;
  bool incomplete = false;

  __attribute__((format(printf, 2, 3))) void msg(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = string_vprintf(fmt, ap);
    va_end(ap);
    altuscom_log_message(modem, dl, 0, "%s", text.c_str());
  }
  __attribute__((format(printf, 2, 3))) void complain(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = string_vprintf(fmt, ap);
    va_end(ap);
    altuscom_log_complain(modem, dl, 1, 0, "%s", text.c_str());
  }

  int stored_events() {
    std::lock_guard<KessaroMutex> g(altus->status_mutex);
    return dl->status.events;
  }
  bool event_in_progress() {
    std::lock_guard<KessaroMutex> g(altus->status_mutex);
    return (dl->status.triggerStatus & 0x02) != 0;
  }

  // Files a later call still has to summarise or hand out.
  int outstanding() const {
    int k = 0;
    for (int i = 0; i < dl->files_size; i++) {
      const AltusDirTree &f = dl->files[i];
      if (f.processed == ALTUS_FILE_SUMMARISED ||
          (f.processed == ALTUS_FILE_LISTED && f.size >= minsize))
        k++;
    }
    return k;
  }
  int unprocessed() const {
    int k = 0;
    for (int i = 0; i < dl->files_size; i++)
      if (dl->files[i].processed <= 1) k++;
    return k;
  }

  int transact(int command, void *data, void **out, int *outsize) {
    int r = get_block(buf, command, data, &seqno, out, outsize, 0, modem, dl);
    seqno++;
    return r;
  }

  int getstatus(AltusBlockStatus *st) {
    void *out = nullptr;
    int outsize = 0;
    int r = transact(PKC_GETSTATUS, nullptr, &out, &outsize);
    if (r == 0 && (out == nullptr || outsize != static_cast<int>(sizeof *st))) r = -1;
    if (r == 0) memcpy(st, out, sizeof *st);
    free(out);
    return r;
  }

  // Listens 5 s for whatever the datalogger sends (stream packets go to their handler).
  void listen5() {
    int saved = buf->timeout;
    buf->timeout = 5000;
    void *out = nullptr;
    int outsize = 0;
    get_block(buf, 255, nullptr, &seqno, &out, &outsize, 0, modem, dl);
    free(out);
    elog_clear_register(0);
    seqno++;
    buf->timeout = saved;
  }

  // Summaries. 0, or -1 when one could not be fetched.
  int summaries() {
    bool fetched = false;
    int result = 0;
    for (int i = 0; i < dl->files_size && !halted(); i++) {
      AltusDirTree &f = dl->files[i];
      if (f.processed != ALTUS_FILE_LISTED) continue;
      if (f.size < minsize) {
        msg("getevents: short event file %s (%d bytes)..skipping", shown(f.pathname).c_str(),
            f.size);
        continue;
      }
      void *out = nullptr;
      int outsize = 0;
      int r = transact(PKC_GETEVENTSUMMARY, f.pathname, &out, &outsize);
      if (r == 0 && (out == nullptr || outsize != static_cast<int>(sizeof f.eventsummary))) r = -1;
      if (r != 0) {
        free(out);
        complain("getevents: get_block(GETEVENTSUMMARY) error for file %s",
                 shown(f.pathname).c_str());
        result = -1;
        break;
      }
      memcpy(&f.eventsummary, out, sizeof f.eventsummary);
      free(out);
      eventsummary2info(&f.eventsummary, &f.eventinfo);
      push_event_summary(altus, dl, i);
      mark_processed(altus, dl, f, ALTUS_FILE_SUMMARISED);
      fetched = true;
      const AltusEvtInfo &ev = f.eventinfo;
      msg("%-24.24s %s %6.2f %6d %s", shown(f.pathname).c_str(), owned(eustrtime(ev.time)).c_str(),
          ev.samprate, ev.nsamp, owned(strtdelta(ev.endtime - ev.time)).c_str());
      if (ev.ft)
        msg("            trigger time %s - functional test",
            owned(eustrtime(ev.triggertime)).c_str());
      else
        msg("            trigger time %s", owned(eustrtime(ev.triggertime)).c_str());
      for (int j = 0; j < ev.nchan && j < ALTUS_MAXCHAN; j++) {
        const AltusEvtInfoChan &c = ev.chans[j];
        // The peaks are fractions of full scale; the lines print per cent.
        msg("         channel[%2.2d] max %s %10d %8.3f%% %8.4fg", j,
            owned(eustrtime(c.time_maxpeak)).c_str(), c.maxpeak, c.percent_maxpeak * 100.0,
            c.g_maxpeak);
        msg("                     min %s %10d %8.3f%% %8.4fg",
            owned(eustrtime(c.time_minpeak)).c_str(), c.minpeak, c.percent_minpeak * 100.0,
            c.g_minpeak);
      }
    }
    if (fetched) altuscom_write_state(altus);
    return result;
  }

  enum FileLoop { FILES_DONE, FILES_NEXT_PASS, FILES_REBUILD, FILES_FAILED, FILES_HALT };

  void functional_tests() {
    while (nft < dl->test && !halted()) {
      void *out = nullptr;
      int outsize = 0;
      if (transact(PKC_FT, nullptr, &out, &outsize) != 0)
        complain("getevents: get_block() error.\n");
      free(out);
      nft++;
      clock_sleep(10.0);
    }
  }

  // A read that failed: an open the datalogger refuses rebuilds the listing (three times
  // in one call; then the file is left for the next call), anything else ends the call.
  FileLoop read_failed(const AltusDirTree &f, int r, int nbytes) {
    if (r == ALTUS_OPENFILE_REFUSED) {
      if (reopen_rebuilds < 3) {
        reopen_rebuilds++;
        msg("getevents: Unable to open %s...Regenerating the directory listing",
            shown(f.pathname).c_str());
        return FILES_REBUILD;
      }
      // The listing keeps naming a file the datalogger cannot open: leave it for the
      // next call instead of rebuilding without end.
      complain("getevents: Unable to open %s...leaving it for the next download",
               shown(f.pathname).c_str());
      incomplete = true;
      return FILES_DONE;
    }
    complain("getevents: block_readfile(%s) error...read %d bytes", shown(f.pathname).c_str(),
             nbytes);
    return FILES_FAILED;
  }

  // A checked file goes out to the output pipeline, which takes fbuf over (freed here
  // when it refuses); the datalogger's copy is deleted when the datalogger is set so.
  FileLoop hand_out(AltusDirTree &f, unsigned char *fbuf, int nbytes) {
    double endtime = f.eventinfo.nsamp > 0 ? f.eventinfo.endtime : file_endtime(fbuf, nbytes, ismw);
    if (altuscom_push_data(ALTUSPKT_EVTFILE, modem, dl, 0.0, f.pathname, fbuf, nbytes) != 0) {
      free(fbuf);
      complain("getevents: altuscom_push_data() error for file %s", shown(f.pathname).c_str());
      return FILES_FAILED;
    }
    mark_processed(altus, dl, f, ALTUS_FILE_OUTPUT, &endtime);
    double now = clock_now();
    {
      std::lock_guard<KessaroMutex> g(dl->stat.status_mutex);
      dl->stat.lastgetevents_time = now;
      dl->lastgetevents_time = now;
      dl->stat.lastcom_error_rate =
          buf->packets > 0 ? static_cast<double>(buf->errors) / buf->packets : 0.0;
      dl->stat.nevents_transfered++;
    }
    altuscom_write_state(altus);
    if (dl->auto_delete) {
      msg("Deleting file %s", shown(f.pathname).c_str());
      altuscom_progress(dl, cmd, "Deleting file %s...\n", shown(f.pathname).c_str());
      char path[256];
      snprintf(path, sizeof path, "%s", f.pathname);
      if (block_delfile(buf, path, &seqno, modem, dl) != 0) elog_clear_register(0);
    }
    functional_tests();
    return FILES_DONE;
  }

  // Reads, checks and hands out one file. FILES_DONE to go on with the next.
  FileLoop one_file(int i) {
    int wrong_size = 0, corrupt = 0;
    for (;;) {
      AltusDirTree &f = dl->files[i];
      msg("Reading file %s (%d bytes)", shown(f.pathname).c_str(), f.size);
      altuscom_progress(dl, cmd, "Reading file %s (%d bytes)...\n", shown(f.pathname).c_str(),
                        f.size);
      char path[256];
      snprintf(path, sizeof path, "%s", f.pathname);
      unsigned char *fbuf = nullptr;
      int nbytes = 0, bufsize = 0;
      double start = clock_now();
      int r = block_readfile(buf, path, &seqno, &fbuf, &nbytes, &bufsize, f.size, modem, dl);
      if (r != 0) {
        free(fbuf);
        return read_failed(f, r, nbytes);
      }
      double secs = clock_now() - start;
      double rate = secs > 0.0 ? nbytes / secs : 0.0;
      msg("File %s read (%d bytes at %.1f bytes/sec)", shown(f.pathname).c_str(), nbytes, rate);
      altuscom_progress(dl, cmd, "File %s read (%d bytes at %.1f bytes/sec)\n",
                        shown(f.pathname).c_str(), nbytes, rate);
      bool whole = true;
      if (nbytes != f.size) {
        complain("getevents: Wrong size for file %s", shown(f.pathname).c_str());
        if (++wrong_size < 3) {
          free(fbuf);
          continue;
        }
        whole = false;
      }
      {
        std::lock_guard<KessaroMutex> g(dl->stat.status_mutex);
        dl->stat.lastgetevents_baud = rate * 10.0;
      }
      if (check_evt_file(fbuf, nbytes, ismw) != 0) {
        free(fbuf);
        if (++corrupt < 2) {
          complain("getevents: corrupt file %s...retrying read", shown(f.pathname).c_str());
          continue;
        }
        complain("getevents: corrupt file %s...giving up", shown(f.pathname).c_str());
        mark_processed(altus, dl, f, ALTUS_FILE_CORRUPT);
        altuscom_write_state(altus);
        functional_tests();
        return FILES_DONE;
      }
      if (!whole) {
        free(fbuf);
        incomplete = true;
        functional_tests();
        return FILES_DONE;
      }
      return hand_out(f, fbuf, nbytes);
    }
  }

  FileLoop files(int *attempted) {
    for (int i = 0; i < dl->files_size && !halted(); i++) {
      AltusDirTree &f = dl->files[i];
      if (f.processed == ALTUS_FILE_LISTED) {
        msg("%-24.24s No event info...skipping", shown(f.pathname).c_str());
        continue;
      }
      if (f.processed == ALTUS_FILE_OUTPUT) {
        msg("%-24.24s already processed", shown(f.pathname).c_str());
        continue;
      }
      if (f.processed == ALTUS_FILE_CORRUPT) {
        msg("%-24.24s corrupt file...skipping", shown(f.pathname).c_str());
        continue;
      }
      if (altuscom_run_commands(altus, dl) > 0) return FILES_NEXT_PASS;
      if (halted()) return FILES_HALT;
      if (dl->files[i].processed >= 2) continue;
      (*attempted)++;
      FileLoop r = one_file(i);
      if (r != FILES_DONE) return r;
    }
    return halted() ? FILES_HALT : FILES_DONE;
  }

  // The status, tried three times: 0, or -1.
  int status_with_retries(AltusBlockStatus *st) {
    for (int tries = 0;; tries++) {
      if (getstatus(st) == 0) return 0;
      if (tries < 2) {
        complain("getevents: get_block(ALTUS_PKC_STATUS,%s) error...retrying\n", modem->devname);
        continue;
      }
      complain("getevents: get_block(ALTUS_PKC_STATUS,%s) error\n", modem->devname);
      return -1;
    }
  }

  // One pass's work on the event files (the listing rebuilt first when `rebuild`): the
  // call's result, or nothing when another pass follows.
  std::optional<int> work_files(bool rebuild, bool in_progress) {
    int attempted = 0;
    for (;;) {
      if (rebuild) {
        int r = get_dirtree(dl, modem, cmd, nullptr, 0, &seqno, nullptr, nullptr);
        if (r != 0) return r;
        if (halted()) return 0;
        dl->last_events_count = stored_events();
        altuscom_write_state(altus);
        rebuild = false;
      }
      if (dl->files_size == 0) {
        msg("getevents: no events to process");
        if (!in_progress) {
          msg("No events found");
          altuscom_progress(dl, cmd, "No events found");
          return 0;
        }
        if (!wait_more()) return 0;
        return std::nullopt;
      }
      if (summaries() != 0) return -1;
      if (halted()) return 0;
      FileLoop fl = files(&attempted);
      if (fl == FILES_HALT) return 0;
      if (fl == FILES_REBUILD) {
        rebuild = true;
        continue;
      }
      if (fl == FILES_FAILED) return -1;
      if (fl == FILES_NEXT_PASS) return std::nullopt;
      old_count = stored_events();
      double now = clock_now();
      dl->lastgetevents_time = now;
      dl->time_nextcontinue = 0.0;
      if (in_progress) {
        msg("event in progress...");
        if (attempted == 0) listen5();
        return std::nullopt;
      }
      if (attempted > 0) {
        msg("getevents: looking for new events...");
        return std::nullopt;
      }
      return 0;
    }
  }

  // The passes. The result of the call before the end bookkeeping.
  int run() {
    for (int pass = 0;; pass++) {
      if (pass >= 2) {
        msg("getevents: breaking out\n");
        if (outstanding() > 0) incomplete = true;
        return 0;
      }
      altuscom_run_commands(altus, dl);
      if (halted()) return 0;
      msg("getevents...getting status\n");
      int nunprocessed = unprocessed();
      AltusBlockStatus st{};
      if (status_with_retries(&st) != 0) return -1;
      altuscom_set_dlclock(dl, &st);
      msg("old event count %d, new event count %d", old_count, st.events);
      bool rebuild = false;
      if (st.events == old_count) {
        if (nunprocessed == 0) {
          msg("no new events found...");
          return 0;
        }
        msg("found unprocessed events...");
      } else {
        {
          std::lock_guard<KessaroMutex> g(altus->status_mutex);
          dl->status = st;
          dl->status_time = clock_now();
        }
        msg("event count changed from %d to %d: processing new events", old_count, st.events);
        rebuild = true;
      }
      std::optional<int> r = work_files(rebuild, event_in_progress());
      if (r) return *r;
    }
  }

  // The wait for an event still recording. False when the wait is over.
  bool wait_more() {
    double now = clock_now();
    if (first_wait) {
      first_wait = false;
      wait_start = now;
    }
    msg("event in progress...will wait %.1f seconds", dl->tmpfile_maxwaittime - (now - wait_start));
    listen5();
    if (halted()) return false;
    if (clock_now() - wait_start > dl->tmpfile_maxwaittime) {
      msg("event in progress...giving up\n");
      return false;
    }
    return true;
  }
};

}  // namespace

int getevents(Modem *modem, int, Pf *cmd) {
  AltusDatalogger *dl = modem ? modem->connected_dl : nullptr;
  if (dl == nullptr || modem->buf_handle == nullptr) {
    altuscom_log_complain(modem, dl, 1, 0, "getevents: no datalogger connected.\n");
    return -1;
  }
  if (dl->getevents_status == GETEVENTS_RUNNING) {
    altuscom_log_message(modem, dl, 0, "getevents: getevents already running");
    return GETEVENTS_ALREADY;
  }
  Kessaro *altus = static_cast<Kessaro *>(dl->userdata);
  int entry_alarm = dl->alarm;
  dl->alarm = 0;
  dl->request_getevents = 0;
  dl->getevents_status = GETEVENTS_RUNNING;
  Download d{altus, dl, modem, cmd, modem->buf_handle};
  d.minsize = min_evt_size(dl);
  d.ismw = altuscom_ismw(modem, dl);
  d.old_count = dl->last_events_count;
  int result = d.run();
  if (result == 0) {
    dl->last_events_count = d.stored_events();
    double now = clock_now();
    dl->lastgetevents_time = now;
    dl->time_nextcontinue = 0.0;
  }
  if (halted()) {
    dl->getevents_status = GETEVENTS_INCOMPLETE;
    return GETEVENTS_HALTING;
  }
  if (result == 0 && d.incomplete) {
    // Files are left over: the download is asked for again.
    if (entry_alarm) dl->alarm = 1;
    dl->getevents_status = GETEVENTS_INCOMPLETE;
    altuscom_write_state(altus);
    return 0;
  }
  if (result == 0) {
    dl->alarm = 0;
    dl->request_getevents = 0;
    dl->getevents_status = GETEVENTS_IDLE;
    altuscom_write_state(altus);
    return 0;
  }
  dl->getevents_status = GETEVENTS_INCOMPLETE;
  return result;
}

namespace {

bool is_drive_root(const std::string &p) {
  return p == "A:" || p == "A:\\" || p == "B:" || p == "B:\\";
}

// One file command of the dispatcher.
struct FileWord {
  Kessaro *altus;
  AltusDatalogger *dl;
  Modem *modem;
  Pf *cmd;
  unsigned char *seqno;

  SerialBuf *buf() const { return modem->buf_handle; }
  const char *dev() const { return modem->devname; }

  template <typename... A>
  static std::string text(const char *fmt, A... args) {
    char t[512];
    snprintf(t, sizeof t, fmt, args...);
    return t;
  }
  int fail(const std::string &t) {
    altuscom_log_complain(modem, dl, 1, 0, "%s", t.c_str());
    altuscom_answer(altus, dl, cmd, ALTUSCOM_ANSWER_ERROR, 0, "%s", t.c_str());
    return -1;
  }
  int fail_op(int r, const std::string &own) {
    if (r == BLOCK_OFFHOOK || r == BLOCK_EOF)
      return fail("process_command: datalogger not connected.\n");
    return fail(own);
  }
  void pending(const std::string &t) {
    altuscom_answer(altus, dl, cmd, ALTUSCOM_ANSWER_PENDING, 0, "%s", t.c_str());
  }

  int transact(int command, void *data, void **out, int *outsize) {
    *out = nullptr;
    *outsize = 0;
    int r = get_block(buf(), command, data, seqno, out, outsize, 0, modem, dl);
    (*seqno)++;
    return r;
  }

  // The status read that precedes a whole-datalogger walk; it refreshes the drive states.
  int status() {
    void *out = nullptr;
    int outsize = 0;
    int r = transact(PKC_GETSTATUS, nullptr, &out, &outsize);
    if (r == 0 && (out == nullptr || outsize != static_cast<int>(sizeof(AltusBlockStatus)))) r = -1;
    if (r == 0) {
      AltusBlockStatus st;
      memcpy(&st, out, sizeof st);
      altuscom_set_dlclock(dl, &st);
      std::lock_guard<KessaroMutex> g(altus->status_mutex);
      dl->status = st;
      dl->status_time = clock_now();
    }
    free(out);
    if (r != 0)
      fail_op(r, text("process_command: process_command(ALTUS_PKC_STATUS,%s) error.\n", dev()));
    return r;
  }

  static std::string listing_line(const char *name, int size, double epoch, int attr) {
    std::string t = owned(epoch2str(epoch, "%Y%j:%H:%M:%S"));
    return text("%-24.24s %8d %s 0x%2.2X\n", name, size, t.c_str(), attr);
  }

  int delfile(const std::string &path) {
    std::vector<char> p(path.begin(), path.end());
    p.push_back('\0');
    int r = block_delfile(buf(), p.data(), seqno, modem, dl);
    if (r != 0)
      return fail_op(
          r, text("process_command: block_delfile(%s) error for %s.\n", dev(), path.c_str()));
    std::string t = text("file %s deleted\n", path.c_str());
    altuscom_log_message(modem, dl, 0, "%s", t.c_str());
    altuscom_answer(altus, dl, cmd, ALTUSCOM_ANSWER_DONE_RESPONSE, 0, "%s", t.c_str());
    return 0;
  }

  // The tree of `path` (none: both drives, also rebuilding the event-file list).
  int tree(const std::string *path, AltusDirTree **t, int *n) {
    std::vector<char> p;
    if (path) {
      p.assign(path->begin(), path->end());
      p.push_back('\0');
    }
    return get_dirtree(dl, modem, cmd, path ? p.data() : nullptr, 1, seqno, t, n);
  }

  // The walk a file word works on: `path` when given, else both drives after a status
  // read. 0, or -1 with the word already answered; `nopath_text` is the failure text
  // (with the device) when no path was given.
  int word_tree(const std::string *path, const char *nopath_text, AltusDirTree **t, int *n) {
    if (path == nullptr && status() != 0) return -1;
    int r = tree(path, t, n);
    if (r == 0) return 0;
    free(*t);
    *t = nullptr;
    if (path)
      return fail_op(
          r, text("process_command: block_readdirtree(%s) error for %s.\n", dev(), path->c_str()));
    return fail_op(r, text(nopath_text, dev()));
  }

  int deltree(const std::vector<std::string> &words) {
    double limit = 1e30;
    if (words.size() > 2 && zstr2epoch(words[2].c_str(), &limit) != 0) {
      elog_clear_register(0);
      return fail(text("process_command: Cannot recognize time argument '%s'\n", words[2].c_str()));
    }
    const std::string *path = words.size() > 1 ? &words[1] : nullptr;
    AltusDirTree *t = nullptr;
    int n = 0;
    if (word_tree(path, "process_command: block_readdirtree(%s) error.\n", &t, &n) != 0) return -1;
    bool too_young = false;
    int deleted = 0;
    for (int i = n - 1; i >= 0; i--) {
      AltusDirTree &e = t[i];
      bool dir = is_directory(e);
      std::string line;
      if (dir && is_drive_root(e.pathname)) {
        line = text("process_command: Cannot delete drive %s\n", e.pathname);
        altuscom_log_complain(modem, dl, 1, 0, "%s", line.c_str());
      } else if (e.time > limit) {
        too_young = true;
        line = text("process_command: Not deleting %s because too young\n", e.pathname);
        altuscom_log_complain(modem, dl, 1, 0, "%s", line.c_str());
      } else if (dir) {
        if (block_deldir(buf(), e.pathname, seqno, modem, dl) != 0) {
          line = text("process_command: block_deldir(%s) error\n", e.pathname);
          altuscom_log_complain(modem, dl, 1, 0, "%s", line.c_str());
        } else {
          line = text("directory %s deleted\n", e.pathname);
          altuscom_log_message(modem, dl, 0, "%s", line.c_str());
        }
      } else {
        if (block_delfile(buf(), e.pathname, seqno, modem, dl) != 0) {
          line = text("process_command: block_delfile(%s) error\n", e.pathname);
          altuscom_log_complain(modem, dl, 1, 0, "%s", line.c_str());
        } else {
          line = text("file %s deleted\n", e.pathname);
          altuscom_log_message(modem, dl, 0, "%s", line.c_str());
          deleted++;
        }
      }
      pending(line);
    }
    free(t);
    if (path && !too_young) {
      if (is_drive_root(*path)) {
        fail(text("process_command: Cannot delete drive %s\n", path->c_str()));
      } else {
        std::vector<char> p(path->begin(), path->end());
        p.push_back('\0');
        if (block_deldir(buf(), p.data(), seqno, modem, dl) != 0) {
          fail(text("process_command: block_deldir(%s) error\n", path->c_str()));
        } else {
          std::string line = text("directory %s deleted\n", path->c_str());
          altuscom_log_message(modem, dl, 0, "%s", line.c_str());
          altuscom_answer(altus, dl, cmd, ALTUSCOM_ANSWER_DONE_RESPONSE, 0, "%s", line.c_str());
        }
      }
    } else {
      altuscom_answer(altus, dl, cmd, ALTUSCOM_ANSWER_DONE, 0, nullptr);
    }
    if (deleted > 0) get_dirtree(dl, modem, nullptr, nullptr, 0, seqno, nullptr, nullptr);
    return 0;
  }

  int dir(const std::string &path) {
    std::vector<char> p(path.begin(), path.end());
    p.push_back('\0');
    fixpaths(p.data());
    const std::string dirpath = p.data();  // listed names use the datalogger's separator
    AltusBlockDirentry *ents = nullptr;
    int n = 0, size = 0;
    int r = block_readdir(buf(), p.data(), seqno, &ents, &n, &size, modem, dl);
    if (r != 0) {
      free(ents);
      return fail_op(
          r, text("process_command: block_readdir(%s) error for %s.\n", dev(), path.c_str()));
    }
    std::string out;
    for (int i = 0; i < n; i++) {
      const AltusBlockDirentry &e = ents[i];
      std::string name = dirpath;
      if (name.empty() || name.back() != '\\') name += '\\';
      name += e.name;
      if (!((e.attr & 0x10) != 0 && e.size == 0)) {
        name += '.';
        name += e.ext;
      }
      double epoch = 0.0;
      altustime2epoch(static_cast<int>(e.time), &epoch);
      std::string line = listing_line(name.c_str(), static_cast<int>(e.size), epoch, e.attr);
      altuscom_log_message(modem, dl, 0, "%s", line.c_str());
      out += line;
    }
    free(ents);
    altuscom_answer(altus, dl, cmd, ALTUSCOM_ANSWER_DONE_RESPONSE, 0, "%s",
                    out.empty() ? "no files" : out.c_str());
    return 0;
  }

  int dirtree(const std::vector<std::string> &words) {
    const std::string *path = words.size() > 1 ? &words[1] : nullptr;
    AltusDirTree *t = nullptr;
    int n = 0;
    if (word_tree(path, "process_command: block_readdirtree(%s).\n", &t, &n) != 0) return -1;
    std::string out;
    for (int i = 0; i < n; i++) out += listing_line(t[i].pathname, t[i].size, t[i].time, t[i].attr);
    free(t);
    altuscom_answer(altus, dl, cmd, ALTUSCOM_ANSWER_DONE_RESPONSE, 0, "%s",
                    out.empty() ? "no files" : out.c_str());
    return 0;
  }

  int evtinfotree(const std::vector<std::string> &words) {
    const std::string *path = words.size() > 1 ? &words[1] : nullptr;
    AltusDirTree *t = nullptr;
    int n = 0, cap = 0;
    std::vector<std::string> roots;
    if (path) {
      roots.push_back(*path);
    } else {
      if (status() != 0) return -1;
      if (!drive_not_ready(altus, dl, 0)) roots.push_back("A:\\");
      if (!drive_not_ready(altus, dl, 1)) roots.push_back("B:\\");
    }
    for (const std::string &root : roots) {
      std::vector<char> p(root.begin(), root.end());
      p.push_back('\0');
      int r = block_readdirtree(buf(), p.data(), seqno, 1, &t, &n, &cap, modem, dl, 1);
      if (r != 0) {
        free(t);
        return fail_op(
            r, text("process_command: block_readdirtree(%s) error for %s.\n", dev(), root.c_str()));
      }
    }
    int minsize = min_evt_size(dl);
    for (int i = 0; i < n && !halted(); i++) {
      AltusDirTree &e = t[i];
      if (!e.event || e.size < minsize) continue;
      int r = -1;
      for (int attempt = 0; attempt < 2 && r != 0; attempt++) {
        void *out = nullptr;
        int outsize = 0;
        r = transact(PKC_GETEVENTSUMMARY, e.pathname, &out, &outsize);
        if (r == 0 && (out == nullptr || outsize != static_cast<int>(sizeof e.eventsummary)))
          r = -1;
        if (r == 0) memcpy(&e.eventsummary, out, sizeof e.eventsummary);
        free(out);
        if (r != 0) {
          std::string line = text(
              "process_command: process_command(ALTUS_PKC_GETEVENTSUMMARY,%s) error...retrying\n",
              dev());
          altuscom_log_complain(modem, dl, 1, 0, "%s", line.c_str());
          pending(line);
        }
      }
      if (r != 0) {
        std::string slashed = e.pathname;
        for (char &c : slashed)
          if (c == '\\') c = '/';
        pending(text("%s_%s &Arr{\n\terrors\tget_block(ALTUS_PKC_GETEVENTSUMMARY) error\n}\n",
                     dl->target_name, slashed.c_str()));
        continue;
      }
      eventsummary2info(&e.eventsummary, &e.eventinfo);
      char *info = eventinfo2pf(dl, &e, &e.eventinfo);
      if (info) pending(info);
      free(info);
    }
    free(t);
    altuscom_answer(altus, dl, cmd, ALTUSCOM_ANSWER_DONE, 0, nullptr);
    return 0;
  }
};

}  // namespace

int altus_file_command(Kessaro *altus, AltusDatalogger *dl, Modem *modem, Pf *cmd,
                       const std::vector<std::string> &words, unsigned char *seqno) {
  FileWord w{altus, dl, modem, cmd, seqno};
  const std::string word = words.empty() ? "" : words[0];
  // Paths in the datalogger's own form ("a:/d" is "A:\\d"), so drive roots are known.
  std::vector<std::string> words_fixed = words;
  if (words_fixed.size() > 1) {
    std::vector<char> p(words_fixed[1].begin(), words_fixed[1].end());
    p.push_back('\0');
    fixpaths(p.data());
    words_fixed[1] = p.data();
  }
  const std::vector<std::string> &args = words_fixed;
  if (word == "delfile" && args.size() > 1) return w.delfile(args[1]);
  if (word == "deltree") return w.deltree(args);
  if (word == "dir" && args.size() > 1) return w.dir(args[1]);
  if (word == "dirtree") return w.dirtree(args);
  if (word == "evtinfotree") return w.evtinfotree(args);
  return w.fail(FileWord::text("process_command: Unrecognized command '%s'.\n", word.c_str()));
}
