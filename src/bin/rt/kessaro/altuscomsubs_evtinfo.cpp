// altuscomsubs_evtinfo.cpp - event facts, event-information texts and waveform export.

#include "altuscomsubs_evtinfo.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "altuscom_hooks.h"
#include "altuscomsubs_log.h"
#include "altuscomsubs_output.h"
#include "altusevtsubs.h"
#include "base/elog.h"
#include "base/oom.h"
#include "base/paths.h"
#include "base/textutil.h"
#include "base/timetext.h"
#include "kessaro.h"
#include "reldb/dbedit.h"
#include "support/stdtime.h"

namespace {

const double kNmPerG = 9806650000.0;

// What both constructors read, gathered from either record.
struct EvtSource {
  int nsamp, nchan, sps, bitmap, ft, a2dbits;
  double time, triggertime;
  float fullscale[ALTUS_MAXCHAN], sensitivity[ALTUS_MAXCHAN];
  int32_t maxpeak[ALTUS_MAXCHAN], minpeak[ALTUS_MAXCHAN];
  uint32_t maxoff[ALTUS_MAXCHAN], minoff[ALTUS_MAXCHAN];
};

double altus_epoch(uint32_t secs, uint16_t msec) {
  double t = 0.0;
  altustime2epoch((int)secs, &t);
  return t + msec * 0.001;
}

void facts(const EvtSource &s, AltusEvtInfo *info) {
  memset(info, 0, sizeof *info);
  info->nsamp = s.nsamp;
  info->nchan = s.nchan < 0 ? 0 : (s.nchan > ALTUS_MAXCHAN ? ALTUS_MAXCHAN : s.nchan);
  info->samprate = s.sps;
  info->channel_bitmap = s.bitmap;
  info->time = s.time;
  info->triggertime = s.triggertime;
  info->ft = s.ft & 1;
  info->jdate = yearday(info->time);
  bool rate = info->samprate > 0.0 && std::isfinite(info->samprate);
  double dt = rate ? 1.0 / info->samprate : 0.0;
  double fraction = std::ldexp(1.0, -(s.a2dbits - 1));
  for (int k = 0; k < info->nchan; k++) {
    AltusEvtInfoChan &c = info->chans[k];
    double vpc = (double)s.fullscale[k] * fraction;
    double gpc = vpc / (double)s.sensitivity[k];
    c.calib = gpc * kNmPerG;
    c.maxpeak = s.maxpeak[k];
    c.minpeak = s.minpeak[k];
    c.time_maxpeak = rate ? info->time + s.maxoff[k] * dt : 0.0;
    c.time_minpeak = rate ? info->time + s.minoff[k] * dt : 0.0;
    c.percent_maxpeak = c.maxpeak * fraction;
    c.percent_minpeak = c.minpeak * fraction;
    c.v_maxpeak = c.maxpeak * vpc;
    c.v_minpeak = c.minpeak * vpc;
    c.g_maxpeak = c.maxpeak * gpc;
    c.g_minpeak = c.minpeak * gpc;
  }
  info->endtime = rate ? info->time + (info->nsamp - 1) * dt : 0.0;
}

}  // namespace

int eventsummary2info(const AltusBlockEventsummary *e, AltusEvtInfo *info) {
  EvtSource s{};
  s.nsamp = (int)e->nscans;
  s.nchan = e->nchan;
  s.sps = e->sps;
  s.bitmap = (int)e->channelBitMap;
  s.ft = e->flags & 1;
  s.a2dbits = e->a2dBits;
  s.time = altus_epoch(e->startTime, e->startTimeMsec);
  s.triggertime = altus_epoch(e->triggerTime, e->triggerTimeMsec);
  for (int k = 0; k < ALTUS_MAXCHAN; k++) {
    s.fullscale[k] = e->chan[k].fullscale;
    s.sensitivity[k] = e->chan[k].sensitivity;
    s.maxpeak[k] = e->chan[k].maxPeak;
    s.minpeak[k] = e->chan[k].minPeak;
    s.maxoff[k] = e->chan[k].maxPeakOffset;
    s.minoff[k] = e->chan[k].minPeakOffset;
  }
  facts(s, info);
  return 0;
}

int evt2info(const AltusEvtFile *h, AltusEvtInfo *info) {
  EvtSource s{};
  s.nsamp = (int)h->ro_stream.nscans;
  s.nchan = h->rw_misc.nchannels;
  s.sps = h->rw_stream.sps;
  s.bitmap = (int)h->rw_misc.channel_bitmap;
  s.ft = h->ro_stream.flags & 1;
  s.a2dbits = h->ro_misc.a2dBits;
  s.time = altus_epoch(h->ro_stream.startTime, h->ro_stream.startTimeMsec);
  s.triggertime = altus_epoch(h->ro_stream.triggerTime, h->ro_stream.triggerTimeMsec);
  for (int k = 0; k < ALTUS_MAXCHAN; k++) {
    s.fullscale[k] = h->rw_channel[k].fullscale;
    s.sensitivity[k] = h->rw_channel[k].sensitivity;
    s.maxpeak[k] = h->ro_channel[k].maxPeak;
    s.minpeak[k] = h->ro_channel[k].minPeak;
    s.maxoff[k] = h->ro_channel[k].maxPeakOffset;
    s.minoff[k] = h->ro_channel[k].minPeakOffset;
  }
  facts(s, info);
  return 0;
}

char *eventinfo2pf(AltusDatalogger *dl, AltusDirTree *dirt, AltusEvtInfo *ev) {
  Kessaro *altus = altuscom_program(nullptr);
  std::string name = dirt->pathname;
  for (char &c : name) {
    if (c == '\\') c = '/';
  }
  const char *target = dl->target_name ? dl->target_name : "";
  std::string s = string_printf("%s_%s &Arr{\n", target, name.c_str());
  s += "\terrors\tnone\n";
  s += string_printf("\tdatalogger\t%s\n", target);
  s += string_printf("\tevtfilename\t%s\n", name.c_str());
  s += string_printf("\tevtfilesize\t%d\n", dirt->size);
  s += string_printf("\ttime\t%.5f\n", ev->time);
  s += string_printf("\ttriggertime\t%.5f\n", ev->triggertime);
  s += string_printf("\tduration\t%.5f\n", ev->endtime - ev->time);
  s += ev->ft ? "\tft\tyes\n" : "\tft\tno\n";
  s += "\tchannels &Tbl{\n";
  int nchan = ev->nchan > ALTUS_MAXCHAN ? ALTUS_MAXCHAN : ev->nchan;
  for (int i = 0; i < ALTUS_MAXCHAN; i++) {
    int k = mapchanindex(ev->channel_bitmap, i);
    if (k < 0 || k >= nchan) continue;
    const AltusEvtInfoChan &c = ev->chans[k];
    AltusChan *ch = &dl->data_chan[0][i];
    if (!ch->outputthischan) {
      double gpc = c.calib / kNmPerG;
      s += string_printf("\t- %d %.5f %d %8.4f %.5f %d %8.4f\n", i, c.time_maxpeak, c.maxpeak,
                         c.maxpeak * gpc, c.time_minpeak, c.minpeak, c.minpeak * gpc);
      continue;
    }
    if (ch->getcalib == 0) {
      if (altus == nullptr || altus->calibstuff == nullptr) {
        altuscom_log_message(dl->connected_modem, dl, 0,
                             "eventinfo2pf: Cannot process channel '%s' since no calib db "
                             "specified in command line.\n",
                             ch->netstachanloc);
        continue;
      }
      if (altuscom_calib_lookup(altus, ch, ev->triggertime) < 0) {
        altuscom_log_message(dl->connected_modem, dl, 0,
                             "eventinfo2pf: pktchannelcalib_get() error for channel '%s'\n",
                             ch->netstachanloc);
        continue;
      }
    }
    if (ch->getcalib == 1) ch->calib = c.calib;
    double gpc = ch->calib / kNmPerG;
    s +=
        string_printf("\t%s %d %.5f %d %8.4f %.5f %d %8.4f\n", ch->netstachanloc, i, c.time_maxpeak,
                      c.maxpeak, c.maxpeak * gpc, c.time_minpeak, c.minpeak, c.minpeak * gpc);
  }
  s += "\t}\n}\n";
  char *out = strdup(s.c_str());
  if (out == nullptr) OUT_OF_MEMORY(s.size() + 1, "eventinfo2pf text");
  return out;
}

int push_event_summary(Kessaro *altus, AltusDatalogger *dl, int i) {
  if (dl == nullptr || dl->files == nullptr || i < 0 || i >= dl->files_size) {
    altuscom_log_message(dl ? dl->connected_modem : nullptr, dl, 0,
                         "push_event_summary: no file entry %d.\n", i);
    return 0;
  }
  AltusDirTree *entry = &dl->files[i];
  char *text = eventinfo2pf(dl, entry, &entry->eventinfo);
  int n = (int)strlen(text) + 1;
  if (altuscom_push_data(ALTUSPKT_EVTINFO, dl->connected_modem, dl, entry->eventinfo.time,
                         altus ? altus->evtinfo_srcname : nullptr,
                         reinterpret_cast<unsigned char *>(text), n) < 0) {
    free(text);
    altuscom_log_message(dl->connected_modem, dl, 0,
                         "push_event_summary: altuscom_push_data() error.\n");
  }
  return 0;
}

int evt2db(const AltusEvtFile *fhdr, Dbptr db, const char *sta, int nchans, char **chan,
           const int *ichan, const int *dataout, const char *dir, const char *dfile, int addchk) {
  AltusEvtInfo info;
  evt2info(fhdr, &info);
  int year = 0, doy = 0, hour = 0, minute = 0;
  double sec = 0.0;
  e2h(info.time, &year, &doy, &hour, &minute, &sec);
  std::string d = dir && dir[0] ? std::string(dir) : string_printf("%d/%3.3d", year, doy);
  std::string f = dfile && dfile[0] ? std::string(dfile)
                                    : string_printf("%s.%d:%3.3d:%2.2d:%2.2d:%2.2d", sta, year, doy,
                                                    hour, minute, (int)(sec + 0.5));
  Dbptr wf = dblookup(db, nullptr, "wfdisc", nullptr, nullptr);
  if (wf.table < 0) {
    elog_log(0, "evt2db: Cannot lookup wfdisc table.\n");
    return -1;
  }
  std::string path_dir = d;
  if (d[0] != '/') {
    char *tdir = nullptr;
    if (dbquery(wf, dbTABLE_DIRNAME, &tdir) < 0 || tdir == nullptr) {
      elog_log(0, "evt2db: Cannot lookup wfdisc table.\n");
      return -1;
    }
    path_dir = std::string(tdir) + "/" + d;
  }
  if (makedir(path_dir.c_str()) < 0) {
    elog_log(0, "evt2db: makedir(%s) error.\n", path_dir.c_str());
    return -1;
  }
  std::string path = path_dir + "/" + f;
  FILE *out = fopen(path.c_str(), "w");
  if (out == nullptr) {
    elog_log(0, "evt2db: fopen(%s) error.\n", path.c_str());
    return -1;
  }
  int result = 0;
  for (int k = 0; k < nchans && result == 0; k++) {
    int ic = ichan[k];
    if (ic < 0 || ic >= info.nchan) {
      elog_log(0, "evt2db: Illegal channel number %d.\n", ic);
      result = -1;
      break;
    }
    long foff = (long)k * info.nsamp * 4;
    if (addchk) {
      if (dbaddv(wf, nullptr, "sta", sta, "chan", chan[k], "time", info.time, "endtime",
                 info.endtime, "jdate", info.jdate, "nsamp", info.nsamp, "samprate", info.samprate,
                 "datatype", "i4", "calib", info.chans[ic].calib, "segtype", "A", "instype",
                 "ALTUS", "foff", (int)foff, "dir", d.c_str(), "dfile", f.c_str(), nullptr) < 0) {
        elog_log(0, "evt2db: dbaddv() error on channel number %d.\n", ic);
        result = -1;
        break;
      }
    } else {
      Dbptr sc = wf;
      sc.record = dbSCRATCH;
      if (dbputv(sc, nullptr, "sta", sta, "chan", chan[k], "time", info.time, "endtime",
                 info.endtime, "jdate", info.jdate, "nsamp", info.nsamp, "samprate", info.samprate,
                 "datatype", "i4", "calib", info.chans[ic].calib, "segtype", "A", "instype",
                 "ALTUS", "foff", (int)foff, "dir", d.c_str(), "dfile", f.c_str(), nullptr) < 0 ||
          dbadd(wf, nullptr) < 0) {
        elog_log(0, "evt2db: dbputv() error on channel number %d.\n", ic);
        result = -1;
        break;
      }
    }
    size_t n = info.nsamp > 0 ? (size_t)info.nsamp : 0;
    if (n > 0 && fwrite(dataout + (size_t)ic * n, sizeof(int), n, out) != n) {
      elog_log(0, "evt2db: fwrite() error on channel number %d.\n", ic);
      result = -1;
    }
  }
  if (fclose(out) != 0 && result == 0) {
    elog_log(0, "evt2db: fwrite() error on channel number %d.\n", -1);
    result = -1;
  }
  return result;
}
