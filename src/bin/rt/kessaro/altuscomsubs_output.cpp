// altuscomsubs_output.cpp - the output pipeline: routing in the producer's thread, the
// write fifo, and the writers of the write thread.

#include "altuscomsubs_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "altuscom_hooks.h"
#include "altuscomsubs_evtinfo.h"
#include "altuscomsubs_log.h"
#include "altuscomsubs_stream.h"
#include "altusevtsubs.h"
#include "base/arr.h"
#include "base/elog.h"
#include "base/paths.h"
#include "base/pf.h"
#include "base/pmtfifo.h"
#include "base/random.h"
#include "base/tbl.h"
#include "base/timetext.h"
#include "base/writefile.h"
#include "kessaro.h"
#include "packet/pkt.h"
#include "reldb/pktchannelcalib.h"
#include "repackage.h"
#include "ring/orb.h"
#include "ringsvc/linkoverlap.h"
#include "support/stdtime.h"

std::atomic<int> pktchannelcalib_check{1};
std::atomic<uint32_t> pktchannelcalib_check_time{0};

void pktchannelcalib_recheck(double now) {
  if (!std::isfinite(now) || now < 0.0) return;
  uint32_t last = pktchannelcalib_check_time.load();
  if (now - (double)last > 60.0) {
    pktchannelcalib_check_time.store((uint32_t)now);
    pktchannelcalib_check.store(1);
  }
}

namespace {

// Time of a stream packet, seconds since 1970.
double strdata_time(const AltusBlockStrdata *blk) {
  double t = 0.0;
  altustime2epoch((int)blk->time_altusepoch, &t);
  return t + blk->time_msec * 0.001;
}

// The stream-mode output channel of a stream packet, or none for a stream number or
// channel map entry outside the tables.
AltusChan *stream_chan(AltusDatalogger *dl, const AltusBlockStrdata *blk) {
  if (blk->stream >= ALTUS_MAXSTREAM) return nullptr;
  int pchan = dl->str_stream2pchan[blk->stream];
  if (pchan < 0 || pchan >= ALTUS_MAXCHAN) return nullptr;
  return &dl->data_chan[1][pchan];
}

bool rate_ok(double samprate) { return std::isfinite(samprate) && samprate > 0.0; }

int strdata_nsamp(const AltusBlockStrdata *blk) {
  if (blk->nsamp < 0) return 0;
  return blk->nsamp > BLOCK_MAX_STRDATA_SAMPLES ? BLOCK_MAX_STRDATA_SAMPLES : blk->nsamp;
}

std::string chan_label(const AltusChan *ch) {
  std::string s = std::string(ch->net) + "_" + ch->sta + "_" + ch->chan;
  if (ch->loc[0] != '\0') s += std::string("_") + ch->loc;
  return s;
}

// The file name under which an event file is saved, or "" when the datalogger path is
// too short or would leave the event directory.
std::string evt_save_name(Kessaro *altus, AltusPacket *pkt) {
  AltusDatalogger *dl = pkt->datalogger;
  if (altus->evt_file_dir == nullptr || altus->evt_file_dir[0] == '\0') return "";
  size_t drop = altuscom_isrock(pkt->modem, dl) ? 3 : 7;
  std::string path = pkt->pathname ? pkt->pathname : "";
  if (path.size() <= drop) return "";
  std::string rest = path.substr(drop);
  for (char &c : rest) {
    if (c == '\\') c = '/';
  }
  // The separator left behind the dropped prefix is not a root: the name is always
  // joined below the datalogger's directory. No element may climb out of it or name a
  // drive.
  size_t first = rest.find_first_not_of('/');
  if (first == std::string::npos) return "";
  rest = rest.substr(first);
  size_t start = 0;
  while (start <= rest.size()) {
    size_t slash = rest.find('/', start);
    if (slash == std::string::npos) slash = rest.size();
    std::string element = rest.substr(start, slash - start);
    if (element == ".." || element.find(':') != std::string::npos) return "";
    start = slash + 1;
  }
  if (rest.back() == '/') return "";
  // What the datalogger named never puts control characters into a file name.
  for (char &c : rest) {
    if ((unsigned char)c < 0x20 || c == 0x7f) c = '_';
  }
  std::string target = dl->target_name ? dl->target_name : "";
  std::string name = std::string(altus->evt_file_dir[0] == '/' ? "" : "./") + altus->evt_file_dir +
                     "/" + target + "/" + rest;
  for (char &c : name) {
    if (c == '\\') c = '/';
  }
  return name;
}

// Opens the folder `rel` (folders separated by "/") below the open folder `at`, making
// the folders that are missing, never following a link. The folder's descriptor, or -1
// with errno and the failing call in *why.
int open_folders(int at, const std::string &rel, const std::string &shown, std::string *why) {
  int fd = dup(at);
  if (fd < 0) {
    *why = "dup(" + shown + ")";
    return -1;
  }
  size_t start = 0;
  while (start < rel.size()) {
    size_t slash = rel.find('/', start);
    if (slash == std::string::npos) slash = rel.size();
    std::string part = rel.substr(start, slash - start);
    start = slash + 1;
    if (part.empty() || part == ".") continue;
    if (mkdirat(fd, part.c_str(), 0775) < 0 && errno != EEXIST) {
      *why = "mkdir(" + shown + ")";
      close(fd);
      return -1;
    }
    int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    int err = errno;
    close(fd);
    if (next < 0) {
      errno = err;
      *why = "open(" + shown + ")";
      return -1;
    }
    fd = next;
  }
  return fd;
}

// Writes an event file `name` (below the event directory `top`) through a temporary file
// made exclusively in its folder and then renamed over the name: no link planted in the
// event directory is followed, and a reader never sees half a file. 0, or -1 with errno
// and the failing call in *why.
int write_event_file(const char *top, const std::string &name, const unsigned char *data,
                     int nbytes, std::string *why) {
  std::string base = top;
  if (!base.empty() && base[0] != '/') base = "./" + base;
  if (makedir(base.c_str()) < 0) {
    *why = "makedir(" + base + ")";
    return -1;
  }
  int topfd = open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (topfd < 0) {
    *why = "open(" + base + ")";
    return -1;
  }
  size_t cut = name.rfind('/');
  std::string folder = name.substr(0, cut);
  std::string file = name.substr(cut + 1);
  std::string rel = folder.size() > base.size() ? folder.substr(base.size() + 1) : "";
  int dirfd = open_folders(topfd, rel, folder, why);
  int err = errno;
  close(topfd);
  if (dirfd < 0) {
    errno = err;
    return -1;
  }
  std::string tmp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; attempt++) {
    tmp = "." + file + "." + std::to_string(getpid()) + "." +
          std::to_string((unsigned long)(disordered() * 4294967296.0));
    fd = openat(dirfd, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    err = errno;
    close(dirfd);
    errno = err;
    *why = "open(" + folder + "/" + tmp + ")";
    return -1;
  }
  bool ok = writefile_all(fd, data, nbytes > 0 ? (size_t)nbytes : 0) == 0;
  err = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) {
    unlinkat(dirfd, tmp.c_str(), 0);
    close(dirfd);
    errno = err;
    *why = "write(" + name + ")";
    return -1;
  }
  if (renameat(dirfd, tmp.c_str(), dirfd, file.c_str()) < 0) {
    err = errno;
    unlinkat(dirfd, tmp.c_str(), 0);
    close(dirfd);
    errno = err;
    *why = "rename(" + name + ")";
    return -1;
  }
  close(dirfd);
  return 0;
}

// Saves an event file; complaints name what failed.
void save_event_file(Kessaro *altus, AltusPacket *pkt) {
  AltusDatalogger *dl = pkt->datalogger;
  Modem *modem = pkt->modem;
  std::string name = evt_save_name(altus, pkt);
  if (name.empty()) {
    altuscom_log_complain(modem, dl, 1, 0,
                          "output_event_file: Not saving file %s: its path is not usable below "
                          "the event directory.\n",
                          elog_escape(pkt->pathname ? pkt->pathname : "", true).c_str());
    return;
  }
  if (check_evt_file(pkt->data, pkt->nbytes, altuscom_ismw(modem, dl)) < 0) {
    elog_clear_register(0);
    altuscom_log_complain(modem, dl, 1, 0,
                          "output_event_file: Not saving file %s: it fails the file check.\n",
                          elog_escape(pkt->pathname ? pkt->pathname : "", true).c_str());
    return;
  }
  std::string why;
  if (write_event_file(altus->evt_file_dir, name, pkt->data, pkt->nbytes, &why) < 0) {
    altuscom_log_complain(modem, dl, 1, 1, "output_event_file: %s error.\n", why.c_str());
    return;
  }
  altuscom_log_message(modem, dl, 0, "Successfully wrote EVT file %s", name.c_str());
}

// Removes one stream packet from its datalogger's ring_pending: it is in the ring now, or
// never will be.
void ring_release(AltusDatalogger *dl, unsigned seq) {
  std::lock_guard<KessaroMutex> g(dl->ring_mutex);
  auto it = dl->ring_pending.find(seq);
  if (it != dl->ring_pending.end()) dl->ring_pending.erase(it);
}

// The stream packets whose samples a repackaging buffer holds; the buffer's flush
// callback releases them once they are written. One per buffer, for the program's life.
struct RingHeld {
  std::mutex mutex;  // guards items (the write thread, and a flush after it ended)
  std::vector<std::pair<AltusDatalogger *, unsigned>> items;
};

void ring_flushed(void *user) {
  auto *held = static_cast<RingHeld *>(user);
  std::vector<std::pair<AltusDatalogger *, unsigned>> items;
  {
    std::lock_guard<std::mutex> g(held->mutex);
    items.swap(held->items);
  }
  for (const auto &[dl, seq] : items) ring_release(dl, seq);
}

// The packet-definition buffer of an output channel, made on first use (fatal failure).
RepackageBuf *channel_rbuf(Kessaro *altus, AltusChan *ch, const char *fn) {
  PacketDef *pdef = ch->pdef;
  if (pdef->rbuf == nullptr) {
    int orb = pdef->orbtag ? pdef->orbtag->orbw : -1;
    pdef->rbuf =
        repackage_create(pdef->twin, pdef->suffix, pdef->subcode, orb, ring_flushed, new RingHeld);
    if (pdef->rbuf == nullptr) elog_die(0, "%s: repackage_create() error.\n", fn);
    if (altus->repackage_tbl == nullptr) altus->repackage_tbl = newtbl(0);
    pushtbl(altus->repackage_tbl, pdef->rbuf);
  }
  return pdef->rbuf;
}

// Calibration of a channel whose calibration comes from the database. The lookup
// handle is made by the program when a calibration database is named; without one the
// channel cannot be written. -1 (complained) when the channel is to be skipped.
int database_calib(Kessaro *altus, AltusPacket *pkt, AltusChan *ch, double time, const char *fn,
                   const char *nodb_fmt, const char *fail_fmt) {
  if (altus->calibstuff == nullptr) {
    altuscom_log_complain(pkt->modem, pkt->datalogger, 1, 0, nodb_fmt, ch->netstachanloc);
    return -1;
  }
  (void)fn;
  if (altuscom_calib_lookup(altus, ch, time) < 0) {
    altuscom_log_complain(pkt->modem, pkt->datalogger, 1, 0, fail_fmt, ch->netstachanloc);
    return -1;
  }
  return 0;
}

}  // namespace

int altuscom_calib_lookup(Kessaro *altus, AltusChan *ch, double time) {
  if (altus == nullptr || altus->calibstuff == nullptr || ch == nullptr) return -1;
  pktchannelcalib_recheck(std_now());
  char css_sta[CSS_NAME_SIZE] = "", css_chan[CSS_NAME_SIZE] = "", segtype[8] = "";
  double calib = ch->calib, calper = ch->calper;
  int bits = pktchannelcalib_get(altus->calibstuff, ch->net, ch->sta, ch->chan, ch->loc, time,
                                 pktchannelcalib_check.load(), css_sta, css_chan, nullptr, nullptr,
                                 nullptr, &calib, &calper, segtype, nullptr);
  if (bits < 0) {
    pktchannelcalib_check.store(1);
    return -1;
  }
  pktchannelcalib_check.store(0);
  elog_clear_register(0);
  if (bits & PKTCALIB_CALIB) ch->calib = calib;
  if (bits & PKTCALIB_CALPER) ch->calper = calper;
  if (bits & PKTCALIB_RSPTYPE) {
    // The channel's segment type is shorter than the lookup's field: keep what fits.
    snprintf(ch->segtype, sizeof ch->segtype, "%s", segtype);
  }
  return bits;
}

int altuscom_push_data(int type, Modem *modem, AltusDatalogger *dl, double time, char *pathname,
                       unsigned char *fbuf, int nbytes) {
  if (fbuf == nullptr) return 0;
  if (type < ALTUSPKT_EVTFILE || type > ALTUSPKT_STATUS) {
    altuscom_log_register_error(modem, dl, 0, "altuscom_push_data: Unrecognized data type %d.\n",
                                type);
    return -1;
  }
  auto *pkt = static_cast<AltusPacket *>(calloc(1, sizeof(AltusPacket)));
  if (pkt == nullptr) {
    altuscom_log_register_error(modem, dl, 1, "altuscom_push_data: malloc() error.\n");
    return -1;
  }
  pkt->time = time;
  pkt->datalogger = dl;
  pkt->modem = modem;
  pkt->type = type;
  if (type == ALTUSPKT_EVTFILE || type == ALTUSPKT_EVTINFO || type == ALTUSPKT_STATUS) {
    pkt->pathname = strdup(pathname ? pathname : "");
    if (pkt->pathname == nullptr) {
      free(pkt);
      altuscom_log_register_error(modem, dl, 1, "altuscom_push_data: strdup() error.\n");
      return -1;
    }
  }
  switch (type) {
    case ALTUSPKT_EVTFILE:
      pkt->time = 0.0;
      pkt->data = fbuf;
      pkt->nbytes = nbytes;
      break;
    case ALTUSPKT_STREAM:
      pkt->data = fbuf;
      pkt->nbytes = nbytes;
      break;
    case ALTUSPKT_LOG:
    case ALTUSPKT_STOP: {
      size_t len = strlen(reinterpret_cast<char *>(fbuf));
      pkt->data = static_cast<unsigned char *>(malloc(len + 1));
      if (pkt->data == nullptr) {
        free(pkt);
        altuscom_log_register_error(modem, dl, 1, "altuscom_push_data: malloc() error.\n");
        return -1;
      }
      memcpy(pkt->data, fbuf, len + 1);
      pkt->nbytes = (int)(len + 1);
      break;
    }
    default:  // parameter-file texts
      pkt->data = fbuf;
      pkt->nbytes = (int)strlen(reinterpret_cast<char *>(fbuf)) + 1;
      break;
  }
  altuscom_dataout(altuscom_program(nullptr), pkt);
  return 0;
}

void altuspacket_free(AltusPacket *pkt) {
  if (pkt == nullptr) return;
  free(pkt->pathname);
  free(pkt->data);
  free(pkt);
}

int altuscom_dataout(Kessaro *altus, AltusPacket *pkt) {
  if (pkt == nullptr) return 0;
  switch (pkt->type) {
    case ALTUSPKT_EVTFILE:
      if (output_event_file(altus, pkt) < 0) {
        altuscom_log_complain(pkt->modem, pkt->datalogger, 1, 0,
                              "altuscom_dataout: output_event_file() error for file %s.\n",
                              elog_escape(pkt->pathname ? pkt->pathname : "", true).c_str());
      }
      break;
    case ALTUSPKT_STREAM:
      if (output_stream_pkt(altus, pkt) < 0) {
        auto *blk = reinterpret_cast<AltusBlockStrdata *>(pkt->data);
        altuscom_log_complain(pkt->modem, pkt->datalogger, 1, 0,
                              "altuscom_dataout: output_stream_pkt() error for seq %d, str %d.\n",
                              blk ? (int)blk->dataSeq : -1, blk ? (int)blk->stream : -1);
      }
      break;
    case ALTUSPKT_LOG:
    case ALTUSPKT_STOP:
    case ALTUSPKT_EVTINFO:
    case ALTUSPKT_STATUS:
      if (output_pkt2fifo(altus, pkt) < 0) {
        // A log line that cannot be queued must not be logged through the pipeline again.
        altuscom_log_complain_nopush(pkt->modem, pkt->datalogger, 1, 0,
                                     "altuscom_dataout: output_pkt2fifo() error\n");
      }
      break;
    default:
      altuscom_log_complain(pkt->modem, pkt->datalogger, 1, 0,
                            "altuscom_dataout: Unknown packet type %d.\n", pkt->type);
      break;
  }
  altuspacket_free(pkt);
  return 0;
}

int output_pkt2fifo(Kessaro *altus, AltusPacket *pkt) {
  auto *cp = static_cast<AltusPacket *>(calloc(1, sizeof(AltusPacket)));
  if (cp == nullptr) {
    altuscom_log_register_error(pkt->modem, pkt->datalogger, 1,
                                "output_pkt2fifo: malloc(AltusPacket) error\n");
    return -1;
  }
  cp->time = pkt->time;
  cp->datalogger = pkt->datalogger;
  cp->modem = pkt->modem;
  cp->type = pkt->type;
  cp->ring_tracked = pkt->ring_tracked;
  cp->ring_seq = pkt->ring_seq;
  if (pkt->pathname != nullptr) {
    cp->pathname = strdup(pkt->pathname);
    if (cp->pathname == nullptr) {
      free(cp);
      altuscom_log_register_error(pkt->modem, pkt->datalogger, 1,
                                  "output_pkt2fifo: malloc(pktcp->data) error\n");
      return -1;
    }
  }
  if (pkt->data != nullptr && pkt->nbytes >= 1) {
    cp->data = static_cast<unsigned char *>(malloc((size_t)pkt->nbytes));
    if (cp->data == nullptr) {
      altuspacket_free(cp);
      altuscom_log_register_error(pkt->modem, pkt->datalogger, 1,
                                  "output_pkt2fifo: malloc(pktcp->data) error\n");
      return -1;
    }
    memcpy(cp->data, pkt->data, (size_t)pkt->nbytes);
    cp->nbytes = pkt->nbytes;
  }
  if (altus == nullptr || pmtfifo_push(altus->mtfifo_write, cp) != 0) {
    altuspacket_free(cp);
    altuscom_log_register_error(pkt->modem, pkt->datalogger, 0,
                                "output_pkt2fifo: pmtfifo_push (write_thread) error.\n");
    return -1;
  }
  return 0;
}

int output_stream_pkt(Kessaro *altus, AltusPacket *pkt) {
  AltusDatalogger *dl = pkt->datalogger;
  auto *blk = reinterpret_cast<AltusBlockStrdata *>(pkt->data);
  if (dl == nullptr || blk == nullptr || pkt->nbytes < (int)sizeof(AltusBlockStrdata)) {
    altuscom_log_register_error(pkt->modem, dl, 0,
                                "output_stream_pkt: Missing datalogger or stream record.\n");
    return -1;
  }
  AltusChan *ch = stream_chan(dl, blk);
  if (ch == nullptr) {
    altuscom_log_register_error(pkt->modem, dl, 0, "output_stream_pkt: Illegal stream %d.\n",
                                (int)blk->stream);
    return -1;
  }
  if (!ch->outputthischan) return 0;
  // Counted as not yet in the ring from now until the write thread has written it.
  pkt->ring_tracked = 1;
  pkt->ring_seq = blk->dataSeq * dl->numStream + blk->stream;
  {
    std::lock_guard<KessaroMutex> g(dl->ring_mutex);
    dl->ring_pending.insert(pkt->ring_seq);
  }
  if (output_pkt2fifo(altus, pkt) < 0) {
    ring_release(dl, pkt->ring_seq);
    altuscom_log_register_error(pkt->modem, dl, 0, "output_stream_pkt: output_pkt2fifo() error\n");
    return -1;
  }
  double t = strdata_time(blk);
  int nsamp = strdata_nsamp(blk);
  bool rate = rate_ok(dl->samprate);
  if (dl->last_stream_data_time == 0.0) {
    if (altus) altuscom_report_status_now(altus);
  } else if (rate && t >= dl->last_stream_data_time) {
    double dt = 1.0 / dl->samprate;
    double del = t - dl->last_stream_data_time;
    if (std::fabs(del) > 0.5 * dt && dl->order_output_data) {
      dl->data_gap_time = dl->data_gap_time + del;
      if (dl->stream_status == STRSTATUS_RUNNING) {
        char *from = strtime(dl->last_stream_data_time);
        char *to = strtime(t);
        altuscom_log_message(pkt->modem, dl, 0, "Data gap = %.5f seconds from %s to %s", del, from,
                             to);
        free(from);
        free(to);
        if (altus) altuscom_report_status_now(altus);
      }
      if (dl->data_gap_time > 31536000.0) {
        altuscom_log_message(pkt->modem, dl, 0, "resetting data gap...");
        dl->data_gap_time = 0.0;
        if (altus) altuscom_report_status_now(altus);
      }
    }
    if (!dl->order_output_data) dl->data_gap_time = 0.0;
  }
  // Without a usable sample rate the next packet is expected at this one's time: the
  // gap check is skipped rather than fed infinities.
  {
    std::lock_guard<KessaroMutex> g(dl->output_time_mutex);
    dl->last_stream_data_time = rate ? t + nsamp / dl->samprate : t;
  }
  if (altuscom_data_verbose(dl) > 0) {
    AltusDebugLines debug(true);
    char *s = strtime(t);
    altuscom_log_message(pkt->modem, dl, 0, "Output %s, samprate = %.1f, nsamp = %d, %s", s,
                         dl->samprate, nsamp, chan_label(ch).c_str());
    free(s);
  }
  return 0;
}

int output_event_file(Kessaro *altus, AltusPacket *pkt) {
  AltusDatalogger *dl = pkt->datalogger;
  if (altus != nullptr && dl != nullptr && dl->save_evt_files) save_event_file(altus, pkt);
  if (output_pkt2fifo(altus, pkt) < 0) {
    altuscom_log_register_error(pkt->modem, dl, 0, "output_event_file: output_pkt2fifo() error\n");
    return -1;
  }
  altuscom_log_message(pkt->modem, dl, 0, "Successfully processed file %s",
                       elog_escape(pkt->pathname ? pkt->pathname : "", true).c_str());
  return 0;
}

namespace {

// Samples of a stream packet that the ring held already when the program started (sent
// again by the datalogger from the saved position) are dropped: the count to drop.
int ring_overlap(Modem *modem, AltusDatalogger *dl, AltusChan *ch, double t, int nsamp) {
  if (ch->ring_last_time == 0.0) return 0;
  int n = link_overlap_samples(ch->ring_last_time, t, 1.0 / dl->samprate, nsamp);
  if (n > 0) ch->ring_overlap_dropped += n;
  if (n < nsamp) {  // past what the ring held: nothing more to compare with
    if (ch->ring_overlap_dropped > 0) {
      char *s = strtime(ch->ring_last_time);
      altuscom_log_message(modem, dl, 0,
                           "%s: %ld samples up to %s were in the ring already - dropped",
                           chan_label(ch).c_str(), ch->ring_overlap_dropped, s);
      free(s);
    }
    ch->ring_last_time = 0.0;
    ch->ring_overlap_dropped = 0;
  }
  return n;
}

// Writes what it can of a stream packet into its channel's buffer. The buffer that took
// it, or none.
RepackageBuf *put_stream_pkt(Kessaro *altus, AltusPacket *pkt) {
  AltusDatalogger *dl = pkt->datalogger;
  auto *blk = reinterpret_cast<AltusBlockStrdata *>(pkt->data);
  if (dl == nullptr || blk == nullptr || pkt->nbytes < (int)sizeof(AltusBlockStrdata))
    return nullptr;
  AltusChan *ch = stream_chan(dl, blk);
  if (ch == nullptr || !ch->outputthischan || ch->pdef == nullptr) return nullptr;
  RepackageBuf *rbuf = channel_rbuf(altus, ch, "repackage_stream_pkt");
  double t = strdata_time(blk);
  if (ch->getcalib == 0 &&
      database_calib(altus, pkt, ch, t, "repackage_stream_pkt",
                     "repackage_stream_pkt: Cannot process channel '%s' since no calib db "
                     "specified in command line.\n",
                     "repackage_stream_pkt: pktchannelcalib_get() error for channel %s.\n") < 0) {
    return nullptr;
  }
  if (!rate_ok(dl->samprate)) {
    altuscom_log_complain(pkt->modem, dl, 1, 0,
                          "repackage_stream_pkt: No usable sample rate for channel %s.\n",
                          ch->netstachanloc);
    return nullptr;
  }
  const int nsamp = strdata_nsamp(blk);
  const int skip = ring_overlap(pkt->modem, dl, ch, t, nsamp);
  if (skip >= nsamp) return nullptr;
  if (repackage_put(rbuf, ch->net, ch->sta, ch->chan, ch->loc, t + skip / dl->samprate,
                    1.0 / dl->samprate, ch->calib, ch->calper, ch->segtype, nsamp - skip,
                    blk->data + skip) < 0) {
    altuscom_log_complain(pkt->modem, dl, 1, 0,
                          "repackage_stream_pkt: repackage_put() error for channel %s.\n",
                          ch->netstachanloc);
    return nullptr;
  }
  return rbuf;
}

}  // namespace

void repackage_stream_pkt(Kessaro *altus, AltusPacket *pkt) {
  RepackageBuf *rbuf = put_stream_pkt(altus, pkt);
  if (!pkt->ring_tracked || pkt->datalogger == nullptr) return;
  if (rbuf == nullptr || rbuf->flush_callback != ring_flushed) {
    ring_release(pkt->datalogger, pkt->ring_seq);
    return;
  }
  // Held by the buffer until its next flush (a put that flushed first has already
  // released what it held before).
  auto *held = static_cast<RingHeld *>(rbuf->flush_callback_user_data);
  std::lock_guard<std::mutex> g(held->mutex);
  held->items.emplace_back(pkt->datalogger, pkt->ring_seq);
}

unsigned altuscom_ring_nextseq(AltusDatalogger *dl, int *from_zero) {
  std::lock_guard<KessaroMutex> s(dl->stream_mutex);
  unsigned next = dl->nextSeq;
  // Counting from a counter reset: nothing passed yet, or the reset's packets on their way.
  bool counting = next != 0 || dl->strseq_from_zero || dl->strseq_kept || dl->strseq_backfill ||
                  dl->n_strbuf > 0 || dl->n_strretranbuf > 0;
  if (next != 0) {
    std::lock_guard<KessaroMutex> g(dl->ring_mutex);
    for (unsigned seq : dl->ring_pending) {
      if (static_cast<int32_t>(seq - next) < 0) next = seq;
    }
  }
  if (from_zero) *from_zero = next == 0 && counting;
  return next;
}

void altuscom_ring_overlap_init(Kessaro *altus) {
  std::map<std::string, std::map<std::string, double>> rings;  // ring name -> channel times
  Tbl *dls = altus->dltargets_array ? valsarr(altus->dltargets_array) : nullptr;
  for (long i = 0; i < maxtbl(dls); i++) {
    auto *dl = static_cast<AltusDatalogger *>(gettbl(dls, i));
    for (AltusChan &ch : dl->data_chan[1]) {
      ch.ring_last_time = 0.0;
      ch.ring_overlap_dropped = 0;
      if (!ch.outputthischan || ch.pdef == nullptr || ch.pdef->orbtag == nullptr ||
          ch.pdef->orbtag->orbname == nullptr)
        continue;
      const std::string ring = ch.pdef->orbtag->orbname;
      auto it = rings.find(ring);
      if (it == rings.end()) {
        it = rings.emplace(ring, std::map<std::string, double>()).first;
        if (ring_newest_sample_times(ring.c_str(), &it->second) < 0) {
          elog_complain(0,
                        "altuscom_ring_overlap_init: cannot read ring %s: what a datalogger "
                        "sends again may be written twice.\n",
                        ring.c_str());
        }
      }
      auto t = it->second.find(chan_label(&ch));
      if (t != it->second.end()) ch.ring_last_time = t->second;
    }
  }
  freetbl(dls, nullptr);
}

namespace {

// An event file's samples, demultiplexed channel after channel, and its facts.
struct DecodedEvent {
  AltusEvtInfo info;
  int nsamps = 0, nchans = 0, samples_size = 0;
  int *samples = nullptr;
  DecodedEvent() = default;
  DecodedEvent(const DecodedEvent &) = delete;
  DecodedEvent &operator=(const DecodedEvent &) = delete;
  ~DecodedEvent() { free(samples); }
};

// Decodes the element's event file: tag, header (its checksum checked) and samples.
// False (complained) when any part fails.
bool decode_event_file(AltusPacket *pkt, DecodedEvent *ev) {
  AltusDatalogger *dl = pkt->datalogger;
  const char *file = pkt->pathname ? pkt->pathname : "";
  const char *target = dl->target_name ? dl->target_name : "";
  int ismw = altuscom_ismw(pkt->modem, dl);
  unsigned char *p = pkt->data;
  const unsigned char *end = pkt->data + (pkt->nbytes > 0 ? pkt->nbytes : 0);
  AltusEvtTag tag;
  int be = 0, size = 0, datasize = 0, nframes = 0;
  unsigned short chk = 0, sum = 0;
  AltusEvtFile fhdr;
  if (evt_readtag(nullptr, &p, end, &tag, &be, &size, &datasize, &chk) < 0) {
    altuscom_log_complain(pkt->modem, dl, 1, 0,
                          "repackage_event_pkt: evt_readtag() error for file %s from datalogger "
                          "%s.\n",
                          file, target);
    return false;
  }
  if (evt_readaltusfilehdr(nullptr, &p, end, &fhdr, size, be, ismw, &sum, &nframes) < 0) {
    altuscom_log_complain(pkt->modem, dl, 1, 0,
                          "repackage_event_pkt: evt_readaltusfilehdr() error for file %s from "
                          "datalogger %s.\n",
                          file, target);
    return false;
  }
  if (sum != chk) {
    altuscom_log_complain(pkt->modem, dl, 1, 0,
                          "repackage_event_pkt: Checksum error on Altus file header for file %s "
                          "from datalogger %s.\n",
                          file, target);
    return false;
  }
  if (evt_demuxdata(nullptr, &p, end, &fhdr, &ev->nsamps, &ev->nchans, &ev->samples,
                    &ev->samples_size) < 0) {
    altuscom_log_complain(pkt->modem, dl, 1, 0,
                          "repackage_event_pkt: evt_demuxdata() error for file %s from "
                          "datalogger %s.\n",
                          file, target);
    return false;
  }
  evt2info(&fhdr, &ev->info);
  return true;
}

// Hands the event's samples of every output channel to the repackager, a packet's time
// window at a time, and flushes the channels' buffers.
void put_event_samples(Kessaro *altus, AltusPacket *pkt, const DecodedEvent &ev) {
  AltusDatalogger *dl = pkt->datalogger;
  const AltusEvtInfo &info = ev.info;
  const int nsamps = ev.nsamps;
  double per = dl->output_packet_twin * info.samprate + 0.5;
  int nper = per >= 1.0 && per < 2147483647.0 ? (int)per : 1;
  double dt = 1.0 / info.samprate;
  for (int i = 0; i < nsamps; i += (nsamps - i > nper ? nper : nsamps - i)) {
    double time = info.time + i * dt;
    {
      std::lock_guard<KessaroMutex> g(dl->output_time_mutex);
      dl->last_data_time = time;
    }
    int n = nsamps - i < nper ? nsamps - i : nper;
    for (int c = 0; c < ALTUS_MAXCHAN; c++) {
      AltusChan *ch = &dl->data_chan[0][c];
      int k = mapchanindex(info.channel_bitmap, c);
      if (!ch->outputthischan || k < 0 || k >= ev.nchans || ch->pdef == nullptr) continue;
      RepackageBuf *rbuf = channel_rbuf(altus, ch, "repackage_event_pkt");
      if (ch->getcalib == 0) {
        if (database_calib(altus, pkt, ch, time, "repackage_event_pkt",
                           "repackage_event_pkt: Cannot process channel '%s' since no calib db "
                           "specified in command line.\n",
                           "repackage_event_pkt: pktchannelcalib_get() error for channel "
                           "'%s'.\n") < 0) {
          continue;
        }
      } else if (ch->getcalib == 1) {
        ch->calib = info.chans[k].calib;
      }
      if (repackage_put(rbuf, ch->net, ch->sta, ch->chan, ch->loc, time, dt, ch->calib, ch->calper,
                        ch->segtype, n, ev.samples + (size_t)k * (size_t)nsamps + i) < 0) {
        altuscom_log_complain(pkt->modem, dl, 1, 0,
                              "repackage_event_pkt: repackage_put() error for channel %s.\n",
                              ch->netstachanloc);
      }
      elog_clear_register(1);
    }
  }
  for (int c = 0; c < ALTUS_MAXCHAN; c++) {
    AltusChan *ch = &dl->data_chan[0][c];
    if (ch->outputthischan && ch->pdef != nullptr && ch->pdef->rbuf != nullptr) {
      repackage_flush(ch->pdef->rbuf);
    }
  }
}

}  // namespace

void repackage_event_pkt(Kessaro *altus, AltusPacket *pkt) {
  AltusDatalogger *dl = pkt->datalogger;
  if (dl == nullptr || pkt->data == nullptr) return;
  DecodedEvent ev;
  if (!decode_event_file(pkt, &ev)) return;
  const AltusEvtInfo &info = ev.info;
  if (dl->starttime > 0.0 && info.time < dl->starttime) {
    char *s = epoch2str(info.time, "%Y%j:%H:%M:%S");
    altuscom_log_message(pkt->modem, dl, 0, "Skipping ORB output of event at %s because too old",
                         s);
    free(s);
    return;
  }
  if (!rate_ok(info.samprate)) {
    altuscom_log_complain(pkt->modem, dl, 1, 0,
                          "repackage_event_pkt: Illegal sample rate %.5f in file %s from "
                          "datalogger %s.\n",
                          info.samprate, pkt->pathname ? pkt->pathname : "",
                          dl->target_name ? dl->target_name : "");
    return;
  }
  put_event_samples(altus, pkt, ev);
}

void output_pf(Kessaro *altus, AltusPacket *pkt) {
  const char *srcname = pkt->pathname ? pkt->pathname : "";
  Orbtag *tag = pkt->type == ALTUSPKT_STATUS ? altus->status : altus->evtinfo;
  Packet *p = newPkt();
  p->pkttype = suffix2pkttype("pf");
  Pf *pf = nullptr;
  char *buf = nullptr;
  int nbytes = 0, bufsize = 0;
  const char *text = pkt->data ? reinterpret_cast<const char *>(pkt->data) : "";
  if (pkt->data != nullptr &&
      memchr(pkt->data, '\0', (size_t)(pkt->nbytes > 0 ? pkt->nbytes : 0)) == nullptr) {
    text = nullptr;  // unterminated: never read past the buffer
  }
  if (text == nullptr || pfcompile(text, &pf) < 0) {
    elog_complain(0, "output_pf: pfcompile() error for srcname %s.\n", srcname);
  } else {
    p->pf = pf;
    if (stuffPkt(p, nullptr, nullptr, &buf, &nbytes, &bufsize) < 0) {
      elog_complain(0, "output_pf: stuffPkt() error for srcname %s.\n", srcname);
    } else {
      orbput(tag ? tag->orbw : -1, srcname, pkt->time, buf, nbytes);
      elog_clear_register(1);
    }
  }
  free(buf);
  freePkt(p);  // frees the tree with it
}

void output_log_msg(Kessaro *altus, AltusPacket *pkt) {
  const char *target = (pkt->modem != nullptr && pkt->datalogger != nullptr)
                           ? pkt->datalogger->target_name
                           : altus->targetname;
  std::string srcname = std::string(target ? target : "") + "/log";
  if (srcname.size() > 63) srcname.resize(63);
  std::string text;
  if (pkt->data != nullptr && pkt->nbytes > 0) {
    const char *d = reinterpret_cast<const char *>(pkt->data);
    text.assign(d, strnlen(d, (size_t)pkt->nbytes));
  }
  char *buf = nullptr;
  int nbytes = 0, bufsize = 0;
  if (log2orbpkt(text.c_str(), &buf, &nbytes, &bufsize) < 0) {
    elog_complain(0, "output_log_msg: log2orbpkt() error, srcname %s.\n", srcname.c_str());
  } else {
    orbput(altus->log ? altus->log->orbw : -1, srcname.c_str(), pkt->time, buf, nbytes);
  }
  free(buf);
}

int altuscom_push_status(AltusDatalogger *dl) {
  (void)dl;
  return 0;
}

void flush_repackage_buffers(Kessaro *altus) {
  if (altus == nullptr || altus->repackage_tbl == nullptr) return;
  for (long i = 0; i < maxtbl(altus->repackage_tbl); i++) {
    auto *rbuf = static_cast<RepackageBuf *>(gettbl(altus->repackage_tbl, i));
    if (rbuf != nullptr && repackage_flush(rbuf) < 0) {
      elog_complain(0, "flush_repackage_buffers: repackage_flush() error.\n");
    }
  }
}

int mapchanindex(int channel_bitmap, int physical) {
  if (physical < 0 || physical > 31) return -1;
  uint32_t bits = (uint32_t)channel_bitmap;
  if (!(bits & (1u << physical))) return -1;
  int k = 0;
  for (int b = 0; b < physical; b++) {
    if (bits & (1u << b)) k++;
  }
  return k;
}

int altuscom_ismw(void *modem, void *dl) {
  if (modem == nullptr || dl == nullptr) return 0;
  return strcmp(static_cast<AltusDatalogger *>(dl)->model, "MtWhitney") == 0 ? 1 : 0;
}

int altuscom_isrock(void *modem, void *dl) {
  if (modem == nullptr || dl == nullptr) return 0;
  return strcmp(static_cast<AltusDatalogger *>(dl)->model, "ROCK") == 0 ? 1 : 0;
}
