// q330_state.cpp - writing and restoring a session's block of the state file.
#include "q330_state.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "base/writefile.h"
#include "q330_data.h"
#include "q330_qdp.h"

namespace {

constexpr int LINE_MAX_BYTES = 2048;

// A whole decimal number (optionally signed) and nothing else.
bool parse_long(const char *text, long *value) {
  if (!text || !*text) return false;
  char *end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0') return false;
  *value = v;
  return true;
}

// A finite real number and nothing else (leading and trailing blanks allowed).
bool parse_real(const char *text, double *value) {
  if (!text) return false;
  char *end = nullptr;
  double v = strtod(text, &end);
  if (end == text) return false;
  while (*end == ' ' || *end == '\t') end++;
  if (*end != '\0' || !std::isfinite(v)) return false;
  *value = v;
  return true;
}

// A block of the state store, or none.
struct Block {
  Q330StateNode node;
  bool found = false;
  explicit operator bool() const { return found; }
};

const char *text_of(const Block &b, const char *key) {
  return b ? q330_statenode_text(b.node, key) : nullptr;
}

Block block_of(const Block &b, const char *key) {
  Block out;
  out.found = b && q330_statenode_array(b.node, key, &out.node);
  return out;
}

// The session's block of the state object, or none (complained when the object exists).
Block session_block(Q330 *q330) {
  if (!q330->statepf) return {};
  const char *dlname = q330->params.dlname ? q330->params.dlname : "";
  Block block = block_of({q330_statestore_root(q330->statepf), true}, dlname);
  if (!block) elog_complain(0, "Cannot find %s in statefile.\n", dlname);
  return block;
}

int restore_named(const Block &block, const char *name, const char *dlname, TAverage *ta) {
  Block pf = block_of(block, name);
  if (!pf) {
    elog_complain(0, "Cannot find '%s' in statefile for %s.\n", name, dlname);
    return 0;
  }
  char desc[256];
  snprintf(desc, sizeof desc, "'%s' in statefile for %s", name, dlname);
  taverage_read_state(ta, desc, pf.node);
  return 0;
}

// One "chans" entry: "data:S:P", "ep:N" or a status channel's key.
void restore_channel(Q330 *q330, const char *key, const char *value, const char *dlname) {
  Q330DLParams &p = q330->params;
  double v = 0;
  if (!parse_real(value, &v)) {
    elog_complain(0, "Illegal time for 'chans->%s' in statefile for %s.\n", key, dlname);
    return;
  }
  if (strncmp(key, "data:", 5) == 0) {
    std::string rest = key + 5;
    size_t colon = rest.find(':');
    long s = 0, c = 0;
    if (colon == std::string::npos || !parse_long(rest.substr(0, colon).c_str(), &s) ||
        !parse_long(rest.substr(colon + 1).c_str(), &c)) {
      elog_complain(0, "Illegal key 'chans->%s' in statefile for %s.\n", key, dlname);
      return;
    }
    if (s < 0 || s > 7) {
      elog_complain(0, "Illegal stream index %ld in 'chans->%s' in statefile for %s.\n", s, key,
                    dlname);
      return;
    }
    if (c < 0 || c > 5) {
      elog_complain(0, "Illegal pchan index %ld in 'chans->%s' in statefile for %s.\n", c, key,
                    dlname);
      return;
    }
    Q330Chan &ch = p.data_chan[s][c];
    ch.last_link_time = ch.last_output_time = v;
    return;
  }
  if (strncmp(key, "ep:", 3) == 0) {
    long n = 0;
    if (!parse_long(key + 3, &n)) {
      elog_complain(0, "Illegal key 'chans->%s' in statefile for %s.\n", key, dlname);
      return;
    }
    if (n < 0 || n > 255) {
      elog_complain(0, "Illegal ep channel %ld in 'chans->%s' in statefile for %s.\n", n, key,
                    dlname);
      return;
    }
    if (Q330Chan *ch = p.ep_channels[n]) ch->last_link_time = ch->last_output_time = v;
    return;
  }
  auto *sc =
      p.status_chan_arr ? static_cast<Q330StatusChan *>(getarr(p.status_chan_arr, key)) : nullptr;
  if (!sc) {
    elog_complain(0, "No status channel defined for 'chans->%s' in statefile for %s.\n", key,
                  dlname);
    return;
  }
  sc->last_link_time = sc->last_output_time = v;
}

// The packet copies a restart needs, as lists of "sequence command hex-bytes" lines:
// "data_record", the packets of the record being assembled that were passed on (always
// written with the stream position: a restart then knows the record begun, even when it
// is none), and "data_held", the packets held beyond a gap at the last close.
int write_copies(const std::vector<Q330DataCopy> &record, const std::vector<Q330DataCopy> &held,
                 int fd) {
  static const char digits[] = "0123456789abcdef";
  auto list = [&](const char *key, const std::vector<Q330DataCopy> &copies) {
    if (my_fprintf(fd, "%s &Tbl{\n", key) < 0) return -1;
    for (const Q330DataCopy &c : copies) {
      std::string hex;
      for (unsigned char b : c.bytes) {
        hex += digits[b >> 4];
        hex += digits[b & 15];
      }
      if (my_fprintf(fd, "%u %d %s\n", c.sequence, c.command, hex.c_str()) < 0) return -1;
    }
    return my_fprintf(fd, "}\n") < 0 ? -1 : 0;
  };
  if (list("data_record", record) < 0) return -1;
  return held.empty() ? 0 : list("data_held", held);
}

// One copy line of write_copies; false when it is not one.
bool parse_copy(const char *line, Q330DataCopy *c) {
  unsigned sequence = 0;
  int command = -1, at = 0;
  if (!line || sscanf(line, "%u %d %n", &sequence, &command, &at) < 2 || sequence > 65535 ||
      (command != Q330_DT_DATA && command != Q330_DT_FILL))
    return false;
  const char *hex = line + at;
  size_t n = strlen(hex);
  if (n == 0 || n % 2 != 0 || n / 2 > static_cast<size_t>(Q330_QDP_DATA_MAX)) return false;
  c->sequence = static_cast<uint16_t>(sequence);
  c->command = command;
  c->bytes.clear();
  for (size_t i = 0; i < n; i += 2) {
    auto nibble = [](char x) {
      return x >= '0' && x <= '9' ? x - '0' : x >= 'a' && x <= 'f' ? x - 'a' + 10 : -1;
    };
    int hi = nibble(hex[i]), lo = nibble(hex[i + 1]);
    if (hi < 0 || lo < 0) return false;
    c->bytes.push_back(static_cast<unsigned char>(hi << 4 | lo));
  }
  return true;
}

// A list of copies from the block; false when a line is not one (nothing taken then).
bool read_copies(const Block &block, const char *key, std::vector<Q330DataCopy> *out) {
  out->clear();
  Q330StateNode list;
  if (!q330_statenode_list(block.node, key, &list)) return true;
  bool ok = true;
  size_t pos = 0;
  Q330StateEntry e;
  while (ok && q330_statenode_next(list, &pos, &e)) {
    Q330DataCopy c;
    ok = e.kind == 'S' && parse_copy(e.text, &c);
    if (ok) out->push_back(std::move(c));
  }
  if (!ok) out->clear();
  return ok;
}

}  // namespace

int my_fprintf(int fd, const char *fmt, ...) {
  char line[LINE_MAX_BYTES];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n < 0) return -1;
  size_t len = strlen(line);
  if (writefile_all(fd, line, len) < 0) return -1;
  return static_cast<int>(len);
}

int taverage_write_state(TAverage *ta, const char *name, int fd) {
  if (!ta) return 0;
  double time, tbin, twin;
  int nbin;
  std::vector<double> bins;
  {
    std::lock_guard<std::mutex> lock(ta->mutex);
    time = ta->time;
    tbin = ta->tbin;
    twin = ta->twin;
    nbin = ta->nbin;
    bins = ta->bins;
  }
  bool ok = my_fprintf(fd, "%s &Arr{\n", name) >= 0 && my_fprintf(fd, "time %.3f\n", time) >= 0 &&
            my_fprintf(fd, "tbin %.3f\n", tbin) >= 0 && my_fprintf(fd, "twin %.3f\n", twin) >= 0 &&
            my_fprintf(fd, "nbin %d\n", nbin) >= 0 && my_fprintf(fd, "bins &Tbl{\n") >= 0;
  for (size_t i = 0; ok && i < bins.size(); i++) {
    if (tbin < 0 && bins[i] <= 0) break;  // event mode: the used slots only
    ok = my_fprintf(fd, "%.3f\n", bins[i]) >= 0;
  }
  ok = ok && my_fprintf(fd, "}\n") >= 0 && my_fprintf(fd, "}\n") >= 0;
  if (!ok) {
    elog_complain(0, "taverage_write_state: file write error.\n");
    return -1;
  }
  return 0;
}

int q330_write_state(Q330 *q330, int fdstate) {
  Q330DLParams &p = q330->params;
  Q330Status &st = q330->status;
  auto fail = [] {
    elog_complain(0, "q330_write_state: file write error.\n");
    return -1;
  };
  // One view of the session, taken before anything is written, each part at once under
  // the lock of its owner: the counters of the control thread, the data thread's position
  // with its copies, the write thread's link times.
  double endtime = 0;
  int nreboots = 0;
  {
    std::lock_guard<std::mutex> lock(st.status_mutex);
    endtime = st.endtime;
    nreboots = st.nreboots;
  }
  Q330StreamMark mark;
  std::vector<Q330DataCopy> record, held;
  {
    std::lock_guard<std::mutex> lock(q330->data_copy_mutex);
    mark = q330->data_mark;
    if (mark.known) {
      record = q330->data_record_copy;
      held = q330->data_held_copy;
    }
  }
  std::vector<std::pair<std::string, double>> links;
  {
    std::lock_guard<std::mutex> lock(q330->link_time_mutex);
    char key[64];
    for (int s = 0; s < 8; s++)
      for (int c = 0; c < 6; c++) {
        const Q330Chan &ch = p.data_chan[s][c];
        if (!ch.outputthischan || !ch.user_data || ch.last_link_time == 0) continue;
        snprintf(key, sizeof key, "data:%d:%d", s, c);
        links.emplace_back(key, ch.last_link_time);
      }
    for (int n = 0; n < 256; n++) {
      const Q330Chan *ch = p.ep_channels[n];
      if (!ch || !ch->user_data || ch->last_link_time == 0) continue;
      snprintf(key, sizeof key, "ep:%d", n);
      links.emplace_back(key, ch->last_link_time);
    }
    Tbl *keys = p.status_chan_arr ? keysarr(p.status_chan_arr) : nullptr;
    for (long i = 0; i < maxtbl(keys); i++) {
      auto *name = static_cast<const char *>(gettbl(keys, i));
      auto *sc = static_cast<Q330StatusChan *>(getarr(p.status_chan_arr, name));
      if (sc && sc->last_link_time != 0) links.emplace_back(name, sc->last_link_time);
    }
    freetbl(keys, nullptr);
  }
  std::string settled = q330_address_settled(q330);
  const char *ip = settled.empty() ? "-" : settled.c_str();
  if (my_fprintf(fdstate, "%s &Arr{\n", p.dlname ? p.dlname : "") < 0 ||
      my_fprintf(fdstate, "endtime %.3f\n", endtime) < 0 ||
      my_fprintf(fdstate, "ch98_time %.6f\n", mark.ch98_time) < 0 ||
      my_fprintf(fdstate, "nreboots %d\n", nreboots) < 0 ||
      my_fprintf(fdstate, "lastip %s\n", ip) < 0)
    return fail();
  // Where the data stream stands in the datalogger's boot, so that a restarted program
  // neither passes on again what it passed on nor drops the rest of a record begun.
  if (mark.known &&
      (my_fprintf(fdstate, "data_boot %u %u\n", mark.boot_reboots, mark.boot_time) < 0 ||
       my_fprintf(fdstate, "data_sequence %u %u %u\n", mark.last_good_sequence, mark.qdp_sequence,
                  mark.data_sequence) < 0 ||
       write_copies(record, held, fdstate) < 0))
    return fail();
  if (my_fprintf(fdstate, "chans &Arr{\n") < 0) return fail();
  for (const auto &[key, time] : links)
    if (my_fprintf(fdstate, "%s %.6f\n", key.c_str(), time) < 0) return fail();
  if (my_fprintf(fdstate, "}\n") < 0) return fail();
  const struct {
    const char *name;
    TAverage *ta;
  } blocks[] = {{"nlinks_24h", st.ta_nlinks_24h},   {"nreboots_24h", st.ta_nreboots_24h},
                {"npocs_24h", st.ta_npocs_24h},     {"nipchs_24h", st.ta_nipchs_24h},
                {"datagap_24h", st.ta_datagap_24h}, {"datagap_1h", st.ta_datagap_1h}};
  for (const auto &b : blocks)
    if (taverage_write_state(b.ta, b.name, fdstate) < 0) return fail();
  if (UDP *u = q330->udp_control) {
    if (taverage_write_state(u->bytes_read, "control_read_24h", fdstate) < 0 ||
        taverage_write_state(u->bytes_written, "control_write_24h", fdstate) < 0)
      return fail();
  }
  if (UDP *u = q330->udp_data) {
    if (taverage_write_state(u->bytes_read, "data_read_24h", fdstate) < 0 ||
        taverage_write_state(u->bytes_written, "data_write_24h", fdstate) < 0)
      return fail();
  }
  if (my_fprintf(fdstate, "}\n") < 0) return fail();
  return 0;
}

int taverage_read_state(TAverage *ta, const char *name, Q330StateNode pf) {
  if (!ta) return -1;
  const char *keys[] = {"time", "twin", "tbin", "nbin"};
  const char *texts[4];
  for (int i = 0; i < 4; i++) {
    texts[i] = q330_statenode_text(pf, keys[i]);
    if (!texts[i]) {
      elog_complain(0, "Cannot find '%s' in %s.\n", keys[i], name);
      return -1;
    }
  }
  Q330StateNode list;
  if (!q330_statenode_list(pf, "bins", &list)) {
    elog_complain(0, "Cannot find 'bins' in %s.\n", name);
    return -1;
  }
  auto refuse = [&](const char *why) {
    elog_complain(0, "taverage_read_state: %s in %s - kept as created.\n", why, name);
    return -1;
  };
  double time = 0, twin = 0, tbin = 0;
  long nbin = 0;
  if (!parse_real(texts[0], &time)) return refuse("bad 'time'");
  if (!parse_real(texts[1], &twin) || twin < 0) return refuse("bad 'twin'");
  if (!parse_real(texts[2], &tbin) || tbin == 0) return refuse("bad 'tbin'");
  const long most = tbin > 0 ? TAVERAGE_MAX_BINS : TAVERAGE_MAX_EVENTS;
  if (!parse_long(texts[3], &nbin) || nbin < 1 || nbin > most) return refuse("bad 'nbin'");
  if (q330_statenode_count(list) > static_cast<size_t>(nbin))
    return refuse("more bins than 'nbin'");
  // Shorter lists are padded with zeros (empty bins, empty event slots).
  std::vector<double> bins(static_cast<size_t>(nbin), 0.0);
  size_t pos = 0, i = 0;
  for (Q330StateEntry e; q330_statenode_next(list, &pos, &e); i++) {
    double v = 0;
    if (e.kind != 'S' || !parse_real(e.text, &v)) return refuse("bad bin value");
    if (tbin < 0 && (v < 0 || (i > 0 && v > bins[i - 1])))
      return refuse("events not sorted newest first");
    bins[i] = v;
  }
  std::lock_guard<std::mutex> lock(ta->mutex);
  ta->time = tbin > 0 ? time : 0;
  ta->tbin = tbin;
  ta->twin = tbin > 0 ? tbin * static_cast<double>(nbin) : twin;
  ta->nbin = static_cast<int>(nbin);
  ta->bins.swap(bins);
  return 0;
}

int q330_read_state(Q330 *q330) {
  Block block = session_block(q330);
  if (!block) return 0;
  Q330DLParams &p = q330->params;
  const char *dlname = p.dlname ? p.dlname : "";
  auto missing = [&](const char *key) {
    elog_complain(0, "Cannot find '%s' in statefile for %s.\n", key, dlname);
  };
  // A value that is there but no number of its range (NaN, an infinity, a negative count)
  // is reported with the value, and the key keeps what it had.
  auto number = [&](const char *key, int kind, PfRange range, void *dest) {
    const char *text = text_of(block, key);
    char why[200];
    if (text == nullptr) {
      missing(key);
    } else if (pfnumber(key, text, kind, range, dest, why, sizeof why) != 0) {
      elog_complain(0, "Cannot find '%s' in statefile for %s. Refused: %s.\n", key, dlname, why);
    }
  };
  constexpr PfRange kAnyTime = {-HUGE_VAL, HUGE_VAL};
  double endtime = q330->status.endtime, ch98 = q330->ch98_time;
  int nreboots = q330->status.nreboots;
  number("endtime", P_DBL, kAnyTime, &endtime);
  number("ch98_time", P_DBL, kAnyTime, &ch98);
  number("nreboots", P_LINT, {0, 2147483647.0}, &nreboots);
  q330->status.endtime = endtime;
  q330->ch98_time = ch98;
  q330->status.nreboots = nreboots;
  // Optional: files of older releases lack them, and the stream then starts afresh.
  unsigned reboots = 0, boot_time = 0, good = 0, qdp = 0, record = 0;
  const char *boot = text_of(block, "data_boot");
  const char *seq = text_of(block, "data_sequence");
  if (boot && seq && sscanf(boot, "%u %u", &reboots, &boot_time) == 2 &&
      sscanf(seq, "%u %u %u", &good, &qdp, &record) == 3 && good < 65536 && qdp < 65536) {
    q330->data_boot_known = true;
    q330->data_boot_reboots = reboots;
    q330->data_boot_time = boot_time;
    q330->last_good_sequence = static_cast<uint16_t>(good);
    q330->ch98_time_qdp_sequence = static_cast<uint16_t>(qdp);
    q330->ch98_time_data_sequence = record;
    // The record begun and the packets held, when the file keeps them: the first open
    // then goes on after the last packet passed on.
    std::vector<Q330DataCopy> copies, held;
    Q330StateNode any;
    if (q330_statenode_list(block.node, "data_record", &any)) {
      if (read_copies(block, "data_record", &copies) && read_copies(block, "data_held", &held)) {
        std::lock_guard<std::mutex> lock(q330->data_copy_mutex);
        q330->data_record_copy.swap(copies);
        q330->data_held_copy.swap(held);
        q330->data_record_restored = true;
      } else {
        elog_complain(0, "Bad 'data_record' or 'data_held' in statefile for %s - ignored.\n",
                      dlname);
      }
    }
  }
  if (const char *ip = text_of(block, "lastip"))
    set_q330_str(&p.q330_lastipaddress, ip);
  else
    missing("lastip");

  Block chans = block_of(block, "chans");
  if (!chans) {
    missing("chans");
  } else {
    std::vector<uint32_t> keys;
    q330_statenode_keys(chans.node, &keys);
    for (uint32_t at : keys) {
      size_t pos = at;
      Q330StateEntry e;
      q330_statenode_next(chans.node, &pos, &e);
      restore_channel(q330, e.key, e.kind == 'S' ? e.text : nullptr, dlname);
    }
  }

  Q330Status &st = q330->status;
  const struct {
    const char *name;
    TAverage *ta;
  } blocks[] = {{"nlinks_24h", st.ta_nlinks_24h},   {"nreboots_24h", st.ta_nreboots_24h},
                {"npocs_24h", st.ta_npocs_24h},     {"nipchs_24h", st.ta_nipchs_24h},
                {"datagap_24h", st.ta_datagap_24h}, {"datagap_1h", st.ta_datagap_1h}};
  for (const auto &b : blocks) restore_named(block, b.name, dlname, b.ta);
  // The restored position is what the state file writes until the data thread moves on.
  q330_publish_data_mark(q330);
  return 0;
}

int q330_read_state_ta(Q330 *q330, const char *name, TAverage *ta) {
  Block block = session_block(q330);
  if (!block) return 0;
  return restore_named(block, name, q330->params.dlname ? q330->params.dlname : "", ta);
}

int q330_read_state_udp(Q330 *q330, int port) {
  if (port != 1 && port != 2) return 0;
  UDP *u = port == 1 ? q330->udp_control : q330->udp_data;
  if (!q330->statepf || !u || !u->bytes_read || !u->bytes_written) return 0;
  if (q330->udp_state_restored.fetch_or(port) & port) return 0;
  q330_read_state_ta(q330, port == 1 ? "control_read_24h" : "data_read_24h", u->bytes_read);
  q330_read_state_ta(q330, port == 1 ? "control_write_24h" : "data_write_24h", u->bytes_written);
  return 0;
}
