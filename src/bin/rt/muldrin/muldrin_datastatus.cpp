// muldrin_datastatus.cpp - status channels: stored values, one-sample waveforms, log lines.
#include "muldrin_datastatus.h"

#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/timetext.h"
#include "muldrin_run.h"
#include "muldrin_write.h"
#include "parse_pf.h"
#include "q330_dblk.h"
#include "q330_repkt.h"
#include "ringsvc/linkoverlap.h"
#include "support/stdtime.h"

MuldrinRepkt muldrin_repkt = {q330_repkt_create, q330_repkt_put, q330_repkt_flush};

namespace {

// The writer's own repeat-suppression slots, per session (write thread only).
std::map<const Q330 *, std::vector<Q330LogBufferEntry>> g_slots;

template <typename T, size_t N>
bool in_table(const void *p, const T (&table)[N]) {
  auto a = reinterpret_cast<uintptr_t>(p);
  auto lo = reinterpret_cast<uintptr_t>(&table[0]);
  auto hi = reinterpret_cast<uintptr_t>(&table[N]);
  return a >= lo && a < hi && (a - lo) % sizeof(T) == 0;
}

std::string timestr(double t, const char *fmt) {
  char *s = epoch2str(t, fmt);
  std::string r = s != nullptr ? s : "";
  free(s);
  return r;
}

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, f);
  vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}

// Name of enumeration entry `value`, or the number when the table names none.
std::string enum_name(const Q330DataStatusDef *def, uint32_t value) {
  if (value < 16 && def->entries[value].name != nullptr) return def->entries[value].name;
  return std::to_string(value);
}

// Writes one sample of `sc` through its definition's repackager. Skipped without a seam
// or an orbtag.
void put_sample(Q330StatusChan *sc, double time, double samptime, double dt, double calib,
                const char *segtype, int sample) {
  PacketDef *pd = sc->output_wf_pdef;
  if (muldrin_repkt.create == nullptr || muldrin_repkt.put == nullptr || pd->orbtag == nullptr)
    return;
  if (pd->rbuf == nullptr) {
    pd->rbuf = muldrin_repkt.create(pd->suffix, pd->subcode, pd->orbtag->orbw);
    if (pd->rbuf == nullptr) elog_die(0, "q330_write_datastatus: q330_repkt_create() error.\n");
  }
  char seg[4];
  snprintf(seg, sizeof seg, "%s", segtype);
  if (muldrin_repkt.put(pd->rbuf, time, pd->twin, sc->net, sc->sta, sc->chan, sc->loc, samptime, dt,
                        calib, -1.0, seg, 1, &sample) < 0)
    elog_complain(0, "q330_write_datastatus: q330_repkt_put() error.\n");
  if (myshutdown.load() != 0 && muldrin_repkt.flush != nullptr) muldrin_repkt.flush(pd->rbuf);
}

double sampling_interval(int bits) { return bits == 1 ? 1.0 : bits == 2 ? 10.0 : 0.0; }

std::string data_entry(Q330 *q330, Q330StatusChan *sc, const Q330DataStatusEntry &e,
                       const Q330DataStatusDef *def, uint16_t rates) {
  const char *units, *segtype;
  muldrin_status_units(def->type, &units, &segtype);
  std::string unit_text = units;
  double calib = def->calib;
  double samptime = sc->time;
  double dt = def->dt;
  if (sc->output_wf_pdef != nullptr) {
    if (def->dt == -2) dt = sampling_interval(rates & 0x3);
    if (def->dt == -1) dt = sampling_interval((rates >> 8) & 0x3);
    if (def->dt == -3) {
      dt = e.dt;
      samptime = sc->time - e.delay;
      calib = e.calib;
      segtype = e.segtype;
      switch (e.segtype[0]) {
        case 'P':
          unit_text = "mbar";
          break;
        case 'K':
          unit_text = "KPa";
          break;
        case 't':
          unit_text = "C";
          break;
        default:
          unit_text = std::string(e.segtype, strnlen(e.segtype, sizeof e.segtype));
      }
    }
    if (dt > 0) {
      const char *key = sc->pfkey[0] != '\0' ? sc->pfkey : def->name;
      if (q330->params.trim_link_overlaps && link_overlap(sc->last_link_time, sc->time)) {
        if (q330->params.verbose_log > 1)
          q330_output(q330, Q330_OUT_LOG, "DEBUGT: link overlap at %s for %s - dropped.\n",
                      timestr(sc->time, "%Y%j %H:%M:%S").c_str(), key);
      } else {
        if (sc->first_output_time == 0) {
          sc->first_output_time = sc->time;
          if (q330->params.verbose_log > 1)
            q330_output(q330, Q330_OUT_LOG, "DEBUGT: first data output at %s for %s\n",
                        timestr(sc->time, "%Y%j %H:%M:%S").c_str(), key);
        }
        sc->last_output_time = sc->time;
        put_sample(sc, sc->time, samptime, dt, calib, segtype, static_cast<int>(e.value));
      }
    }
  }
  if (!sc->outputthischan_log) return "";
  switch (def->type) {
    case 1:
    case 2:
    case 17:
    case 18:
    case 19:
      return fmt("%s = %d", def->name, static_cast<int>(e.value));
    case 3:
      return fmt("%s = %s", def->name, enum_name(def, e.value).c_str());
    case 4:
      return std::string(def->name) + " =" + muldrin_status_bit_names(def, e.value);
    case 6:
      return def->name;
    case 11:
      return fmt("%s = %.3f %s", def->name, static_cast<int32_t>(e.value) * calib,
                 unit_text.c_str());
    case 13:
      return fmt("%s = %ld %s", def->name, std::lround(e.value * calib), unit_text.c_str());
    default:
      return fmt("%s = %.3f %s", def->name, e.value * calib, unit_text.c_str());
  }
}

std::string program_entry(Q330 *q330, Q330StatusChan *sc, const Q330DataStatusEntry &e,
                          const Q330StatusDef *def) {
  const char *units, *segtype;
  muldrin_status_units(def->type, &units, &segtype);
  int interval = q330->params.statusreport_interval;
  if (sc->output_wf_pdef != nullptr && interval > 0) {
    int sample = def->calib != 0 ? static_cast<int>(std::lround(e.dvalue / def->calib)) : 0;
    put_sample(sc, sc->time, sc->time, interval, def->calib, segtype, sample);
  }
  if (!sc->outputthischan_log) return "";
  switch (def->type) {
    case 1:
    case 2:
      return fmt("%s = %ld", def->name, std::lround(e.dvalue));
    case 6:
      return def->name;
    case 13:
      return fmt("%s = %ld %s", def->name, std::lround(e.dvalue), units);
    default:
      return fmt("%s = %.3f %s", def->name, e.dvalue, units);
  }
}

}  // namespace

void muldrin_status_units(int deftype, const char **units, const char **segtype) {
  switch (deftype) {
    case 7:
    case 8:
      *units = "sec";
      *segtype = "T";
      break;
    case 9:
      *units = "volt";
      *segtype = "v";
      break;
    case 10:
      *units = "amp";
      *segtype = "i";
      break;
    case 11:
      *units = "C";
      *segtype = "t";
      break;
    case 12:
      *units = "%";
      *segtype = "p";
      break;
    case 13:
      *units = "bps";
      *segtype = "b";
      break;
    default:
      *units = "";
      *segtype = "c";
      break;
  }
}

int muldrin_status_kind(const void *stdef) {
  if (stdef == nullptr) return 0;
  if (in_table(stdef, q330_status_defs)) return 1;
  if (in_table(stdef, q330_data_status_defs)) return 2;
  return 0;
}

void muldrin_datastatus_reset(void) { g_slots.clear(); }

void q330_write_datastatus(Q330 *q330, Q330DataStatus *dstat) {
  if (q330 == nullptr || dstat == nullptr) return;
  if (dstat->time == 0) {
    elog_complain(0, "q330_write_datastatus: status with no time tag - dropped.\n");
    return;
  }
  uint16_t rates;
  {
    std::lock_guard<std::mutex> lock(q330->config.config_mutex);
    rates = q330->config.config_pkt.glob.aux_stat_sampling_rates;
  }
  std::string line;
  int n = dstat->n < 0                          ? 0
          : dstat->n > Q330_DATA_STATUS_ENTRIES ? Q330_DATA_STATUS_ENTRIES
                                                : dstat->n;
  for (int i = 0; i < n; i++) {
    const Q330DataStatusEntry &e = dstat->entries[i];
    if (e.type < 1 || e.type > 3) continue;
    // The kind comes from the definition's table, the validity from the entry's type, so
    // an invalid program entry is never read as a data definition.
    int kind = muldrin_status_kind(e.stdef);
    if (kind == 0) continue;
    const char *name = kind == 1 ? static_cast<const Q330StatusDef *>(e.stdef)->name
                                 : static_cast<const Q330DataStatusDef *>(e.stdef)->name;
    auto *sc = static_cast<Q330StatusChan *>(getarr(q330->params.status_chan_arr, name));
    if (sc == nullptr) continue;
    {
      std::lock_guard<std::mutex> lock(q330->status.status_mutex);
      sc->time = dstat->time;
      sc->value = e.value;
      sc->dvalue = e.dvalue;
      if (e.type == 3) sc->time = 0;
    }
    if (e.type == 3) continue;
    std::string text =
        kind == 2 ? data_entry(q330, sc, e, static_cast<const Q330DataStatusDef *>(e.stdef), rates)
                  : program_entry(q330, sc, e, static_cast<const Q330StatusDef *>(e.stdef));
    if (text.empty()) continue;
    if (!line.empty()) line += ", ";
    line += text;
  }
  if (line.empty()) return;
  auto &slots = g_slots[q330];
  if (slots.empty()) slots.resize(Q330_LOG_BUFFER_SIZE);
  int index = dstat->index;
  if (index < 0 || index >= Q330_LOG_BUFFER_SIZE) index = 0;
  Q330LogBufferEntry &slot = slots[static_cast<size_t>(index)];
  if (slot.msg == line) {
    slot.count++;
    return;
  }
  slot.msg = line;
  slot.count = 0;
  slot.time = dstat->time;
  char msg[Q330_OUTPUT_MSG_MAX];
  snprintf(msg, sizeof msg, "%s: %s: %s: LOG: %s: %s",
           timestr(std_now(), "%Y%j %H:%M:%S.%s").c_str(),
           q330->target_name != nullptr ? q330->target_name : "",
           q330->params.dlname != nullptr ? q330->params.dlname : "",
           timestr(std::round(dstat->time), "%Y%j %H:%M:%S").c_str(), line.c_str());
  char *copy = strdup(msg);
  if (copy == nullptr) elog_die(1, "q330_write_datastatus: malloc() error.\n");
  q330_write(q330, Q330_OUT_LOG, copy, 0);
}

std::string muldrin_status_bit_names(const Q330DataStatusDef *def, uint32_t value) {
  std::string s;
  for (int bit = 0; bit < 16; bit++) {
    const char *name = def->entries[bit].name;
    if (name == nullptr || name[0] == '\0' || (value & (1u << bit)) == 0) continue;
    s += ' ';
    s += name;
  }
  return s;
}
