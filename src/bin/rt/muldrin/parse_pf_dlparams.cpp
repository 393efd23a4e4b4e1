// parse_pf_dlparams.cpp - datalogger parameter blocks: the scalar key table, the
// authentication codes, the data, status and ep channel maps, and deep copies of the
// parameters. See parse_pf.h.
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "parse_pf.h"
#include "q330_dblk.h"

int q330_status_lookup(const char *name, int *type, const void **stdef, double *dt) {
  int t = 0;
  const void *d = q330_get_status_from_name(name, &t);
  if (d == nullptr) return -1;
  *type = t;
  *stdef = d;
  *dt = t == 2 ? static_cast<const Q330DataStatusDef *>(d)->dt
               : static_cast<const Q330StatusDef *>(d)->dt;
  return 0;
}

ParsePfStatusLookup parse_pf_status_lookup = q330_status_lookup;

namespace {

struct Q330Params {
  const char *name;
  int type;
  int required_default;
  size_t offset;
  PfRange range;  // numbers: what the key may hold
};

constexpr double kYear = 366.0 * 86400.0;
constexpr PfRange kAny = {-HUGE_VAL, HUGE_VAL};
constexpr PfRange kAnyInt = {-2147483648.0, 2147483647.0};

#define DLP(member) offsetof(Q330DLParams, member)

// Scalar keys of a parameter block; required_default: must be among the top-level keys.
const Q330Params q330_dlparams[] = {
    {"q330_port_base", P_LINT, 1, DLP(q330_port_base), kAny},
    {"q330_port_logical", P_LINT, 0, DLP(q330_port_logical), {0, 4}},
    {"local_port_control", P_STR, 1, DLP(local_port_control_str), kAny},
    {"local_port_data", P_STR, 1, DLP(local_port_data_str), kAny},
    {"local_ipaddr", P_STR, 0, DLP(local_ipaddr), kAny},
    {"maxretries_control", P_LINT, 1, DLP(maxretries_control), {0, 1000}},
    {"maxretries_register", P_LINT, 1, DLP(maxretries_register), {0, 1000000}},
    {"udp_packetcache_size_data", P_LINT, 1, DLP(udp_packetcache_size_data), {0, 100000}},
    {"udp_packetcache_size_control", P_LINT, 1, DLP(udp_packetcache_size_control), {0, 100000}},
    {"datarate_interval", P_DBL, 1, DLP(datarate_interval), kAny},
    {"commeff_interval", P_DBL, 1, DLP(commeff_interval), kAny},
    {"thruput_interval", P_DBL, 1, DLP(thruput_interval), kAny},
    {"statusrequest_interval", P_LINT, 1, DLP(statusrequest_interval), {0, kYear}},
    {"statusreport_interval", P_LINT, 1, DLP(statusreport_interval), kAny},
    {"timeout_datathread_hang", P_DBL, 0, DLP(timeout_datathread_hang), {0, kYear}},
    {"timeout_controlthread_hang", P_DBL, 0, DLP(timeout_controlthread_hang), {0, kYear}},
    {"timeout_control", P_DBL, 1, DLP(timeout_control), {0, 3600}},
    {"timeout_data", P_DBL, 1, DLP(timeout_data), {0, 3600}},
    {"control_inactivity_timeout", P_DBL, 1, DLP(control_inactivity_timeout), {0, kYear}},
    {"register_retry_sleep", P_DBL, 1, DLP(register_retry_sleep), {0, kYear}},
    {"q330_ipaddress", P_STR, 0, DLP(q330_ipaddress), kAny},
    {"q330_serial_number", P_STR, 0, DLP(q330_serial_number), kAny},
    {"user_message_level", P_LINT, 1, DLP(user_message_level), kAny},
    {"verbose_log", P_LINT, 1, DLP(verbose_log), kAny},
    {"debug_data", P_LINT, 1, DLP(debug_data), kAny},
    {"debug_ack", P_LINT, 0, DLP(debug_ack), kAny},
    {"debug_control", P_LINT, 1, DLP(debug_control), kAny},
    {"debug_udp", P_LINT, 1, DLP(debug_udp), kAny},
    {"ack_print_bit_flag", P_BOOL, 0, DLP(ack_print_bit_flag), kAny},
    {"stop_acks", P_BOOL, 0, DLP(stop_acks), kAny},
    {"output_time_packet", P_BOOL, 0, DLP(output_time_packet), kAny},
    {"throttle", P_LINT, 1, DLP(throttle), kAny},
    {"disposition", P_STR, 0, DLP(disposition_str), kAny},
    {"log_flags", P_LINT, 0, DLP(log_flags), {kAnyInt.min, 65535}},
    {"log_mtu", P_LINT, 0, DLP(log_mtu), {kAnyInt.min, 65535}},
    {"log_group_count", P_LINT, 0, DLP(log_group_count), {kAnyInt.min, 65535}},
    {"log_maximum_resend_timeout", P_DBL, 0, DLP(log_maximum_resend_timeout_dbl), {-kYear, 6553.5}},
    {"log_group_timeout", P_DBL, 0, DLP(log_group_timeout_dbl), {-kYear, 6553.5}},
    {"log_minimum_resend_timeout", P_DBL, 0, DLP(log_minimum_resend_timeout_dbl), {-kYear, 6553.5}},
    {"log_window_size", P_LINT, 0, DLP(log_window_size), {kAnyInt.min, 65535}},
    {"log_acknowledge_count", P_LINT, 0, DLP(log_acknowledge_count), {kAnyInt.min, 65535}},
    {"log_acknowledge_timeout", P_DBL, 0, DLP(log_acknowledge_timeout_dbl), {-kYear, 6553.5}},
    {"massrecenter_duration", P_DBL, 1, DLP(massrecenter_duration_dbl), {0, 655.35}},
    {"massrecenter_sensors", P_STR, 1, DLP(massrecenter_sensors), kAny},
    {"masslockunlock_duration", P_DBL, 1, DLP(masslockunlock_duration_dbl), {0, 655.35}},
    {"masslockunlock_sensors", P_STR, 1, DLP(masslockunlock_sensors), kAny},
    {"calibration_duration", P_LINT, 1, DLP(calibration_duration), {0, 65535}},
    {"calibration_amplitude", P_LINT, 1, DLP(calibration_amplitude), {0, 65535}},
    {"calibration_settling_time", P_LINT, 1, DLP(calibration_settling_time), {0, 65535}},
    {"calibration_trailer_time", P_LINT, 1, DLP(calibration_trailer_time), {0, 65535}},
    {"calibration_period", P_LINT, 1, DLP(calibration_frequency_divider), {1, 255}},
    {"calibration_waveform", P_STR, 1, DLP(calibration_waveform_str), kAny},
    {"calibration_sensors", P_STR, 1, DLP(calibration_calibration_bitmap_str), kAny},
    {"calibration_monitor_channels", P_STR, 1, DLP(calibration_monitor_channel_bitmap_str), kAny},
    {"calibration_capacitive", P_BOOL, 1, DLP(calibration_capacitive), kAny},
    {"shutdown_timeout", P_DBL, 1, DLP(shutdown_timeout), {0, kYear}},
    {"shutdown_buffer_thresh", P_DBL, 1, DLP(shutdown_buffer_thresh), {0, 100}},
    {"shutdown_buffer_wait", P_DBL, 1, DLP(shutdown_buffer_wait), {0, kYear}},
    {"flush_buffer_thresh", P_DBL, 1, DLP(flush_buffer_thresh), {0, 100}},
    {"flush_buffer_age", P_DBL, 1, DLP(flush_buffer_age), {0, kYear}},
    {"trim_link_overlaps", P_BOOL, 1, DLP(trim_link_overlaps), kAny},
    {"inactivity_timeout", P_DBL, 1, DLP(inactivity_timeout), {0, kYear}},
    {"data_drop_packet_pcnt", P_DBL, 0, DLP(data_drop_packet_pcnt), {0, 100}},
    {"control_drop_packet_pcnt", P_DBL, 0, DLP(control_drop_packet_pcnt), {0, 100}},
    {"dptokens_port_1", P_STR, 0, DLP(dptokens_port_1), kAny},
    {"dptokens_port_2", P_STR, 0, DLP(dptokens_port_2), kAny},
    {"dptokens_port_3", P_STR, 0, DLP(dptokens_port_3), kAny},
    {"dptokens_port_4", P_STR, 0, DLP(dptokens_port_4), kAny},
    {"lcq_locked", P_DBL, 0, DLP(lcq_locked), {0, 100}},
    {"lcq_track", P_DBL, 0, DLP(lcq_track), {0, 100}},
    {"lcq_hold", P_DBL, 0, DLP(lcq_hold), {0, 100}},
    {"lcq_off", P_DBL, 0, DLP(lcq_off), {0, 100}},
    {"lcq_high", P_DBL, 0, DLP(lcq_high), {0, 100}},
    {"lcq_low", P_DBL, 0, DLP(lcq_low), {0, 100}},
    {"lcq_never", P_DBL, 0, DLP(lcq_never), {0, 100}},
    {"lcq_degrade_time", P_DBL, 0, DLP(lcq_degrade_time), {0, kYear}},
};
static_assert(sizeof(q330_dlparams) / sizeof(q330_dlparams[0]) == 76);

#undef DLP

// Blank-separated words of a text.
std::vector<std::string> words(const char *text) {
  std::vector<std::string> out;
  std::string w;
  for (const char *p = text ? text : ""; *p; ++p) {
    if (isspace(static_cast<unsigned char>(*p))) {
      if (!w.empty()) out.push_back(w);
      w.clear();
    } else {
      w += *p;
    }
  }
  if (!w.empty()) out.push_back(w);
  return out;
}

// Reads a whole decimal integer; 0 or -1.
int read_int(const std::string &text, int *value) {
  if (text.empty()) return -1;
  char *end = nullptr;
  errno = 0;
  long v = strtol(text.c_str(), &end, 10);
  if (*end || errno || v < -2147483647L - 1 || v > 2147483647L) return -1;
  *value = static_cast<int>(v);
  return 0;
}

int read_double(const std::string &text, double *value) {
  if (text.empty()) return -1;
  char *end = nullptr;
  double v = strtod(text.c_str(), &end);
  if (*end || !std::isfinite(v)) return -1;
  *value = v;
  return 0;
}

// Copies text into a fixed field of `size` bytes; -1 when it does not fit.
int put_field(char *dst, size_t size, const std::string &text) {
  if (text.size() >= size) return -1;
  memcpy(dst, text.c_str(), text.size() + 1);
  return 0;
}

char *dup_text(const char *text) { return text ? strdup(text) : nullptr; }

void free_text(void *text) { free(text); }

Arr *dup_text_arr(const Arr *arr) {
  if (!arr) return nullptr;
  Arr *out = newarr(nullptr);
  Tbl *keys = keysarr(arr);
  for (long i = 0; i < maxtbl(keys); i++) {
    const char *key = static_cast<const char *>(gettbl(keys, i));
    setarr(out, key, dup_text(static_cast<const char *>(getarr(arr, key))));
  }
  freetbl(keys, nullptr);
  return out;
}

void free_text_arr(Arr **arr) {
  if (*arr) freearr(*arr, free_text);
  *arr = nullptr;
}

void free_status_chan(void *p) { delete static_cast<Q330StatusChan *>(p); }
void free_ep_chan(void *p) { delete static_cast<Q330Chan *>(p); }

// The text members the parameters own.
char *Q330DLParams::*const owned_texts[] = {
    &Q330DLParams::dlname,
    &Q330DLParams::dlnet,
    &Q330DLParams::dlsta,
    &Q330DLParams::disposition_str,
    &Q330DLParams::local_port_control_str,
    &Q330DLParams::local_port_data_str,
    &Q330DLParams::local_ipaddr,
    &Q330DLParams::q330_lastipaddress,
    &Q330DLParams::q330_ipaddress,
    &Q330DLParams::q330_serial_number,
    &Q330DLParams::q330_com,
    &Q330DLParams::dptokens_port_1,
    &Q330DLParams::dptokens_port_2,
    &Q330DLParams::dptokens_port_3,
    &Q330DLParams::dptokens_port_4,
    &Q330DLParams::massrecenter_sensors,
    &Q330DLParams::masslockunlock_sensors,
    &Q330DLParams::calibration_waveform_str,
    &Q330DLParams::calibration_calibration_bitmap_str,
    &Q330DLParams::calibration_monitor_channel_bitmap_str,
};
Arr *Q330DLParams::*const owned_maps[] = {
    &Q330DLParams::pchans_arr,  &Q330DLParams::rates_arr, &Q330DLParams::status_arr,
    &Q330DLParams::statusd_arr, &Q330DLParams::ep_arr,    &Q330DLParams::epd_arr,
};

// Replaces the held map by `fresh` when a block gave one; gives the map in force.
Arr *map_in_force(Arr **held, Arr *fresh) {
  if (fresh) {
    free_text_arr(held);
    *held = fresh;
  }
  return *held;
}

// Looks up a packet definition for a channel: 0 with *pdef (none for "0"), -1 with the
// message already logged.
int find_packet_def(Muldrin *muldrin, const std::string &name, PacketDef **pdef, const char *fn,
                    const char *what, const char *line) {
  *pdef = nullptr;
  if (name == "0") return 0;
  PacketDef *p = muldrin && muldrin->packet_defs
                     ? static_cast<PacketDef *>(getarr(muldrin->packet_defs, name.c_str()))
                     : nullptr;
  if (!p) {
    elog_log(0, "%s: Cannot find packet_def '%s' for %s at line '%s'.\n", fn, name.c_str(), what,
             line);
    return -1;
  }
  if (!p->orbtag) {
    elog_log(0, "%s: packet_def '%s' has an undefined orbtag for %s at line '%s'.\n", fn,
             name.c_str(), what, line);
    return -1;
  }
  *pdef = p;
  return 0;
}

int tenths(double seconds) {
  if (!(seconds > 0)) return -1;
  double t = seconds * 10 + 0.5;
  return t >= 2147483647.0 ? 2147483647 : static_cast<int>(t);
}

bool is_hex16(const char *text) {
  if (strlen(text) != 16) return false;
  for (const char *p = text; *p; ++p)
    if (!isxdigit(static_cast<unsigned char>(*p))) return false;
  return true;
}

}  // namespace

int parse_bool(const char *text) {
  if (!text) return 0;
  if (isdigit(static_cast<unsigned char>(text[0]))) return atoi(text) != 0;
  return text[0] == 'T' || text[0] == 'Y' || text[0] == 't' || text[0] == 'y';
}

int parse_netstachanloc(const Q330DLParams *dlp, const char *text, char net[8], char sta[16],
                        char chan[16], char loc[8]) {
  std::string n, s, c, l;
  split_netstachanloc(text, n, s, c, l);
  if (n.empty()) {
    elog_log(0, "parse_netstachanloc: Need net code in '%s'.\n", text);
    return -1;
  }
  if (s.empty()) {
    elog_log(0, "parse_netstachanloc: Need sta code in '%s'.\n", text);
    return -1;
  }
  if (c.empty()) {
    elog_log(0, "parse_netstachanloc: Need chan code in '%s'.\n", text);
    return -1;
  }
  if (n == "$DLNET") {
    n = dlp->dlnet ? dlp->dlnet : "";
  } else if (n[0] == '$') {
    elog_log(0, "parse_netstachanloc: Illegal net substitution code in '%s'.\n", text);
    return -1;
  }
  if (n.size() > 2) {
    elog_log(
        0,
        "parse_netstachanloc: Illegal net code in '%s' (code can be no more than 2 characters).\n",
        text);
    return -1;
  }
  bool proptag = false;
  if (s == "$DLSTA") {
    s = dlp->dlsta ? dlp->dlsta : "";
  } else if (s == "$PROPTG") {
    proptag = true;
  } else if (s[0] == '$') {
    elog_log(0, "parse_netstachanloc: Illegal sta substitution code in '%s'.\n", text);
    return -1;
  }
  if (!proptag && s.size() > 5) {
    elog_log(
        0,
        "parse_netstachanloc: Illegal sta code in '%s' (code can be no more than 5 characters).\n",
        text);
    return -1;
  }
  if (c.size() > 3) {
    elog_log(
        0,
        "parse_netstachanloc: Illegal chan code in '%s' (code can be no more than 3 characters).\n",
        text);
    return -1;
  }
  if (l.size() > 2) {
    elog_log(
        0,
        "parse_netstachanloc: Illegal loc code in '%s' (code can be no more than 2 characters).\n",
        text);
    return -1;
  }
  put_field(net, 8, n);
  put_field(sta, 16, s);
  put_field(chan, 16, c);
  put_field(loc, 8, l);
  return 0;
}

void q330_free_params(Q330DLParams *dlp) {
  for (auto m : owned_texts) free(dlp->*m);
  for (auto m : owned_maps) free_text_arr(&(dlp->*m));
  if (dlp->q330_authentication_codes) freetbl(dlp->q330_authentication_codes, free_text);
  if (dlp->acq_bitmap) freetbl(dlp->acq_bitmap, free_text);
  if (dlp->status_chan_arr) freearr(dlp->status_chan_arr, free_status_chan);
  if (dlp->ep_chan_arr) freearr(dlp->ep_chan_arr, free_ep_chan);
  *dlp = Q330DLParams{};
}

int q330_copy_params(Q330DLParams *to, const Q330DLParams *from) {
  if (to == from) return 0;
  q330_free_params(to);
  *to = *from;
  for (auto m : owned_texts) to->*m = dup_text(from->*m);
  for (auto m : owned_maps) to->*m = dup_text_arr(from->*m);
  to->q330_authentication_codes = nullptr;
  if (from->q330_authentication_codes) {
    to->q330_authentication_codes = newtbl(0);
    for (long i = 0; i < maxtbl(from->q330_authentication_codes); i++) {
      char *code = static_cast<char *>(calloc(18, 1));
      if (!code) elog_die(0, "q330_copy_params: malloc(authentication code) error.\n");
      memcpy(code, gettbl(from->q330_authentication_codes, i), 18);
      pushtbl(to->q330_authentication_codes, code);
    }
  }
  to->acq_bitmap = nullptr;
  if (from->acq_bitmap) {
    to->acq_bitmap = newtbl(0);
    for (long i = 0; i < maxtbl(from->acq_bitmap); i++)
      pushtbl(to->acq_bitmap, dup_text(static_cast<char *>(gettbl(from->acq_bitmap, i))));
  }
  to->status_chan_arr = nullptr;
  if (from->status_chan_arr) {
    to->status_chan_arr = newarr(nullptr);
    if (!to->status_chan_arr) elog_die(0, "q330_copy_params: newarr(status_chan_arr) error.\n");
    Tbl *keys = keysarr(from->status_chan_arr);
    for (long i = 0; i < maxtbl(keys); i++) {
      const char *key = static_cast<const char *>(gettbl(keys, i));
      auto *src = static_cast<Q330StatusChan *>(getarr(from->status_chan_arr, key));
      auto *copy = new (std::nothrow) Q330StatusChan(*src);
      if (!copy) elog_die(0, "q330_copy_params: malloc(stchan_copy) error.\n");
      setarr(to->status_chan_arr, key, copy);
    }
    freetbl(keys, nullptr);
  }
  to->ep_chan_arr = nullptr;
  for (auto &slot : to->ep_channels) slot = nullptr;
  if (from->ep_chan_arr) {
    to->ep_chan_arr = newarr(nullptr);
    if (!to->ep_chan_arr) elog_die(0, "q330_copy_params: newarr(ep_chan_arr) error.\n");
    Tbl *keys = keysarr(from->ep_chan_arr);
    for (long i = 0; i < maxtbl(keys); i++) {
      const char *key = static_cast<const char *>(gettbl(keys, i));
      auto *src = static_cast<Q330Chan *>(getarr(from->ep_chan_arr, key));
      auto *copy = new (std::nothrow) Q330Chan(*src);
      if (!copy) elog_die(0, "q330_copy_params: malloc(epchan_copy) error.\n");
      setarr(to->ep_chan_arr, key, copy);
      int n = src->ep_channel;
      if (n >= 0 && n < 256 && from->ep_channels[n] == src) to->ep_channels[n] = copy;
    }
    freetbl(keys, nullptr);
  }
  return 0;
}

namespace {

// One pchan_map entry for physical channel p ("netstachanloc calib calper segtype", or
// "netstachanloc $DB" for the calibration from the site database) into *c. 0, or -1
// (logged).
int read_pchan(Q330DLParams *dlp, const char *value, int p, Q330Chan *c) {
  std::vector<std::string> w = words(value);
  *c = Q330Chan{};
  if (w.size() < 2) {
    elog_log(0, "parse_channelparams: Need calib in '%s' for pchan %d.\n", value, p);
    return -1;
  }
  if (parse_netstachanloc(dlp, w[0].c_str(), c->net, c->sta, c->chan, c->loc) < 0) {
    elog_log(0, "parse_channelparams: netstachanloc parsing error in '%s' for pchan %d.\n", value,
             p);
    return -1;
  }
  if (w[1] == "$DB") {
    if (w.size() > 2) {
      elog_log(0, "parse_channelparams: Too many arguments in '%s' for pchan %d.\n", value, p);
      return -1;
    }
    c->calibfromdb = 1;
    c->outputthischan = 1;
  } else if (w.size() == 4) {
    if (read_double(w[1], &c->calib) < 0 || read_double(w[2], &c->calper) < 0) {
      elog_log(0, "parse_channelparams: Wrong number of arguments in '%s' for pchan %d.\n", value,
               p);
      return -1;
    }
    if (w[3].size() > 1) {
      elog_log(0,
               "parse_channelparams: Illegal segtype code in '%s' for pchan %d (code can be no "
               "more than 1 character).\n",
               value, p);
      return -1;
    }
    put_field(c->segtype, sizeof c->segtype, w[3]);
    c->outputthischan = 1;
  } else {
    elog_log(0, "parse_channelparams: Wrong number of arguments in '%s' for pchan %d.\n", value, p);
    return -1;
  }
  if (strcmp(c->sta, "$PROPTG") == 0) {
    c->sta[0] = 0;
    c->stafromproptag = 1;
  }
  return 0;
}

// The channel and location code masks of the rate_mask entries, by stream.
struct RateCodes {
  std::string chanm[8], locm[8];
  bool present[8] = {};
};

// One rate_mask entry for stream r ("chanm [locm]") into *codes. 0, or -1 (logged).
int read_rate(const char *value, int r, RateCodes *codes) {
  std::vector<std::string> w = words(value);
  if (w.empty()) {
    elog_log(0, "parse_channelparams: Need chanm in '%s' for rate %d.\n", value, r);
    return -1;
  }
  if (w[0].size() > 3) {
    elog_log(0,
             "parse_channelparams: Illegal chanm code in '%s' for rate %d (code can be no more "
             "than 3 characters).\n",
             value, r);
    return -1;
  }
  if (w.size() > 1 && w[1].size() > 2) {
    elog_log(0,
             "parse_channelparams: Illegal locm code in '%s' for rate %d (code can be no more "
             "than 2 characters).\n",
             value, r);
    return -1;
  }
  codes->chanm[r] = w[0];
  codes->locm[r] = w.size() > 1 ? w[1] : "";
  codes->present[r] = true;
  return 0;
}

// Every entry of a map keyed by an index from 0 to `last`, through `read`; stops at the
// first bad one. 0, or -1 (logged).
template <typename Read>
int read_index_map(Arr *map, int last, const char *what, Read read) {
  Tbl *keys = map ? keysarr(map) : newtbl(0);
  int rc = 0;
  for (long i = 0; rc == 0 && i < maxtbl(keys); i++) {
    const char *key = static_cast<const char *>(gettbl(keys, i));
    const char *value = static_cast<const char *>(getarr(map, key));
    int n = -1;
    if (read_int(key, &n) < 0 || n < 0 || n > last) {
      elog_log(0, "parse_channelparams: Illegal %s = %s.\n", what, key);
      rc = -1;
      break;
    }
    rc = read(value, n);
  }
  freetbl(keys, nullptr);
  return rc;
}

// The data channel table: one channel per stream of the rate mask and physical channel
// of the map, its codes masked by the stream's ("." keeps the map's character).
void fill_data_channels(Q330DLParams *dlp, const Q330Chan pch[6], const RateCodes &codes) {
  auto mask = [](char *field, const std::string &m) {
    for (size_t k = 0; field[k] && k < m.size(); k++)
      if (m[k] != '.') field[k] = m[k];
  };
  for (int r = 0; r < 8; r++) {
    for (int p = 0; p < 6; p++) {
      Q330Chan *d = &dlp->data_chan[r][p];
      *d = Q330Chan{};
      if (!codes.present[r] || !pch[p].outputthischan) continue;
      *d = pch[p];
      mask(d->chan, codes.chanm[r]);
      mask(d->loc, codes.locm[r]);
      snprintf(d->channel_name, sizeof d->channel_name, "data%d:%d", r, p);
      d->user_data = nullptr;
    }
  }
}

}  // namespace

int parse_channelparams(Pf *pf, Q330DLParams *dlp, int required) {
  Arr *pchans = nullptr, *rates = nullptr;
  if (parse_param(pf, "pchan_map", P_ARRSTR, required, &pchans) < 0) {
    elog_log(0, "parse_channelparams: parse_param(pchan_map) error.\n");
    return -1;
  }
  if (parse_param(pf, "rate_mask", P_ARRSTR, required, &rates) < 0) {
    free_text_arr(&pchans);
    elog_log(0, "parse_channelparams: parse_param(rate_mask) error.\n");
    return -1;
  }
  if (!pchans && !rates) return 0;

  // Check both maps (a new one, else the one in force) before anything held changes.
  Q330Chan pch[6] = {};
  RateCodes codes;
  if (read_index_map(pchans ? pchans : dlp->pchans_arr, 5, "pchan",
                     [&](const char *value, int p) { return read_pchan(dlp, value, p, &pch[p]); }) <
          0 ||
      read_index_map(rates ? rates : dlp->rates_arr, 7, "rate",
                     [&](const char *value, int r) { return read_rate(value, r, &codes); }) < 0) {
    free_text_arr(&pchans);
    free_text_arr(&rates);
    return -1;
  }
  map_in_force(&dlp->pchans_arr, pchans);
  map_in_force(&dlp->rates_arr, rates);
  fill_data_channels(dlp, pch, codes);
  return 0;
}

int parse_acqparams(Pf *pf, Muldrin *muldrin, Q330DLParams *dlp, int required) {
  Tbl *rows = nullptr;
  if (parse_param(pf, "acq_matrix", P_TBL, required, &rows) < 0) {
    elog_log(0, "parse_acqparams: parse_param(acq_matrix) error.\n");
    return -1;
  }
  // The rows in force are applied after every block, so data channels rebuilt by a
  // channel map without a matrix keep their packet definitions.
  const Tbl *matrix = rows ? rows : dlp->acq_bitmap;
  if (!matrix) return 0;
  PacketDef *pdefs[8][6] = {};
  for (long row = 0; row < maxtbl(matrix); row++) {
    const char *line = static_cast<const char *>(gettbl(matrix, row));
    std::vector<std::string> w = words(line);
    if (w.empty()) continue;
    int rc = 0;
    if (w.size() != 8) {
      elog_log(0, "parse_acqparams: Wrong number of rates for acq_matrix line '%s'.\n", line);
      rc = -1;
    } else if (row >= 6) {
      elog_log(0, "parse_acqparams: Too many pchans for acq_matrix at line '%s'.\n", line);
      rc = -1;
    }
    for (int r = 0; rc == 0 && r < 8; r++) {
      if (w[r] == "0") continue;
      PacketDef *p = muldrin && muldrin->packet_defs
                         ? static_cast<PacketDef *>(getarr(muldrin->packet_defs, w[r].c_str()))
                         : nullptr;
      if (!p) {
        elog_log(0, "parse_acqparams: Cannot find packet_def '%s' for acq_matrix at line '%s'.\n",
                 w[r].c_str(), line);
        rc = -1;
      } else if (!p->orbtag) {
        elog_log(0,
                 "parse_acqparams: packet_def '%s' has an undefined orbtag for acq_matrix at line "
                 "'%s'.\n",
                 w[r].c_str(), line);
        rc = -1;
      } else {
        pdefs[r][row] = p;
      }
    }
    if (rc < 0) {
      if (rows) freetbl(rows, free_text);
      return -1;
    }
  }
  for (int r = 0; r < 8; r++)
    for (int p = 0; p < 6; p++) dlp->data_chan[r][p].user_data = pdefs[r][p];
  if (rows) {
    if (dlp->acq_bitmap) freetbl(dlp->acq_bitmap, free_text);
    dlp->acq_bitmap = rows;
  }
  return 0;
}

int parse_statuschannelparams(Pf *pf, Q330DLParams *dlp, int required) {
  Arr *fresh = nullptr;
  if (parse_param(pf, "status_map", P_ARRSTR, required, &fresh) < 0) {
    elog_log(0, "parse_statuschannelparams: parse_param(status_map) error.\n");
    return -1;
  }
  Arr *map = fresh ? fresh : dlp->status_arr;
  if (!map) return 0;
  Arr *chans = newarr(nullptr);
  if (!chans) {
    elog_log(0, "parse_statuschannelparams: newarr(status_chan_arr) error.\n");
    free_text_arr(&fresh);
    return -1;
  }
  Tbl *keys = keysarr(map);
  int rc = 0;
  for (long i = 0; rc == 0 && i < maxtbl(keys); i++) {
    const char *name = static_cast<const char *>(gettbl(keys, i));
    const char *value = static_cast<const char *>(getarr(map, name));
    int type = 0;
    const void *stdef = nullptr;
    double dt = 0;
    if (!parse_pf_status_lookup || parse_pf_status_lookup(name, &type, &stdef, &dt) < 0) {
      elog_complain(0, "parse_statuschannelparams: unrecognized status '%s' - skipping.\n", name);
      continue;
    }
    std::vector<std::string> w = words(value);
    if (w.empty()) {
      elog_log(0, "parse_statuschannelparams: error scanning '%s' for status '%s'.\n", value, name);
      rc = -1;
      break;
    }
    auto *sc = new (std::nothrow) Q330StatusChan{};
    if (!sc) {
      elog_log(0, "parse_statuschannelparams: malloc(stchan) error.\n");
      rc = -1;
      break;
    }
    setarr(chans, name, sc);
    if (put_field(sc->pfkey, sizeof sc->pfkey, w[0]) < 0) {
      elog_log(0,
               "parse_statuschannelparams: pfkey '%s' too long for status '%s' (no more than 63 "
               "characters).\n",
               w[0].c_str(), name);
      rc = -1;
    } else if (w.size() > 1 &&
               parse_netstachanloc(dlp, w[1].c_str(), sc->net, sc->sta, sc->chan, sc->loc) < 0) {
      elog_log(0,
               "parse_statuschannelparams: netstachanloc parsing error in '%s' for status '%s'.\n",
               value, name);
      rc = -1;
    }
    if (strcmp(sc->sta, "$PROPTG") == 0) {
      sc->sta[0] = 0;
      sc->stafromproptag = 1;
    }
    sc->type = type;
    sc->stdef = stdef;
  }
  freetbl(keys, nullptr);
  if (rc < 0) {
    freearr(chans, free_status_chan);
    free_text_arr(&fresh);
    return -1;
  }
  map_in_force(&dlp->status_arr, fresh);
  if (dlp->status_chan_arr) freearr(dlp->status_chan_arr, free_status_chan);
  dlp->status_chan_arr = chans;
  return 0;
}

int parse_statuschanneldisposition(Pf *pf, Muldrin *muldrin, Q330DLParams *dlp, int required) {
  static const char fn[] = "parse_statuschanneldisposition";
  Arr *fresh = nullptr;
  if (parse_param(pf, "status_disposition", P_ARRSTR, required, &fresh) < 0) {
    elog_log(0, "parse_statuschanneldisposition: parse_param(status_disposition) error.\n");
    return -1;
  }
  Arr *map = fresh ? fresh : dlp->statusd_arr;
  if (!map) return 0;
  Tbl *keys = keysarr(map);
  int rc = 0;
  for (long i = 0; rc == 0 && i < maxtbl(keys); i++) {
    const char *name = static_cast<const char *>(gettbl(keys, i));
    const char *value = static_cast<const char *>(getarr(map, name));
    auto *sc = dlp->status_chan_arr
                   ? static_cast<Q330StatusChan *>(getarr(dlp->status_chan_arr, name))
                   : nullptr;
    if (!sc) {
      elog_complain(0, "parse_statuschanneldisposition: undefined status '%s' - skipping.\n", name);
      continue;
    }
    std::vector<std::string> w = words(value);
    int n = 0;
    if (w.empty()) {
      elog_log(0, "%s: error scanning '%s' for status '%s'.\n", fn, value, name);
      rc = -1;
    } else if (w.size() == 1) {
      elog_log(0, "%s: Need in_pf in '%s' for status '%s'.\n", fn, value, name);
      rc = -1;
    } else if (w.size() > 3 && read_int(w[3], &n) == 0) {
      elog_log(0, "%s: extra parameters in '%s' for status '%s'.\n", fn, value, name);
      rc = -1;
    }
    if (rc < 0) break;
    PacketDef *pdef = nullptr;
    std::string what = std::string("status ") + name;
    if (w.size() > 2 && find_packet_def(muldrin, w[2], &pdef, fn, what.c_str(), value) < 0) {
      rc = -1;
      break;
    }
    if (pdef) {
      double dt = 0;
      int type = 0;
      const void *stdef = nullptr;
      if (sc->type == 2 && parse_pf_status_lookup &&
          parse_pf_status_lookup(name, &type, &stdef, &dt) == 0 && dt == 0) {
        elog_log(0,
                 "%s: You cannot define waveform packets for %s 'reported as needed' status at "
                 "line '%s'.\n",
                 fn, name, value);
        rc = -1;
        break;
      }
      if (!sc->chan[0]) {
        elog_log(0, "%s: No net_sta_chan_loc defined for status %s at line '%s'.\n", fn, name,
                 value);
        rc = -1;
        break;
      }
    }
    sc->outputthischan_log = parse_bool(w[0].c_str());
    sc->outputthischan_pf = parse_bool(w[1].c_str());
    sc->output_wf_pdef = pdef;
  }
  freetbl(keys, nullptr);
  if (rc < 0) {
    free_text_arr(&fresh);
    return -1;
  }
  map_in_force(&dlp->statusd_arr, fresh);
  return 0;
}

namespace {

// The fields of an ep_map entry ("number pfkey netstachanloc samprate segtype calib
// calper", at least seven words) into the channel named `name`. 0, or -1 (logged).
int fill_ep_channel(Q330DLParams *dlp, const char *name, const char *value,
                    const std::vector<std::string> &w, Q330Chan *c) {
  static const char fn[] = "parse_epchannelparams";
  c->pf_dvalue = 2.0e30f;
  int rc = 0;
  if (put_field(c->channel_name, sizeof c->channel_name, name) < 0) {
    elog_log(0, "%s: ep channel name '%s' too long (no more than 127 characters).\n", fn, name);
    rc = -1;
  } else if (put_field(c->pfkey, sizeof c->pfkey, w[1]) < 0) {
    elog_log(0, "%s: pfkey '%s' too long for ep channel '%s' (no more than 63 characters).\n", fn,
             w[1].c_str(), name);
    rc = -1;
  } else if (parse_netstachanloc(dlp, w[2].c_str(), c->net, c->sta, c->chan, c->loc) < 0) {
    elog_log(0, "%s: netstachanloc parsing error in '%s' for ep channel '%s'.\n", fn, value, name);
    rc = -1;
  } else if (read_int(w[3], &c->samprate) < 0 || read_double(w[5], &c->calib) < 0 ||
             read_double(w[6], &c->calper) < 0) {
    elog_log(0, "%s: error scanning '%s' for ep channel '%s'.\n", fn, value, name);
    rc = -1;
  } else if (char why[200]; pfnumber("samprate", w[3].c_str(), P_LINT, {1, 1000}, &c->samprate, why,
                                     sizeof why) < 0) {
    elog_log(0, "%s: ep_map->%s: %s.\n", fn, name, why);
    rc = -1;
  } else if (put_field(c->segtype, sizeof c->segtype, w[4]) < 0) {
    elog_log(0, "%s: segtype '%s' too long for ep channel '%s' (no more than 3 characters).\n", fn,
             w[4].c_str(), name);
    rc = -1;
  }
  if (strcmp(c->sta, "$PROPTG") == 0) {
    c->sta[0] = 0;
    c->stafromproptag = 1;
  }
  return rc;
}

}  // namespace

int parse_epchannelparams(Pf *pf, Q330DLParams *dlp, int required) {
  static const char fn[] = "parse_epchannelparams";
  Arr *fresh = nullptr;
  if (parse_param(pf, "ep_map", P_ARRSTR, required, &fresh) < 0) {
    elog_log(0, "parse_epchannelparams: parse_param(ep_map) error.\n");
    return -1;
  }
  Arr *map = fresh ? fresh : dlp->ep_arr;
  if (!map) return 0;
  Arr *chans = newarr(nullptr);
  if (!chans) {
    elog_log(0, "parse_epchannelparams: newarr(ep_chan_arr) error.\n");
    free_text_arr(&fresh);
    return -1;
  }
  Tbl *keys = keysarr(map);
  int rc = 0;
  for (long i = 0; rc == 0 && i < maxtbl(keys); i++) {
    const char *name = static_cast<const char *>(gettbl(keys, i));
    const char *value = static_cast<const char *>(getarr(map, name));
    std::vector<std::string> w = words(value);
    if (w.empty()) {
      elog_log(0, "%s: error scanning '%s' for ep channel '%s'.\n", fn, value, name);
      rc = -1;
      break;
    }
    char *end = nullptr;
    errno = 0;
    unsigned long num = strtoul(w[0].c_str(), &end, 16);
    if (*end || errno || !isxdigit(static_cast<unsigned char>(w[0][0]))) {
      elog_complain(0, "%s: no specifications for ep channel '%s' - skipping.\n", fn, name);
      continue;
    }
    if (w.size() < 7) {
      elog_log(0, "%s: too few parameters in '%s' for ep channel '%s'.\n", fn, value, name);
      rc = -1;
      break;
    }
    if (num > 255) {
      elog_log(0, "%s: ep channel number %s out of range 0-ff for ep channel '%s'.\n", fn,
               w[0].c_str(), name);
      rc = -1;
      break;
    }
    auto *c = new (std::nothrow) Q330Chan{};
    if (!c) {
      elog_log(0, "%s: malloc(epchan) error.\n", fn);
      rc = -1;
      break;
    }
    setarr(chans, name, c);
    c->ep_channel = static_cast<int>(num);
    rc = fill_ep_channel(dlp, name, value, w, c);
  }
  freetbl(keys, nullptr);
  if (rc < 0) {
    freearr(chans, free_ep_chan);
    free_text_arr(&fresh);
    return -1;
  }
  map_in_force(&dlp->ep_arr, fresh);
  if (dlp->ep_chan_arr) freearr(dlp->ep_chan_arr, free_ep_chan);
  dlp->ep_chan_arr = chans;
  for (auto &slot : dlp->ep_channels) slot = nullptr;
  return 0;
}

int parse_epchanneldisposition(Pf *pf, Muldrin *muldrin, Q330DLParams *dlp, int required) {
  static const char fn[] = "parse_epchanneldisposition";
  Arr *fresh = nullptr;
  if (parse_param(pf, "ep_disposition", P_ARRSTR, required, &fresh) < 0) {
    elog_log(0, "parse_epchanneldisposition: parse_param(ep_disposition) error.\n");
    return -1;
  }
  Arr *map = fresh ? fresh : dlp->epd_arr;
  if (!map) return 0;
  Tbl *keys = keysarr(map);
  int rc = 0;
  std::vector<Q330Chan *> placed;
  for (long i = 0; rc == 0 && i < maxtbl(keys); i++) {
    const char *name = static_cast<const char *>(gettbl(keys, i));
    const char *value = static_cast<const char *>(getarr(map, name));
    auto *c = dlp->ep_chan_arr ? static_cast<Q330Chan *>(getarr(dlp->ep_chan_arr, name)) : nullptr;
    if (!c) {
      elog_complain(0, "%s: undefined ep channel '%s' - skipping.\n", fn, name);
      continue;
    }
    std::vector<std::string> w = words(value);
    if (w.empty()) {
      elog_log(0, "%s: error scanning '%s' for ep channel '%s'.\n", fn, value, name);
      rc = -1;
      break;
    }
    if (w.size() < 2) {
      elog_log(0, "%s: too few parameters in '%s' for ep channel '%s'.\n", fn, value, name);
      rc = -1;
      break;
    }
    PacketDef *pdef = nullptr;
    std::string what = std::string("ep channel ") + name;
    if (find_packet_def(muldrin, w[1], &pdef, fn, what.c_str(), value) < 0) {
      rc = -1;
      break;
    }
    if (pdef && !c->chan[0]) {
      elog_log(0, "%s: No net_sta_chan_loc defined for ep channel %s at line '%s'.\n", fn, name,
               value);
      rc = -1;
      break;
    }
    c->outputthischan_pf = parse_bool(w[0].c_str());
    c->user_data = pdef;
    c->outputthischan = pdef != nullptr;
    placed.push_back(c);
  }
  freetbl(keys, nullptr);
  if (rc < 0) {
    free_text_arr(&fresh);
    return -1;
  }
  map_in_force(&dlp->epd_arr, fresh);
  for (auto &slot : dlp->ep_channels) slot = nullptr;
  for (Q330Chan *c : placed) dlp->ep_channels[c->ep_channel] = c;
  return 0;
}

namespace {

// The plain parameters of the table q330_dlparams (required only in the defaults). 0, or
// -1 (logged).
int read_plain_params(Pf *pf, Q330DLParams *dlp, int is_default) {
  for (const Q330Params &row : q330_dlparams) {
    int required = is_default ? row.required_default : 0;
    char *member = reinterpret_cast<char *>(dlp) + row.offset;
    int rc;
    if (row.type == P_STR) {
      char *text = nullptr;
      rc = parse_param(pf, row.name, P_STR, required, &text);
      if (rc == 0 && text) {
        char **dst = reinterpret_cast<char **>(member);
        free(*dst);
        *dst = text;
      }
    } else {
      rc = parse_param_range(pf, row.name, row.type, required, member, row.range);
    }
    if (rc < 0) {
      elog_log(0, "parse_dlparams: parse_param(%s) error.\n", row.name);
      return -1;
    }
  }
  // The sensors of the mass commands: the datalogger knows sensor A, sensor B or both.
  for (const char *key : {"massrecenter_sensors", "masslockunlock_sensors"}) {
    const char *text = pfget_string(pf, key);
    if (text == nullptr || strcmp(text, "A") == 0 || strcmp(text, "B") == 0 ||
        strcmp(text, "AB") == 0)
      continue;
    char where[300];
    pfwhere(pf, key, where, sizeof where);
    elog_log(0, "parse_dlparams: %s: key '%s': '%s' is none of A, B, AB.\n", where, key, text);
    elog_log(0, "parse_dlparams: parse_param(%s) error.\n", key);
    return -1;
  }
  return 0;
}

// The channel, acquisition, status-channel and environmental-channel sections, in order.
// 0, or -1 (logged).
int read_sections(Pf *pf, Muldrin *muldrin, Q330DLParams *dlp, int is_default) {
  struct Step {
    const char *name;
    int (*fn)(Pf *, Muldrin *, Q330DLParams *, int);
  };
  const Step steps[] = {
      {"parse_channelparams",
       [](Pf *p, Muldrin *, Q330DLParams *d, int r) { return parse_channelparams(p, d, r); }},
      {"parse_acqparams", parse_acqparams},
      {"parse_statuschannelparams",
       [](Pf *p, Muldrin *, Q330DLParams *d, int r) { return parse_statuschannelparams(p, d, r); }},
      {"parse_statuschanneldisposition", parse_statuschanneldisposition},
      {"parse_epchannelparams",
       [](Pf *p, Muldrin *, Q330DLParams *d, int r) { return parse_epchannelparams(p, d, r); }},
      {"parse_epchanneldisposition", parse_epchanneldisposition},
  };
  for (const Step &step : steps) {
    if (step.fn(pf, muldrin, dlp, is_default) < 0) {
      elog_log(0, "parse_dlparams: %s() error.\n", step.name);
      return -1;
    }
  }
  return 0;
}

// q330_authentication_code, one code or a list, each exactly 16 hexadecimal digits; kept
// as 18-byte entries in q330_authentication_codes. 0, or -1 (logged).
int read_auth_codes(Pf *pf, Q330DLParams *dlp, int is_default) {
  Tbl *codes = nullptr;
  if (pfget(pf, "q330_authentication_code", nullptr) == PFTBL) {
    if (parse_param(pf, "q330_authentication_code", P_TBL, 0, &codes) < 0) {
      elog_log(0, "parse_dlparams: parse_param(q330_authentication_code,P_TBL) error.\n");
      return -1;
    }
  } else {
    char *code = nullptr;
    if (parse_param(pf, "q330_authentication_code", P_STR, is_default, &code) < 0) {
      elog_log(0, "parse_dlparams: parse_param(q330_authentication_code,P_STR) error.\n");
      return -1;
    }
    if (code) {
      codes = newtbl(1);
      if (!codes) {
        free(code);
        elog_log(0, "parse_dlparams: newtbl(q330_authentication_code) error.\n");
        return -1;
      }
      pushtbl(codes, code);
    }
  }
  if (!codes) return 0;
  for (long i = 0; i < maxtbl(codes); i++) {
    const char *code = static_cast<const char *>(gettbl(codes, i));
    if (strlen(code) != 16) {
      elog_log(0,
               "parse_dlparams: q330_authentication_code '%s', entry %ld, must be exactly 16 "
               "characters long.\n",
               code, i);
      freetbl(codes, free_text);
      return -1;
    }
    if (!is_hex16(code)) {
      elog_log(0,
               "parse_dlparams: q330_authentication_code '%s', entry %ld, must be 16 hexadecimal "
               "digits.\n",
               code, i);
      freetbl(codes, free_text);
      return -1;
    }
  }
  Tbl *padded = newtbl(maxtbl(codes));
  if (!padded) {
    freetbl(codes, free_text);
    elog_log(0, "parse_dlparams: inittbl(q330_authentication_codes) error.\n");
    return -1;
  }
  for (long i = 0; i < maxtbl(codes); i++) {
    char *entry = static_cast<char *>(calloc(18, 1));
    if (!entry) elog_die(0, "parse_dlparams: malloc(q330_authentication_code) error.\n");
    memcpy(entry, gettbl(codes, i), 16);
    pushtbl(padded, entry);
  }
  freetbl(codes, free_text);
  if (dlp->q330_authentication_codes) freetbl(dlp->q330_authentication_codes, free_text);
  dlp->q330_authentication_codes = padded;
  return 0;
}

// The values derived from the texts read: the disposition, the throttle word and the
// LOG times in tenths of a second. 0, or -1 (logged).
int derive_values(Q330DLParams *dlp) {
  // Local ports stay texts here; parse_pf hands out "auto_fixed" ports once per datalogger.
  if (dlp->disposition_str) {
    static const struct {
      const char *name;
      int value;
    } dispositions[] = {{"nothread", 0}, {"startthr", 1}, {"startacq", 3}, {"listen", 2}};
    int found = -1;
    for (const auto &d : dispositions)
      if (strcmp(dlp->disposition_str, d.name) == 0) found = d.value;
    if (found < 0) {
      elog_log(0, "parse_dlparams: Unrecognized disposition '%s'.\n", dlp->disposition_str);
      return -1;
    }
    dlp->disposition = found;
  }
  if (dlp->throttle >= 1 && dlp->throttle <= 9) {
    elog_log(0, "parse_dlparams: Illegal throttle %d (1 to 9 bytes per second cannot be set).\n",
             dlp->throttle);
    return -1;
  }
  dlp->throttle_q330 = q330_throttle(dlp->throttle);
  dlp->log_maximum_resend_timeout = tenths(dlp->log_maximum_resend_timeout_dbl);
  dlp->log_minimum_resend_timeout = tenths(dlp->log_minimum_resend_timeout_dbl);
  dlp->log_group_timeout = tenths(dlp->log_group_timeout_dbl);
  dlp->log_acknowledge_timeout = tenths(dlp->log_acknowledge_timeout_dbl);
  return 0;
}

}  // namespace

int parse_dlparams(Pf *pf, Muldrin *muldrin, Q330DLParams *dlp, int is_default) {
  if (read_plain_params(pf, dlp, is_default) < 0 ||
      read_sections(pf, muldrin, dlp, is_default) < 0 || read_auth_codes(pf, dlp, is_default) < 0)
    return -1;
  return derive_values(dlp);
}

int parse_dlparams_key(int index, const char **name, int *required_at_top) {
  const int n = static_cast<int>(sizeof q330_dlparams / sizeof q330_dlparams[0]);
  if (index < 0 || index >= n) return -1;
  *name = q330_dlparams[index].name;
  *required_at_top = q330_dlparams[index].required_default;
  return 0;
}
