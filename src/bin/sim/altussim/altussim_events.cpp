// altussim_events.cpp - the simulated datalogger's events: event files with their
// summaries, the event count and trigger state of STATUS, drive readiness, functional
// tests and damaged file transfers.
#include <cstdio>
#include <cstring>

#include "altussim_block.h"
#include "base/clock.h"

namespace altussim {

namespace {

void put16(Bytes &b, unsigned v) {
  b.push_back((unsigned char)(v >> 8));
  b.push_back((unsigned char)v);
}
void put32(Bytes &b, uint32_t v) {
  put16(b, v >> 16);
  put16(b, v & 0xFFFF);
}
void put_float(Bytes &b, float f) {
  uint32_t u;
  memcpy(&u, &f, 4);
  put32(b, u);
}

bool under_tmp(const std::string &p) { return p.compare(1, 6, ":\\TMP\\") == 0; }

std::string chan_field(const char *rec, int k, const char *member) {
  char t[64];
  snprintf(t, sizeof t, "%s[%d].%s", rec, k, member);
  return t;
}

// The header values an event of `plan` carries: those the plan gives, and for the rest
// what a datalogger would fill in (the peaks from the very samples written).
AltusSimHeaderValues event_values(const AltusSimEvtPlan &plan) {
  AltusSimHeaderValues v = plan.values;
  auto dflt = [&](const std::string &k, double x) { v.numbers.emplace(k, x); };
  const int nch = plan.nchannels;
  long total = 0;
  for (int n : plan.frame_scans) total += n;
  dflt("ro_misc.a2dBits", plan.sample_bytes * 8);
  dflt("ro_stream.triggerTime", plan.start_time + 1.0);
  dflt("ro_stream.triggerBitMap", 1);
  dflt("rw_misc.channel_bitmap", nch >= 32 ? 0xFFFFFFFFu : (1u << nch) - 1);
  for (int c = 0; c < nch && c < (plan.ismw ? 18 : 12); c++) {
    int32_t hi = 0, lo = 0;
    long hi_at = 0, lo_at = 0;
    for (long s = 0; s < total; s++) {
      int32_t x = plan.samples.empty() ? altussim_evt_sample(c, s, plan.sample_bytes)
                                       : plan.samples[(size_t)(c * total + s)];
      if (s == 0 || x > hi) hi = x, hi_at = s;
      if (s == 0 || x < lo) lo = x, lo_at = s;
    }
    dflt(chan_field("ro_channel", c, "maxPeak"), hi);
    dflt(chan_field("ro_channel", c, "maxPeakOffset"), (double)hi_at);
    dflt(chan_field("ro_channel", c, "minPeak"), lo);
    dflt(chan_field("ro_channel", c, "minPeakOffset"), (double)lo_at);
    dflt(chan_field("rw_channel", c, "fullscale"), 2.5);
    dflt(chan_field("rw_channel", c, "sensitivity"), 1.25);
    dflt(chan_field("rw_channel", c, "gain"), 1);
    char id[8];
    snprintf(id, sizeof id, "CH%d", c);
    v.texts.emplace(chan_field("rw_channel", c, "id"), id);
  }
  return v;
}

// The PKR_EVENTSUMMARY payload of the header values.
Bytes summary_of(const AltusSimEvtPlan &plan, const AltusSimHeaderValues &v) {
  auto num = [&](const std::string &k) {
    auto it = v.numbers.find(k);
    return it == v.numbers.end() ? 0.0 : it->second;
  };
  long total = 0;
  for (int n : plan.frame_scans) total += n;
  int nch = plan.nchannels < 18 ? plan.nchannels : 18;
  Bytes b;
  put16(b, (unsigned)nch);
  put16(b, (unsigned)num("ro_misc.a2dBits"));
  put16(b, (unsigned)num("ro_stream.flags"));
  put16(b, (unsigned)plan.sps);
  put32(b, (uint32_t)(plan.header_nscans >= 0 ? plan.header_nscans : total));
  put32(b, (uint32_t)num("ro_stream.triggerTime"));
  put16(b, (unsigned)num("ro_stream.triggerTimeMsec"));
  put32(b, plan.start_time);
  put16(b, (unsigned)num("ro_stream.startTimeMsec"));
  put32(b, (uint32_t)num("ro_stream.triggerBitMap"));
  put32(b, (uint32_t)num("rw_misc.channel_bitmap"));
  for (int c = 0; c < nch; c++) {
    put32(b, (uint32_t)(int32_t)num(chan_field("ro_channel", c, "maxPeak")));
    put32(b, (uint32_t)num(chan_field("ro_channel", c, "maxPeakOffset")));
    put32(b, (uint32_t)(int32_t)num(chan_field("ro_channel", c, "minPeak")));
    put32(b, (uint32_t)num(chan_field("ro_channel", c, "minPeakOffset")));
    put_float(b, (float)num(chan_field("rw_channel", c, "sensitivity")));
    put_float(b, (float)num(chan_field("rw_channel", c, "fullscale")));
    put16(b, (unsigned)num(chan_field("rw_channel", c, "gain")));
    auto it = v.texts.find(chan_field("rw_channel", c, "id"));
    std::string id = ((it == v.texts.end() ? std::string() : it->second) + std::string(5, '\0'));
    b.insert(b.end(), id.begin(), id.begin() + 5);
    b.push_back(0);
  }
  return b;
}

}  // namespace

int Sim::add_event(const std::string &path, const AltusSimEvtPlan &plan) {
  AltusSimEvtPlan p = plan;
  p.values = event_values(plan);
  std::vector<uint8_t> file;
  if (altussim_evt_file(p, &file) < 0) return -1;
  std::lock_guard<std::mutex> l(mutex_);
  std::string key = norm(path);
  for (size_t i = 0; i < fs_.size(); i++)
    if (fs_[i].path == key) fs_.erase(fs_.begin() + (long)i--);
  // The directories on the way are made as a datalogger makes them.
  for (size_t at = key.find('\\', 3); at != std::string::npos; at = key.find('\\', at + 1)) {
    std::string dir = key.substr(0, at);
    bool have = false;
    for (auto &n : fs_)
      if (n.path == dir) have = true;
    if (have) continue;
    Node d;
    d.path = dir;
    d.dir = true;
    d.attr = 0x10;
    d.time = plan.start_time;
    fs_.push_back(d);
  }
  put_event_file(key, p, file);
  return 0;
}

void Sim::put_event_file(const std::string &key, const AltusSimEvtPlan &plan,
                         const std::vector<uint8_t> &file) {
  Node n;
  n.path = key;
  n.size = (uint32_t)file.size();
  n.attr = 0x20;
  n.time = plan.start_time;
  n.data.assign(file.begin(), file.end());
  fs_.push_back(n);
  events_[key].summary = summary_of(plan, plan.values);
  events_counted_ = true;
}

int Sim::record_event(const std::string &path, const AltusSimEvtPlan &plan, double seconds) {
  std::string key = norm(path);
  std::string drive = key.substr(0, 2);
  std::string tmp = drive + "\\TMP\\" + key.substr(key.rfind('\\') + 1);
  if (add_event(tmp, plan) != 0) return -1;
  std::lock_guard<std::mutex> l(mutex_);
  recordings_.push_back({key, tmp, clock_now() + seconds});
  return 0;
}

void Sim::finish_recordings() {
  double now = clock_now();
  for (size_t i = 0; i < recordings_.size(); i++) {
    const Recording &r = recordings_[i];
    if (now < r.until) continue;
    for (auto &n : fs_)
      if (n.path == r.tmp_path) n.path = r.path;
    events_[r.path] = events_[r.tmp_path];
    events_.erase(r.tmp_path);
    recordings_.erase(recordings_.begin() + (long)i--);
  }
}

void Sim::set_event_count(int n) {
  std::lock_guard<std::mutex> l(mutex_);
  fixed_events_ = n;
}

int Sim::event_count() {
  std::lock_guard<std::mutex> l(mutex_);
  finish_recordings();
  if (fixed_events_ >= 0) return fixed_events_;
  if (!events_counted_) return 2;
  int k = 0;
  for (auto &n : fs_)
    if (events_.count(n.path) && !under_tmp(n.path)) k++;
  return k;
}

void Sim::set_drive_status(int drive, int status) {
  std::lock_guard<std::mutex> l(mutex_);
  if (drive == 0 || drive == 1) drive_status_[drive] = status;
}

void Sim::set_ft_plan(const AltusSimEvtPlan &plan) {
  std::lock_guard<std::mutex> l(mutex_);
  ft_plan_ = plan;
}

int Sim::ft_events() {
  std::lock_guard<std::mutex> l(mutex_);
  return ft_events_;
}

Bytes Sim::file_data(const std::string &path) {
  std::lock_guard<std::mutex> l(mutex_);
  std::string key = norm(path);
  for (auto &n : fs_)
    if (n.path == key && !n.dir) return n.data;
  return {};
}

void Sim::damage_file(const std::string &path, Damage kind, int times, int arg) {
  std::lock_guard<std::mutex> l(mutex_);
  std::string key = norm(path);
  if (kind == Damage::WRONG_SIZE) {
    for (auto &n : fs_)
      if (n.path == key && !n.dir) n.size = (uint32_t)n.data.size() + (uint32_t)arg;
    return;
  }
  damage_[key].push_back({kind, times, arg});
}

int Sim::opens(const std::string &path) {
  std::lock_guard<std::mutex> l(mutex_);
  auto it = opens_.find(norm(path));
  return it == opens_.end() ? 0 : it->second;
}

Bytes Sim::status_payload() {
  int events = event_count();
  std::lock_guard<std::mutex> l(mutex_);
  Bytes b;
  put32(b, 1000000);
  put16(b, (unsigned)serial_);
  put16(b, (unsigned)events);
  put16(b, 0);                                  // recording errors
  put16(b, recordings_.empty() ? 0x01 : 0x03);  // acquisition on; an event recording
  b.push_back(125);
  b.push_back(0);
  put16(b, (unsigned)drive_status_[0]);
  put16(b, (unsigned)drive_status_[1]);
  std::string s = (station_ + "     ").substr(0, 5);
  b.insert(b.end(), s.begin(), s.end());
  b.push_back(3);
  return b;
}

// The commands that involve events. false: not one of them (or left to fs_command).
bool Sim::event_command(int cmd, const Bytes &data, int *type, Bytes *payload) {
  if (cmd != 14 && cmd != 21 && cmd != 27) return false;
  std::string arg(data.begin(), data.end());
  arg = norm(arg.c_str());
  std::lock_guard<std::mutex> l(mutex_);
  finish_recordings();
  *type = 128;
  switch (cmd) {
    case 27: {  // GETEVENTSUMMARY
      auto it = events_.find(arg);
      bool present = false;
      for (auto &n : fs_)
        if (n.path == arg) present = true;
      if (it == events_.end() || !present) {
        *payload = ack(cmd, false, "no event summary");
        return true;
      }
      *type = 155;
      *payload = it->second.summary;
      return true;
    }
    case 21: {  // FT: the functional test records an event of its own
      AltusSimEvtPlan p = ft_plan_;
      p.start_time = ft_plan_.start_time + 60u * (uint32_t)ft_events_;
      p.values.numbers["ro_stream.flags"] = 1;
      p.values = event_values(p);
      std::vector<uint8_t> file;
      if (altussim_evt_file(p, &file) < 0) {
        *payload = ack(cmd, false, "functional test failed");
        return true;
      }
      char name[32];
      snprintf(name, sizeof name, "A:\\FT%04d.EVT", ++ft_events_);
      put_event_file(name, p, file);
      *payload = ack(cmd, true);
      return true;
    }
    default:
      break;
  }
  // OPENFILE, with the file's damage.
  opens_[arg]++;
  if (refuse_open_) return false;
  const Node *node = nullptr;
  for (auto &n : fs_)
    if (n.path == arg && !n.dir) node = &n;
  if (node == nullptr) return false;
  Bytes d = node->data;
  auto &list = damage_[arg];
  for (size_t i = 0; i < list.size(); i++) {
    DamageRec &r = list[i];
    switch (r.kind) {
      case Damage::REFUSE_OPEN:
        *payload = ack(cmd, false);
        break;
      case Damage::CORRUPT:
        if (!d.empty()) d.back() ^= 0x5A;
        break;
      case Damage::TRUNCATE:
        if ((size_t)r.arg < d.size()) d.resize((size_t)r.arg);
        break;
      case Damage::DROP_LINE:
        drop_after_ = (int)commands_.size() + r.arg;
        break;
      case Damage::WRONG_SIZE:
        break;
    }
    bool refused = r.kind == Damage::REFUSE_OPEN;
    if (r.times > 0 && --r.times == 0) list.erase(list.begin() + (long)i--);
    if (refused) return true;
  }
  open_data_ = d;
  open_pos_ = 0;
  *payload = ack(cmd, true);
  return true;
}

}  // namespace altussim
