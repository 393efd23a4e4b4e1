// parse_pf.cpp - kessaro's parameter file (see parse_pf.h).
#include "parse_pf.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "bytestream/serialbuf.h"  // SerialbufKind
#include "kessaro.h"
#include "ring/orb.h"
#include "ringsvc/orbreapthr.h"
#include "ringsvc/orbwrite.h"
#include "support/netstachan.h"

namespace {

// Largest reorder buffer a datalogger may ask for (entries); more is refused rather than
// allocated.
constexpr int kMaxStrbuf = 65536;

// A host a TCP link may call: a dotted IPv4 address (each part 0-255) or a host name of
// letters, digits and '-' in labels joined by '.'. Refused here, a bad address stops the
// start-up instead of being retried for ever.
bool host_ok(const std::string &h) {
  if (h.empty() || h.size() > 253) return false;
  if (h.find_first_not_of("0123456789.") == std::string::npos) {
    struct in_addr a;
    return inet_pton(AF_INET, h.c_str(), &a) == 1;
  }
  size_t start = 0;
  while (start <= h.size()) {
    size_t end = h.find('.', start);
    if (end == std::string::npos) end = h.size();
    const std::string label = h.substr(start, end - start);
    if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
      return false;
    for (char c : label)
      if (!isalnum((unsigned char)c) && c != '-') return false;
    start = end + 1;
  }
  return true;
}

// A time in seconds that may not be negative: -1 with the key named when it is.
// `pf`, when given, is the block the key was read from: the message then names its file
// and line too.
int refuse_negative(const std::string &who, const char *key, double value, Pf *pf = nullptr) {
  if (value >= 0) return 0;
  char where[300] = "";
  if (pf != nullptr) pfwhere(pf, key, where, sizeof where);
  elog_log(0, "parse_pf: %s->%s %g is negative.%s%s\n", who.c_str(), key, value,
           where[0] != '\0' ? " Read at " : "", where);
  return -1;
}

// Why the event folder cannot serve, or none. The folder itself is made when the first
// event file is saved; its parent must exist already, so that a slip in the path shows at
// start and not at the first download.
const char *evt_dir_problem(const char *dir) {
  if (dir == nullptr || dir[0] == '\0') return nullptr;
  struct stat st {};
  if (stat(dir, &st) == 0) return S_ISDIR(st.st_mode) ? nullptr : "is not a folder";
  std::string parent = dir;
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  size_t slash = parent.rfind('/');
  parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
  if (stat(parent.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    return "cannot be made: its parent folder does not exist";
  return nullptr;
}

std::vector<std::string> words_of(const char *text) {
  std::vector<std::string> w;
  const char *p = text;
  while (*p != '\0') {
    while (*p != '\0' && isspace(static_cast<unsigned char>(*p))) p++;
    const char *s = p;
    while (*p != '\0' && !isspace(static_cast<unsigned char>(*p))) p++;
    if (p > s) w.emplace_back(s, p - s);
  }
  return w;
}

// A whole decimal integer in int range.
bool to_int(const std::string &s, int *out) {
  if (s.empty()) return false;
  errno = 0;
  char *end = nullptr;
  long v = strtol(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < INT_MIN || v > INT_MAX) return false;
  *out = static_cast<int>(v);
  return true;
}

bool to_double(const std::string &s, double *out) {
  if (s.empty()) return false;
  char *end = nullptr;
  double v = strtod(s.c_str(), &end);
  if (*end != '\0' || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

// Replaces an owned text.
void set_text(char *&field, const char *value) {
  char *copy = value ? strdup(value) : nullptr;
  free(field);
  field = copy;
}

std::string trimmed(const std::string &text) {
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  return strtrim(buf.data());
}

Orbtag *find_orbtag(Kessaro *altus, const char *name) {
  return static_cast<Orbtag *>(getarr(altus->orbtags_arr, name));
}

}  // namespace

int tobool(const char *text) {
  if (text == nullptr) return 1;
  static const char *const no[] = {"0", "n", "no", "f", "false"};
  for (const char *w : no) {
    if (strcasecmp(text, w) == 0) return 0;
  }
  return 1;
}

int replace_string(std::string &text, const char *token, const char *replacement) {
  const size_t n = strlen(token);
  if (n == 0) return 0;
  size_t pos = 0;
  while ((pos = text.find(token, pos)) != std::string::npos) {
    text.replace(pos, n, replacement);
    pos += strlen(replacement);
  }
  return 0;
}

int process_modem_string(std::string &text) {
  replace_string(text, "<r>", "\r");
  replace_string(text, "<n>", "\n");
  replace_string(text, "<t>", "\t");
  replace_string(text, "<b>", "\b");
  replace_string(text, "<bl>", " ");
  return 0;
}

Pf *pf_substitute(Pf *pf, const char *pfsubs) {
  if (pfsubs == nullptr) return pf;
  Pf *subs = nullptr;
  if (pfread(pfsubs, &subs) != 0) {
    elog_log(0, "pf_substitute: pfread(%s) error.\n", pfsubs);
    return nullptr;
  }
  Tbl *keys = pfkeys(subs);
  if (keys == nullptr) {
    elog_log(0, "pf_substitute: Cannot get keys for %s.\n", pfsubs);
    pffree(subs);
    return nullptr;
  }
  if (maxtbl(keys) == 0) {
    freetbl(keys, nullptr);
    pffree(subs);
    return pf;
  }
  char *text = pf2string(pf);
  if (text == nullptr) {
    elog_log(0, "pf_substitute: pf2string() error.\n");
    freetbl(keys, nullptr);
    pffree(subs);
    return nullptr;
  }
  std::string str(text);
  free(text);
  for (long i = 0; i < maxtbl(keys); i++) {
    const char *key = static_cast<const char *>(gettbl(keys, i));
    char *value = nullptr;
    if (parse_param(subs, key, P_STR, 1, &value) != 0) {
      elog_log(0, "pf_substitute: parse_param(%s) error.\n", key);
      freetbl(keys, nullptr);
      pffree(subs);
      return nullptr;
    }
    char *out = strsub(str.c_str(), key, value);
    free(value);
    str = out;
    free(out);
  }
  freetbl(keys, nullptr);
  pffree(subs);
  Pf *result = nullptr;
  if (pfcompile(str.c_str(), &result) != 0) {
    elog_log(0, "pf_substitute: pfcompile() error.\n");
    return nullptr;
  }
  pffree(pf);
  return result;
}

// ---- program keys and packet definitions ----

static int read_program_keys(Pf *pf, Kessaro *altus) {
  double d = 0.0;
  int n = 0;
  if (parse_param(pf, "status_interval", P_DBL, 1, &d) != 0) {
    elog_log(0, "parse_pf: parse_param(altus->status_interval) error.\n");
    return -1;
  }
  altus->status_interval = d;
  if (parse_param(pf, "datarate_interval", P_DBL, 1, &altus->datarate_interval) != 0) {
    elog_log(0, "parse_pf: parse_param(altus->datarate_interval) error.\n");
    return -1;
  }
  if (refuse_negative("kessaro", "status_interval", altus->status_interval, pf) != 0 ||
      refuse_negative("kessaro", "datarate_interval", altus->datarate_interval, pf) != 0)
    return -1;
  altus->ring_refusal_drop_time = 60.0;
  if (parse_param(pf, "ring_refusal_drop_time", P_DBL, 0, &altus->ring_refusal_drop_time) != 0) {
    elog_log(0, "parse_pf: parse_param(altus->ring_refusal_drop_time) error.\n");
    return -1;
  }
  orbwrite_default()->drop_after = altus->ring_refusal_drop_time;
  if (parse_param(pf, "log_poc", P_LINT, 1, &n) != 0) {
    elog_log(0, "parse_pf: parse_param(altus->log_poc) error.\n");
    return -1;
  }
  altus->log_poc = n;
  char *text = nullptr;
  if (parse_param(pf, "evt_file_dir", P_STR, 1, &text) != 0) {
    elog_log(0, "parse_pf: parse_param(altus->evt_file_dir) error.\n");
    return -1;
  }
  set_text(altus->evt_file_dir, text);
  free(text);
  if (const char *why = evt_dir_problem(altus->evt_file_dir)) {
    char where[300] = "";
    pfwhere(pf, "evt_file_dir", where, sizeof where);
    elog_log(0, "parse_pf: %s: key 'evt_file_dir': '%s' %s.\n", where, altus->evt_file_dir, why);
    return -1;
  }
  static const char *const strings[] = {"connect_listen_string", "connect_response_string"};
  char **fields[] = {&altus->connect_listen_string, &altus->connect_response_string};
  for (int i = 0; i < 2; i++) {
    text = nullptr;
    if (parse_param(pf, strings[i], P_STR, 1, &text) != 0) {
      elog_log(0, "parse_pf: parse_param(altus->%s) error.\n", strings[i]);
      return -1;
    }
    std::string s(text);
    free(text);
    process_modem_string(s);
    set_text(*fields[i], s.c_str());
  }
  const char *target = altus->targetname ? altus->targetname : "";
  struct {
    const char *key;
    Orbtag **field;
    char **srcname;
    const char *format;
  } tags[] = {
      {"cmd_orbtag", &altus->cmd, &altus->cmd_srcname, nullptr},
      {"log_orbtag", &altus->log, &altus->log_srcname, "%s/log"},
      {"status_orbtag", &altus->status, &altus->status_srcname, "%s/pf/st"},
      {"evtinfo_orbtag", &altus->evtinfo, &altus->evtinfo_srcname, "%s/pf/evtinfo"},
  };
  for (auto &t : tags) {
    char buf[P_STRCP_SIZE] = "";
    if (parse_param(pf, t.key, P_STRCP, 0, buf) != 0) {
      elog_log(0, "parse_pf: parse_param(%s) error.\n", t.key);
      return -1;
    }
    if (buf[0] == '\0' || strcmp(buf, "none") == 0) continue;
    Orbtag *tag = find_orbtag(altus, buf);
    if (tag == nullptr) {
      elog_log(0, "parse_pf: Cannot find %s '%s' in command line.\n", t.key, buf);
      return -1;
    }
    *t.field = tag;
    std::string src = t.format ? string_printf(t.format, target) : std::string(".*/pf/dlcm");
    if (src.size() > 127) src.resize(127);
    set_text(*t.srcname, src.c_str());
  }
  return 0;
}

static int read_packet_defs(Pf *pf, Kessaro *altus) {
  if (altus->packet_defs_arr == nullptr) altus->packet_defs_arr = newarr(nullptr);
  Pf *defs = nullptr;
  if (parse_param(pf, "packet_defs", P_ARR, 1, &defs) != 0) {
    elog_log(0, "parse_pf: parse_param(packet_defs) error.\n");
    return -1;
  }
  std::unique_ptr<Pf, void (*)(Pf *)> hold(defs, pffree);
  Tbl *keys = pfkeys(defs);
  std::unique_ptr<Tbl, void (*)(Tbl *)> hold_keys(keys, [](Tbl *t) { freetbl(t, nullptr); });
  for (long i = 0; i < maxtbl(keys); i++) {
    const char *name = static_cast<const char *>(gettbl(keys, i));
    void *node = nullptr;
    if (pfget(defs, name, &node) != PFARR) {
      elog_log(0, "parse_pf: parse_param(packet_defs->%s->data_orbtag) error.\n", name);
      return -1;
    }
    Pf *entry = static_cast<Pf *>(node);
    if (strlen(name) >= sizeof(PacketDef{}.name)) {
      elog_log(0, "parse_pf: packet_defs->%s: name too long.\n", name);
      return -1;
    }
    std::unique_ptr<PacketDef> def(new PacketDef());
    kessaro_copytext(def->name, name);
    char buf[P_STRCP_SIZE] = "";
    if (parse_param(entry, "data_orbtag", P_STRCP, 1, buf) != 0) {
      elog_log(0, "parse_pf: parse_param(packet_defs->%s->data_orbtag) error.\n", name);
      return -1;
    }
    def->orbtag = find_orbtag(altus, buf);
    if (parse_param(entry, "twin", P_LINT, 1, &def->twin) != 0) {
      elog_log(0, "parse_pf: parse_param(packet_defs->%s->twin) error.\n", name);
      return -1;
    }
    if (parse_param(entry, "multiplexed", P_BOOL, 1, &def->multiplexed) != 0) {
      elog_log(0, "parse_pf: parse_param(packet_defs->%s->multiplexed) error.\n", name);
      return -1;
    }
    buf[0] = '\0';
    if (parse_param(entry, "suffix", P_STRCP, 1, buf) != 0) {
      elog_log(0, "parse_pf: parse_param(packet_defs->%s->suffix) error.\n", name);
      return -1;
    }
    if (strcmp(buf, "GENC") != 0 && strcmp(buf, "MGENC") != 0) {
      elog_log(0, "parse_pf: packet_defs->%s: suffix '%s' not implemented.\n", name, buf);
      return -1;
    }
    if (strcmp(buf, "GENC") == 0 && def->multiplexed) {
      elog_log(0, "parse_pf: packet_defs->%s: Cannot multiplex with GENC suffix.\n", name);
      return -1;
    }
    kessaro_copytext(def->suffix, buf);
    buf[0] = '\0';
    if (parse_param(entry, "subcode", P_STRCP, 0, buf) != 0 || strlen(buf) >= sizeof def->subcode) {
      elog_log(0, "parse_pf: parse_param(packet_defs->%s->subcode) error.\n", name);
      return -1;
    }
    kessaro_copytext(def->subcode, buf);
    PacketDef *old = static_cast<PacketDef *>(setarr(altus->packet_defs_arr, name, def.release()));
    delete old;
  }
  return 0;
}

// ---- links ----

static char *Modem::*const modem_strings[] = {
    &Modem::listen_string,         &Modem::nolisten_string,      &Modem::dialout_string_prefix,
    &Modem::dialout_string_suffix, &Modem::hangup_string,        &Modem::attention_string,
    &Modem::ring_rec_string,       &Modem::busy_rec_string,      &Modem::connect_rec_string,
    &Modem::offhook_rec_string,    &Modem::attention_rec_string,
};

// Reads the link keys of `pf` into `m`; `tmpl` none for the defaults (all required).
static int read_modem_keys(Pf *pf, Modem *m, const char *tmpl) {
  const int req = tmpl == nullptr;
  const std::string who =
      tmpl ? string_printf("modem_templates(%s)", tmpl) : std::string("modem_defaults");
  auto fail = [&](const char *key) {
    elog_log(0, "parse_pf: parse_param(%s->%s) error.\n", who.c_str(), key);
    return -1;
  };
  if (parse_param(pf, "baud", P_LINT, req, &m->baud) != 0) return fail("baud");
  char *text = nullptr;
  if (parse_param(pf, "flow", P_STR, req, &text) != 0) return fail("flow");
  if (text != nullptr) {
    std::string flow(text);
    free(text);
    if (flow == "none") {
      m->flow = 0;
    } else if (flow == "rtscts") {
      m->flow = 1;
    } else {
      if (tmpl)
        elog_log(0, "parse_pf: Unknown modem_templates(%s)->flow '%s'.\n", tmpl, flow.c_str());
      else
        elog_log(0, "parse_pf: Unknown modem_defaults->flow '%s'.\n", flow.c_str());
      return -1;
    }
  }
  struct {
    const char *key;
    char *Modem::*field;
  } strings[] = {
      {"listen_string", &Modem::listen_string},
      {"nolisten_string", &Modem::nolisten_string},
      {"dialout_string", nullptr},
      {"hangup_string", &Modem::hangup_string},
      {"attention_string", &Modem::attention_string},
      {"ring_rec_string", &Modem::ring_rec_string},
      {"busy_rec_string", &Modem::busy_rec_string},
      {"connect_rec_string", &Modem::connect_rec_string},
      {"offhook_rec_string", &Modem::offhook_rec_string},
      {"attention_rec_string", &Modem::attention_rec_string},
  };
  for (auto &s : strings) {
    text = nullptr;
    if (parse_param(pf, s.key, P_STR, req, &text) != 0) return fail(s.key);
    if (text == nullptr) continue;
    std::string value(text);
    free(text);
    if (s.field != nullptr) {
      process_modem_string(value);
      set_text(m->*s.field, value.c_str());
      continue;
    }
    size_t pn = value.find("<pn>");
    if (pn == std::string::npos) {
      elog_log(0, "parse_pf: Cannot find '<pn>' token in %s->dialout_string.\n", who.c_str());
      return -1;
    }
    std::string prefix = value.substr(0, pn), suffix = value.substr(pn + 4);
    process_modem_string(prefix);
    process_modem_string(suffix);
    set_text(m->dialout_string_prefix, prefix.c_str());
    set_text(m->dialout_string_suffix, suffix.c_str());
  }
  if (parse_param(pf, "timeout", P_DBL, req, &m->timeout) != 0) return fail("timeout");
  if (parse_param(pf, "timeout_connect", P_DBL, req, &m->timeout_connect) != 0)
    return fail("timeout_connect");
  if (parse_param(pf, "timeout_control", P_DBL, req, &m->timeout_control) != 0)
    return fail("timeout_control");
  if (parse_param_range(pf, "maxtries", P_LINT, req, &m->maxtries, {0, 1000}) != 0)
    return fail("maxtries");
  if (parse_param(pf, "test", P_LINT, 0, &m->test) != 0) return fail("test");
  if (refuse_negative(who, "timeout", m->timeout, pf) != 0 ||
      refuse_negative(who, "timeout_connect", m->timeout_connect, pf) != 0 ||
      refuse_negative(who, "timeout_control", m->timeout_control, pf) != 0)
    return -1;
  return 0;
}

// A serial line: "device[:speed]".
static int read_serial_device(Modem *m, const std::string &dev, size_t colon, const char *device,
                              const char *dialin, const char *dialout) {
  m->com_mode = SERIALBUF_SERIAL;
  if (colon != std::string::npos) {
    int baud = 0;
    if (!to_int(dev.substr(colon + 1), &baud) || baud <= 0) {
      elog_log(0, "parse_modem: Illegal speed in '%s'\n", device);
      return -1;
    }
    m->baud = baud;
  }
  set_text(m->dev, dev.substr(0, colon).c_str());
  m->dialin = tobool(dialin);
  m->dialout = tobool(dialout);
  return 0;
}

// A TCP client: "address:port"; an address "-" is none (then no dial-in), a port "-" none.
static int read_tcpclient_device(Modem *m, const char *name, const std::string &dev, size_t colon,
                                 const char *device, const char *dialin, const char *dialout) {
  m->com_mode = SERIALBUF_TCPCLIENT;
  if (colon == std::string::npos) {
    elog_log(0, "parse_modem: Need port number in '%s'\n", device);
    return -1;
  }
  const std::string addr = dev.substr(0, colon), port = dev.substr(colon + 1);
  if (addr != "-" && !host_ok(addr)) {
    elog_log(0, "parse_modem: %s: bad address '%s' in '%s'\n", name, addr.c_str(), device);
    return -1;
  }
  set_text(m->ipaddr, addr == "-" ? nullptr : addr.c_str());
  if (port == "-") {
    m->port = -1;
  } else if (!to_int(port, &m->port) || m->port < 0 || m->port > 65535) {
    elog_log(0, "parse_modem: Need port number in '%s'\n", device);
    return -1;
  }
  m->dialin = tobool(dialin);
  m->dialout = tobool(dialout);
  if (m->dialin && m->ipaddr == nullptr) {
    elog_log(0, "parse_modem: dialin not allowed for modem with undefined ip-address\n");
    return -1;
  }
  if (m->ipaddr != nullptr && m->port == -1) {
    elog_log(0, "parse_modem: port must be specified with defined ip-address\n");
    return -1;
  }
  return 0;
}

Modem *parse_modem(Kessaro *altus, const char *name, const char *com_mode,
                   const char *modem_control, const char *dialin, const char *dialout,
                   const char *template_name, const char *device) {
  const Modem *tmpl = static_cast<const Modem *>(getarr(altus->modem_templates_arr, template_name));
  if (tmpl == nullptr) {
    elog_log(0, "parse_modem: cannot find modem template '%s' for modem name '%s'\n", template_name,
             name);
    return nullptr;
  }
  std::unique_ptr<Modem, void (*)(Modem *)> m(modem_copy(tmpl), modem_free);
  m->userdata = altus;
  set_text(m->name, name);
  set_text(m->connect_listen_string, altus->connect_listen_string);
  set_text(m->connect_response_string, altus->connect_response_string);
  const std::string dev(device);
  const size_t colon = dev.find(':');
  if (strcmp(com_mode, "serial") == 0) {
    if (read_serial_device(m.get(), dev, colon, device, dialin, dialout) != 0) return nullptr;
  } else if (strcmp(com_mode, "tcpclient") == 0) {
    if (read_tcpclient_device(m.get(), name, dev, colon, device, dialin, dialout) != 0)
      return nullptr;
  } else if (strcmp(com_mode, "tcpserver") == 0) {
    m->com_mode = SERIALBUF_TCPSERVER;
    if (!to_int(dev, &m->port) || m->port < 0 || m->port > 65535) {
      elog_log(0, "parse_modem: Need port number in '%s'\n", device);
      return nullptr;
    }
    m->dialin = 1;
    m->dialout = 0;
  } else {
    elog_log(0, "parse_modem: Illegal modem->com_mode (%s).\n", com_mode);
    return nullptr;
  }
  if (strcmp(modem_control, "none") == 0) {
    m->modem_control = MODEM_CONTROL_NONE;
    for (char *Modem::*s : modem_strings) set_text(m.get()->*s, nullptr);
  } else if (strcmp(modem_control, "local") == 0) {
    m->modem_control = MODEM_CONTROL_LOCAL;
  } else if (strcmp(modem_control, "remote") == 0) {
    m->modem_control = MODEM_CONTROL_REMOTE;
  } else {
    elog_log(0, "parse_modem: Illegal modem->modem_control (%s).\n", modem_control);
    return nullptr;
  }
  return m.release();
}

static int read_links(Pf *pf, Kessaro *altus) {
  Modem *defaults = &altus->modem_defaults;
  set_text(defaults->name, "default");
  if (read_modem_keys(pf, defaults, nullptr) != 0) return -1;
  if (altus->modem_templates_arr == nullptr) altus->modem_templates_arr = newarr(nullptr);
  setarr(altus->modem_templates_arr, "default", defaults);
  Pf *tmpls = nullptr;
  if (parse_param(pf, "modem_templates", P_ARR, 0, &tmpls) != 0) {
    elog_log(0, "parse_pf: parse_param(modem_templates) error.\n");
    return -1;
  }
  std::unique_ptr<Pf, void (*)(Pf *)> hold(tmpls, pffree);
  Tbl *keys = tmpls ? pfkeys(tmpls) : nullptr;
  std::unique_ptr<Tbl, void (*)(Tbl *)> hold_keys(keys, [](Tbl *t) { freetbl(t, nullptr); });
  for (long i = 0; i < maxtbl(keys); i++) {
    const char *name = static_cast<const char *>(gettbl(keys, i));
    void *node = nullptr;
    if (pfget(tmpls, name, &node) != PFARR) {
      elog_log(0, "parse_pf: parse_param(modem_templates) error.\n");
      return -1;
    }
    std::unique_ptr<Modem, void (*)(Modem *)> m(modem_copy(defaults), modem_free);
    set_text(m->name, name);
    if (read_modem_keys(static_cast<Pf *>(node), m.get(), name) != 0) return -1;
    Modem *old = static_cast<Modem *>(setarr(altus->modem_templates_arr, name, m.release()));
    if (old != defaults) modem_free(old);
  }
  if (altus->modems_array == nullptr) altus->modems_array = newarr(nullptr);
  Tbl *lines = nullptr;
  if (parse_param(pf, "modems", P_TBL, 1, &lines) != 0) {
    elog_log(0, "parse_pf: parse_param(modems) error.\n");
    return -1;
  }
  std::unique_ptr<Tbl, void (*)(Tbl *)> hold_lines(lines, [](Tbl *t) { freetbl(t, free); });
  for (long i = 0; i < maxtbl(lines); i++) {
    std::string line(static_cast<const char *>(gettbl(lines, i)));
    std::vector<std::string> w = words_of(line.c_str());
    if (w.empty() || w[0][0] == '#') continue;
    line = trimmed(line);
    if (w.size() != 7) {
      elog_log(0, "parse_pf: cannot parse modems line '%s'\n", line.c_str());
      return -1;
    }
    if (getarr(altus->modems_array, w[0].c_str()) != nullptr) {
      elog_log(0, "parse_pf: cannot list modems name '%s' more than once\n", w[0].c_str());
      return -1;
    }
    Modem *m = parse_modem(altus, w[0].c_str(), w[1].c_str(), w[2].c_str(), w[3].c_str(),
                           w[4].c_str(), w[5].c_str(), w[6].c_str());
    if (m == nullptr) {
      elog_log(0, "parse_pf: parse_modem(%s) error.\n", w[0].c_str());
      return -1;
    }
    setarr(altus->modems_array, w[0].c_str(), m);
  }
  return 0;
}

// ---- dataloggers ----

int parse_netstachanloc(const AltusDatalogger *dl, AltusChan *ch) {
  const char *name = ch->netstachanloc;
  std::string p[4];
  split_netstachanloc(name, p[0], p[1], p[2], p[3]);
  if (p[0].empty()) {
    elog_log(0, "parse_netstachanloc: Need net code in '%s'.\n", name);
    return -1;
  }
  if (p[1].empty()) {
    elog_log(0, "parse_netstachanloc: Need sta code in '%s'.\n", name);
    return -1;
  }
  if (p[2].empty()) {
    elog_log(0, "parse_netstachanloc: Need chan code in '%s'.\n", name);
    return -1;
  }
  if (p[0] == "$DLNET") {
    p[0] = dl ? dl->dlnet : "";
  } else if (p[0][0] == '$') {
    elog_log(0, "parse_netstachanloc: Illegal net substitution code in '%s'.\n", name);
    return -1;
  } else if (p[0].size() > 2) {
    elog_log(
        0,
        "parse_netstachanloc: Illegal net code in '%s' (code can be no more than 2 characters).\n",
        name);
    return -1;
  }
  if (p[1] == "$DLSTA") {
    p[1] = dl ? dl->dlsta : "";
  } else if (p[1][0] == '$') {
    elog_log(0, "parse_netstachanloc: Illegal sta substitution code in '%s'.\n", name);
    return -1;
  } else if (p[1].size() > 5) {
    elog_log(
        0,
        "parse_netstachanloc: Illegal sta code in '%s' (code can be no more than 5 characters).\n",
        name);
    return -1;
  }
  if (p[2].size() > 3) {
    elog_log(
        0,
        "parse_netstachanloc: Illegal chan code in '%s' (code can be no more than 3 characters).\n",
        name);
    return -1;
  }
  if (p[3].size() > 2) {
    elog_log(
        0,
        "parse_netstachanloc: Illegal loc code in '%s' (code can be no more than 2 characters).\n",
        name);
    return -1;
  }
  // A substituted code comes from the datalogger line, which keeps it within these fields.
  if (p[0].size() >= sizeof ch->net || p[1].size() >= sizeof ch->sta) {
    elog_log(
        0,
        "parse_netstachanloc: Illegal net code in '%s' (code can be no more than 2 characters).\n",
        name);
    return -1;
  }
  std::string out = p[0] + "_" + p[1] + "_" + p[2];
  if (!p[3].empty()) out += "_" + p[3];
  kessaro_copytext(ch->net, p[0].c_str());
  kessaro_copytext(ch->sta, p[1].c_str());
  kessaro_copytext(ch->chan, p[2].c_str());
  kessaro_copytext(ch->loc, p[3].c_str());
  kessaro_copytext(ch->netstachanloc, out.c_str());
  return 0;
}

// The calibration words of a pchan_map entry (from the third on): "$DB", or calib
// ("$DATA" or a number), calper and segtype code. 0, or -1 (logged).
static int read_calib_words(const std::vector<std::string> &w, const char *value, int pchan,
                            AltusChan *ev) {
  if (w[2] == "$DB") {
    if (w.size() > 3) {
      elog_log(0, "parse_channelparams: Too many arguments in '%s' for pchan %d.\n", value, pchan);
      return -1;
    }
    ev->getcalib = 0;
  } else {
    double calper = 0.0;
    if (w.size() != 5 || !to_double(w[3], &calper)) {
      elog_log(0, "parse_channelparams: Wrong number of arguments in '%s' for pchan %d.\n", value,
               pchan);
      return -1;
    }
    if (w[4].size() > 1) {
      elog_log(
          0,
          "parse_channelparams: Illegal segtype code in '%s' for pchan %d (code can be no more "
          "than 1 character).\n",
          value, pchan);
      return -1;
    }
    if (w[2] == "$DATA") {
      ev->getcalib = 1;
    } else {
      double calib = 0.0;
      if (!to_double(w[2], &calib)) {
        elog_log(0, "parse_channelparams: Illegal calib in '%s' for pchan %d.\n", value, pchan);
        return -1;
      }
      ev->getcalib = 2;
      ev->calib = calib;
    }
    ev->calper = calper;
    kessaro_copytext(ev->segtype, w[4].c_str());
  }
  return 0;
}

// One pchan_map entry into the table of event (first half) and stream channels.
static int read_pchan_entry(const Arr *use, const char *key, AltusChan *table) {
  int pchan = -1;
  if (!to_int(key, &pchan) || pchan < 0 || pchan >= ALTUS_MAXCHAN) {
    elog_log(0, "parse_channelparams: Illegal pchan = %s.\n", key);
    return -1;
  }
  const char *value = static_cast<const char *>(getarr(use, key));
  std::vector<std::string> w = words_of(value ? value : "");
  if (w.size() < 3) {
    elog_log(0, "parse_channelparams: Need calib in '%s' for pchan %d.\n", value, pchan);
    return -1;
  }
  AltusChan &ev = table[pchan];
  AltusChan &st = table[ALTUS_MAXCHAN + pchan];
  if (w[0].size() >= sizeof ev.netstachanloc || w[1].size() >= sizeof st.netstachanloc) {
    elog_log(0, "parse_channelparams: Channel name too long in '%s' for pchan %d.\n", value, pchan);
    return -1;
  }
  kessaro_copytext(ev.netstachanloc, w[0].c_str());
  kessaro_copytext(st.netstachanloc, w[1].c_str());
  if (read_calib_words(w, value, pchan, &ev) != 0) return -1;
  ev.outputthischan = 1;
  snprintf(ev.channel_name, sizeof ev.channel_name, "dataev:%d", pchan);
  st.getcalib = ev.getcalib;
  st.calib = ev.calib;
  st.calper = ev.calper;
  kessaro_copytext(st.segtype, ev.segtype);
  st.outputthischan = 1;
  snprintf(st.channel_name, sizeof st.channel_name, "datast:%d", pchan);
  return 0;
}

int parse_channelparams(Pf *pf, AltusDatalogger *dl, int required) {
  Arr *map = nullptr;
  if (parse_param(pf, "pchan_map", P_ARRSTR, required, &map) != 0) {
    elog_log(0, "parse_channelparams: parse_param(pchan_map) error.\n");
    return -1;
  }
  std::unique_ptr<Arr, void (*)(Arr *)> fresh(map, [](Arr *a) { freearr(a, free); });
  const Arr *use = map ? map : dl->pchans_arr;
  auto table = std::make_unique<AltusChan[]>(2 * ALTUS_MAXCHAN);
  Tbl *keys = use ? keysarr(use) : nullptr;
  std::unique_ptr<Tbl, void (*)(Tbl *)> hold_keys(keys, [](Tbl *t) { freetbl(t, nullptr); });
  for (long i = 0; i < maxtbl(keys); i++) {
    if (read_pchan_entry(use, static_cast<const char *>(gettbl(keys, i)), table.get()) != 0)
      return -1;
  }
  for (int mode = 0; mode < 2; mode++) {
    for (int pchan = 0; pchan < ALTUS_MAXCHAN; pchan++)
      dl->data_chan[mode][pchan] = table[mode * ALTUS_MAXCHAN + pchan];
  }
  if (map != nullptr) {
    freearr(dl->pchans_arr, free);
    dl->pchans_arr = fresh.release();
  }
  return 0;
}

int parse_acqparams(Pf *pf, Kessaro *altus, AltusDatalogger *dl, int required) {
  Tbl *list = nullptr;
  if (parse_param(pf, "acq_matrix", P_TBL, required, &list) != 0) {
    elog_log(0, "parse_acqparams: parse_param(acq_matrix) error.\n");
    return -1;
  }
  std::unique_ptr<Tbl, void (*)(Tbl *)> fresh(list, [](Tbl *t) { freetbl(t, free); });
  const Tbl *use = list ? list : dl->acq_matrix_tbl;
  PacketDef *pdefs[2][ALTUS_MAXCHAN] = {};
  int pchan = 0;
  for (long i = 0; i < maxtbl(use); i++) {
    const char *line = static_cast<const char *>(gettbl(use, i));
    std::vector<std::string> w = words_of(line ? line : "");
    if (w.empty()) continue;
    if (pchan >= ALTUS_MAXCHAN) {
      elog_log(0, "parse_acqparams: Too many pchans for acq_matrix at line '%s'.\n", line);
      return -1;
    }
    if (w.size() != 2) {
      elog_log(0, "parse_acqparams: Wrong number of modes for acq_matrix line '%s'.\n", line);
      return -1;
    }
    for (int mode = 0; mode < 2; mode++) {
      if (w[mode] == "0") continue;
      PacketDef *def = static_cast<PacketDef *>(getarr(altus->packet_defs_arr, w[mode].c_str()));
      if (def == nullptr) {
        elog_log(0, "parse_acqparams: Cannot find packet_def '%s' for acq_matrix at line '%s'.\n",
                 w[mode].c_str(), line);
        return -1;
      }
      if (def->orbtag == nullptr) {
        elog_log(0,
                 "parse_acqparams: packet_def '%s' has an undefined orbtag for acq_matrix at line "
                 "'%s'.\n",
                 w[mode].c_str(), line);
        return -1;
      }
      pdefs[mode][pchan] = def;
    }
    pchan++;
  }
  for (int mode = 0; mode < 2; mode++) {
    for (int p = 0; p < ALTUS_MAXCHAN; p++) dl->data_chan[mode][p].pdef = pdefs[mode][p];
  }
  if (list != nullptr) {
    freetbl(dl->acq_matrix_tbl, free);
    dl->acq_matrix_tbl = fresh.release();
  }
  return 0;
}

int setup_output_channels(Kessaro *altus, AltusDatalogger *dl) {
  static const char *const modes[] = {"event", "stream"};
  for (int mode = 0; mode < 2; mode++) {
    for (int pchan = 0; pchan < ALTUS_MAXCHAN; pchan++) {
      AltusChan *ch = &dl->data_chan[mode][pchan];
      if (ch->pdef == nullptr) {
        ch->outputthischan = 0;
        continue;
      }
      std::string before = ch->netstachanloc;
      if (parse_netstachanloc(dl, ch) != 0) {
        elog_log(0, "setup_output_channels: netstachanloc parsing error in '%s' for pchan %d.\n",
                 before.c_str(), pchan);
        return -1;
      }
      const char *missing = ch->net[0] == '\0'    ? "net"
                            : ch->sta[0] == '\0'  ? "sta"
                            : ch->chan[0] == '\0' ? "chan"
                                                  : nullptr;
      if (missing != nullptr) {
        elog_log(0,
                 "setup_output_channels: No %s code for '%s' in %s mode output definition for "
                 "pchan %d.\n",
                 missing, ch->netstachanloc, modes[mode], pchan);
        return -1;
      }
      snprintf(ch->srcname, sizeof ch->srcname, "%s/GENC", ch->netstachanloc);
    }
  }
  std::map<const PacketDef *, PacketDef *> shared;
  for (int mode = 0; mode < 2; mode++) {
    for (int pchan = 0; pchan < ALTUS_MAXCHAN; pchan++) {
      AltusChan *ch = &dl->data_chan[mode][pchan];
      if (!ch->outputthischan || ch->pdef == nullptr) continue;
      if (ch->getcalib == 0 && altus->dbname == nullptr) {
        elog_log(
            0,
            "setup_output_channels: A calib database is needed for %s but none was specified in "
            "the command line.\n",
            dl->target_name ? dl->target_name : "");
        return -1;
      }
      const PacketDef *orig = ch->pdef;
      if (orig->orbtag != nullptr)
        setarr(altus->data_orbtags_arr, orig->orbtag->orbtag, orig->orbtag);
      if (orig->multiplexed) {
        auto it = shared.find(orig);
        if (it == shared.end()) it = shared.emplace(orig, new PacketDef(*orig)).first;
        ch->pdef = it->second;
      } else {
        ch->pdef = new PacketDef(*orig);
      }
    }
  }
  return 0;
}

// Frees a datalogger with the packet-definition copies its channels hold (those that are
// not the definitions of packet_defs_arr).
static void free_datalogger(Kessaro *altus, AltusDatalogger *dl) {
  if (dl == nullptr) return;
  std::set<PacketDef *> copies;
  for (auto &mode : dl->data_chan) {
    for (auto &ch : mode) {
      if (ch.pdef == nullptr) continue;
      if (altus->packet_defs_arr != nullptr &&
          getarr(altus->packet_defs_arr, ch.pdef->name) == ch.pdef)
        continue;
      copies.insert(ch.pdef);
    }
  }
  for (PacketDef *d : copies) delete d;
  altusdatalogger_free(dl);
}

namespace {
// One datalogger section of the parameter file: the defaults (every key required) or a
// template.
struct DataloggerKeys {
  Pf *pf;
  const char *tmpl;  // the template's name; none for the defaults
  int req;           // keys required
  std::string who;   // the section in messages
  int fail(const char *key) const {
    elog_log(0, "parse_pf: parse_param(%s->%s) error.\n", who.c_str(), key);
    return -1;
  }
};
}  // namespace

// The stream time-out: 0 (none) or 7..32767.
static void clamp_stream_timeout(AltusDatalogger *dl) {
  if (dl->stream_timeout < 1)
    dl->stream_timeout = 0;
  else if (dl->stream_timeout < 7)
    dl->stream_timeout = 7;
  else if (dl->stream_timeout > 32767)
    dl->stream_timeout = 32767;
}

// The dial-in command and the switches and buffer sizes.
static int read_switch_keys(const DataloggerKeys &k, AltusDatalogger *dl) {
  char *text = nullptr;
  if (parse_param(k.pf, "dialin_cmd", P_STR, k.req, &text) != 0) return k.fail("dialin_cmd");
  if (text != nullptr && strcmp(text, "getevents") != 0 && strcmp(text, "status") != 0 &&
      strcmp(text, "strstart") != 0) {
    char where[300];
    pfwhere(k.pf, "dialin_cmd", where, sizeof where);
    elog_log(0, "parse_pf: %s: %s->dialin_cmd '%s' is none of getevents, status, strstart.\n",
             where, k.who.c_str(), text);
    free(text);
    return -1;
  }
  if (text != nullptr) {
    set_text(dl->dialin_cmd, text);
    free(text);
  }
  struct IntKey {
    const char *key;
    int kind;
    int *field;
    PfRange range;  // counts and sizes: what the key may hold
  };
  constexpr PfRange kAny = {-HUGE_VAL, HUGE_VAL};  // flags; the buffers bounded later
  int order = dl->order_output_data;
  const IntKey first[] = {
      {"accept_pocs_from_dialin", P_BOOL, &dl->accept_pocs_from_dialin, kAny},
      {"dialout_if_getevents_incomplete", P_BOOL, &dl->dialout_if_getevents_incomplete, kAny},
      {"auto_stream", P_BOOL, &dl->auto_stream, kAny},
      {"auto_delete", P_BOOL, &dl->auto_delete, kAny},
      {"auto_getevents", P_BOOL, &dl->auto_getevents, kAny},
      {"auto_getevents_at_startup", P_BOOL, &dl->auto_getevents_at_startup, kAny},
      {"save_evt_files", P_BOOL, &dl->save_evt_files, kAny},
      {"callmode_on_close", P_BOOL, &dl->callmode_on_close, kAny},
      {"max_strbuf", P_LINT, &dl->max_strbuf, kAny},
      {"altus_stream_buffer_size", P_LINT, &dl->altus_stream_buffer_size, {0, 65535}},
      {"max_retran", P_LINT, &dl->max_strretranbuf, kAny},
      {"order_output_data", P_BOOL, &order, kAny},
  };
  for (const IntKey &ik : first) {
    if (parse_param_range(k.pf, ik.key, ik.kind, k.req, ik.field, ik.range) != 0)
      return k.fail(ik.key);
  }
  dl->order_output_data = order;
  return 0;
}

// The waits and intervals, none negative, and the stream time-out.
static int read_interval_keys(const DataloggerKeys &k, AltusDatalogger *dl) {
  double d = dl->tmpfile_maxwaittime;
  if (parse_param(k.pf, "evtfile_maxwaittime", P_DBL, k.req, &d) != 0)
    return k.fail("evtfile_maxwaittime");
  dl->tmpfile_maxwaittime = d;
  d = dl->request_params_interval;
  if (parse_param(k.pf, "request_params_interval", P_DBL, k.req, &d) != 0)
    return k.fail("request_params_interval");
  dl->request_params_interval = d;
  if (parse_param_range(k.pf, "samprate", P_LINT, k.req, &dl->request_samprate, {1, 2000}) != 0)
    return k.fail("samprate");
  if (parse_param(k.pf, "auto_getevents_window", P_DBL, k.req, &dl->auto_getevents_window) != 0)
    return k.fail("auto_getevents_window");
  if (refuse_negative(k.who, "evtfile_maxwaittime", dl->tmpfile_maxwaittime, k.pf) != 0 ||
      refuse_negative(k.who, "request_params_interval", dl->request_params_interval, k.pf) != 0 ||
      refuse_negative(k.who, "auto_getevents_window", dl->auto_getevents_window, k.pf) != 0)
    return -1;
  if (parse_param(k.pf, "altus_stream_timeout", P_LINT, k.req, &dl->stream_timeout) != 0)
    return k.fail("stream_timeout");
  clamp_stream_timeout(dl);
  return 0;
}

// The block-mode password, at most 8 characters.
static int read_password(const DataloggerKeys &k, AltusDatalogger *dl) {
  char *text = nullptr;
  if (parse_param(k.pf, "password", P_STR, 0, &text) != 0) return k.fail("password");
  if (text != nullptr) {
    std::string pw(text);
    free(text);
    if (pw.size() > 8) {
      if (k.tmpl)
        elog_log(0, "parse_pf: datalogger_templates(%s)->password error: '%s' too long.\n", k.tmpl,
                 pw.c_str());
      else
        elog_log(0, "parse_pf: datalogger_defaults->password error: '%s' too long.\n", pw.c_str());
      return -1;
    }
    kessaro_copytext(dl->password, pw.c_str());
  }
  return 0;
}

// The functional-test count, the stream sequence check and the debug switches.
static int read_debug_keys(const DataloggerKeys &k, AltusDatalogger *dl) {
  int v_strseq = dl->v_strseq;
  int debug_data = dl->debug_data, debug_serial = dl->debug_serial;
  double d = 0.0;
  if (parse_param(k.pf, "test", P_LINT, 0, &dl->test) != 0) return k.fail("test");
  if (parse_param(k.pf, "v_strseq", P_BOOL, k.req, &v_strseq) != 0) return k.fail("v_strseq");
  dl->v_strseq = v_strseq;
  d = dl->v_strseq_timeout;
  if (parse_param(k.pf, "v_strseq_timeout", P_DBL, k.req, &d) != 0)
    return k.fail("v_strseq_timeout");
  dl->v_strseq_timeout = d;
  if (parse_param(k.pf, "debug_data", P_LINT, k.req, &debug_data) != 0) return k.fail("debug_data");
  dl->debug_data = debug_data;
  d = dl->debug_data_timeout;
  if (parse_param(k.pf, "debug_data_timeout", P_DBL, k.req, &d) != 0)
    return k.fail("debug_data_timeout");
  dl->debug_data_timeout = d;
  if (parse_param(k.pf, "debug_serial", P_LINT, k.req, &debug_serial) != 0)
    return k.fail("debug_serial");
  dl->debug_serial = debug_serial;
  d = dl->debug_serial_timeout;
  if (parse_param(k.pf, "debug_serial_timeout", P_DBL, k.req, &d) != 0)
    return k.fail("debug_serial_timeout");
  dl->debug_serial_timeout = d;
  if (parse_param(k.pf, "log_data_errors", P_LINT, k.req, &dl->log_data_errors) != 0)
    return k.fail("log_data_errors");
  return 0;
}

// The channel and acquisition matrices (blockmode_unhang read before them for a template,
// after them for the defaults).
static int read_matrix_keys(const DataloggerKeys &k, Kessaro *altus, AltusDatalogger *dl) {
  if (k.tmpl != nullptr &&
      parse_param(k.pf, "blockmode_unhang", P_LINT, 0, &dl->blockmode_unhang) != 0)
    return k.fail("blockmode_unhang");
  if (parse_channelparams(k.pf, dl, k.req) != 0) {
    if (k.tmpl)
      elog_log(0, "parse_pf: parse_channelparams(datalogger_templates(%s)->acq_matrix) error.\n",
               k.tmpl);
    else
      elog_log(0, "parse_pf: parse_channelparams(datalogger_defaults->acq_matrix) error.\n");
    return -1;
  }
  if (parse_acqparams(k.pf, altus, dl, k.req) != 0) {
    if (k.tmpl)
      elog_log(0, "parse_pf: parse_acqparams(datalogger_templates(%s)->acq_matrix) error.\n",
               k.tmpl);
    else
      elog_log(0, "parse_pf: parse_acqparams(datalogger_defaults->acq_matrix) error.\n");
    return -1;
  }
  if (k.tmpl == nullptr &&
      parse_param(k.pf, "blockmode_unhang", P_LINT, 0, &dl->blockmode_unhang) != 0)
    return k.fail("blockmode_unhang");
  return 0;
}

// Reads the datalogger keys of `pf` into `dl`; `tmpl` none for the defaults.
static int read_datalogger_keys(Pf *pf, Kessaro *altus, AltusDatalogger *dl, const char *tmpl) {
  const DataloggerKeys k{
      pf, tmpl, tmpl == nullptr,
      tmpl ? string_printf("datalogger_templates(%s)", tmpl) : std::string("datalogger_defaults")};
  if (read_switch_keys(k, dl) != 0 || read_interval_keys(k, dl) != 0 || read_password(k, dl) != 0 ||
      read_debug_keys(k, dl) != 0 || read_matrix_keys(k, altus, dl) != 0)
    return -1;
  return 0;
}

namespace {
struct ModelLetter {
  char letter;
  const char *model;
  const char *designator;
};
const ModelLetter model_letters[] = {
    {'R', "ROCK", "RK"},      {'E', "Etna", "ET"},    {'K', "K2", "K2"},
    {'W', "MtWhitney", "MW"}, {'V', "Everest", "EV"}, {'L', "Makalu", "ML"},
};
}  // namespace

namespace {
// What a dataloggers line names, checked against the tables read so far.
struct DataloggerLine {
  std::string serial;  // model letter and number
  const ModelLetter *ml = nullptr;
  std::string digits;  // the number as written
  int number = 0;
  std::string net, sta, target;
  const AltusDatalogger *tmpl = nullptr;
};
}  // namespace

// Reads the words of one line (padded to 11): 0, or -1 (logged).
static int read_datalogger_words(Kessaro *altus, const std::string &line,
                                 const std::vector<std::string> &w, DataloggerLine *d) {
  d->serial = w[0];
  for (const ModelLetter &m : model_letters) {
    if (d->serial[0] == m.letter) d->ml = &m;
  }
  if (d->ml == nullptr) {
    elog_log(0, "parse_pf: Unrecognized model character in '%s'\n", d->serial.c_str());
    return -1;
  }
  d->digits = d->serial.substr(1);
  bool ok = !d->digits.empty() && d->digits.size() < sizeof AltusDatalogger{}.dlsta;
  for (char c : d->digits) ok = ok && isdigit(static_cast<unsigned char>(c));
  if (!ok || !to_int(d->digits, &d->number)) {
    elog_log(
        0,
        "parse_pf: Unrecognized model serial number in '%s' (model designator should be only one "
        "character)\n",
        d->serial.c_str());
    return -1;
  }
  d->net = w[2] == "-" ? d->ml->designator : w[2];
  d->sta = w[3] == "-" ? d->digits : w[3];
  d->target = w[1] == "-" ? d->net + "_" + d->sta : w[1];
  // The codes are substituted into channel names, whose fields hold at most this much.
  if (d->net.size() >= sizeof AltusChan{}.net || d->sta.size() >= sizeof AltusChan{}.sta) {
    elog_log(0, "parse_pf: cannot parse dataloggers line '%s'\n", line.c_str());
    return -1;
  }
  d->tmpl =
      static_cast<const AltusDatalogger *>(getarr(altus->datalogger_templates_arr, w[7].c_str()));
  if (d->tmpl == nullptr) {
    elog_log(0, "parse_pf: cannot find datalogger template '%s' for datalogger serial '%s'\n",
             w[7].c_str(), d->serial.c_str());
    return -1;
  }
  if (getarr(altus->dlserials_array, d->serial.c_str()) != nullptr) {
    elog_log(0, "parse_pf: cannot list dataloggers serial '%s' more than once\n",
             d->serial.c_str());
    return -1;
  }
  if (getarr(altus->dltargets_array, d->target.c_str()) != nullptr) {
    elog_log(0, "parse_pf: cannot list dataloggers target '%s' more than once\n",
             d->target.c_str());
    return -1;
  }
  return 0;
}

// The link of an "auto" line, a TCP client to the line's address named "m_<target>";
// *pattern becomes its name. Lines with POC words (or without an address) keep them.
static int make_auto_link(Kessaro *altus, AltusDatalogger *dl, const std::vector<std::string> &w,
                          size_t nw, const std::string &target, std::string *pattern) {
  const std::string name = "m_" + target;
  if (getarr(altus->modems_array, name.c_str()) != nullptr) {
    elog_log(0, "parse_pf: cannot list modems name '%s' more than once\n", name.c_str());
    return -1;
  }
  const char *link_tmpl = w[8] == "-" ? "default" : w[8].c_str();
  Modem *m =
      parse_modem(altus, name.c_str(), "tcpclient", "none", "no", "yes", link_tmpl, w[5].c_str());
  if (m == nullptr) {
    elog_log(0, "parse_pf: parse_modem(%s) error.\n", name.c_str());
    return -1;
  }
  setarr(altus->modems_array, name.c_str(), m);
  dl->single_modem = m;
  *pattern = name;
  if (nw == 11 || m->ipaddr == nullptr) {
    if (w[9].empty()) {
      elog_log(0, "parse_pf: Need poc_name for %s\n", target.c_str());
      return -1;
    }
    if (w[10].empty()) {
      elog_log(0, "parse_pf: Need poc_value for %s\n", target.c_str());
      return -1;
    }
    set_text(dl->poc_name, w[9].c_str());
    set_text(dl->poc_value, w[10].c_str());
  }
  return 0;
}

// The links matching `pattern` that a dial-out datalogger may use: 0, or -1 for none.
static int attach_dialout_modems(Kessaro *altus, AltusDatalogger *dl, const std::string &pattern,
                                 const std::string &serial) {
  Tbl *links = greparr(pattern.c_str(), altus->modems_array);
  if (links == nullptr) {
    elog_log(0, "parse_pf: greparr(%s) error.\n", pattern.c_str());
    return -1;
  }
  if (maxtbl(links) == 0) {
    freetbl(links, nullptr);
    elog_log(0, "parse_pf: no dialout modems %s defined for %s.\n", pattern.c_str(),
             serial.c_str());
    return -1;
  }
  freetbl(dl->dialout_modems, nullptr);
  dl->dialout_modems = links;
  set_text(dl->dialout_modem, pattern.c_str());
  return 0;
}

// The stream buffers within their bounds (the reorder buffer allocated) and the stream
// time-out 0 or 7..32767.
static int bound_stream_buffers(AltusDatalogger *dl, const std::string &target) {
  if (dl->max_strretranbuf > ALTUS_MAX_STRRETRAN) dl->max_strretranbuf = ALTUS_MAX_STRRETRAN;
  if (dl->max_strretranbuf < 0) dl->max_strretranbuf = 0;
  if (dl->max_strbuf < 1) {
    dl->max_strbuf = 0;
    dl->strbuf = nullptr;
    dl->order_output_data = 0;
  } else {
    if (dl->max_strbuf > kMaxStrbuf) {
      elog_log(0, "parse_pf: max_strbuf %d too large for %s (at most %d).\n", dl->max_strbuf,
               target.c_str(), kMaxStrbuf);
      return -1;
    }
    dl->strbuf = static_cast<AltusStrbufEntry *>(calloc(dl->max_strbuf, sizeof(AltusStrbufEntry)));
    if (dl->strbuf == nullptr) {
      elog_log(0, "parse_pf: malloc(datalogger) error.\n");
      return -1;
    }
  }
  clamp_stream_timeout(dl);
  return 0;
}

// One line of the dataloggers table, already split into words.
static int read_datalogger_line(Kessaro *altus, const std::string &line,
                                std::vector<std::string> w) {
  const size_t nw = w.size();
  const bool is_auto = nw >= 5 && w[4] == "auto";
  if (!(nw == 8 || nw == 11 || (nw == 9 && is_auto))) {
    elog_log(0, "parse_pf: cannot parse dataloggers line '%s'\n", line.c_str());
    return -1;
  }
  w.resize(11);
  if (nw < 9) w[8] = "default";
  DataloggerLine d;
  if (read_datalogger_words(altus, line, w, &d) != 0) return -1;
  auto release = [altus](AltusDatalogger *p) { free_datalogger(altus, p); };
  std::unique_ptr<AltusDatalogger, decltype(release)> dl(altusdatalogger_copy(d.tmpl), release);
  dl->userdata = altus;
  dl->lasttime = 0.0;
  set_text(dl->target_name, d.target.c_str());
  kessaro_copytext(dl->dlnet, d.net.c_str());
  kessaro_copytext(dl->dlsta, d.sta.c_str());
  dl->any_serial = 0;
  dl->serial = d.number;
  dl->any_model = 0;
  kessaro_copytext(dl->model, d.ml->model);
  set_text(dl->serial_name, d.serial.c_str());
  dl->dialin = tobool(w[6].c_str());
  std::string pattern = w[4];
  dl->dialout = is_auto ? 1 : (pattern == "-" || !tobool(pattern.c_str())) ? 0 : 1;
  set_text(dl->phone_number, w[5].c_str());
  if (is_auto && make_auto_link(altus, dl.get(), w, nw, d.target, &pattern) != 0) return -1;
  if (dl->dialout && attach_dialout_modems(altus, dl.get(), pattern, d.serial) != 0) return -1;
  if (bound_stream_buffers(dl.get(), d.target) != 0) return -1;
  if (setup_output_channels(altus, dl.get()) != 0) {
    elog_log(0, "parse_pf: setup_output_channel() error.\n");
    return -1;
  }
  AltusDatalogger *done = dl.release();
  setarr(altus->dlserials_array, done->serial_name, done);
  setarr(altus->dltargets_array, done->target_name, done);
  return 0;
}

static int read_dataloggers(Pf *pf, Kessaro *altus) {
  AltusDatalogger *defaults = &altus->datalogger_defaults;
  defaults->output_packet_twin = 1.0;
  if (read_datalogger_keys(pf, altus, defaults, nullptr) != 0) return -1;
  if (altus->datalogger_templates_arr == nullptr) altus->datalogger_templates_arr = newarr(nullptr);
  setarr(altus->datalogger_templates_arr, "default", defaults);
  Pf *tmpls = nullptr;
  if (parse_param(pf, "datalogger_templates", P_ARR, 0, &tmpls) != 0) {
    elog_log(0, "parse_pf: parse_param(datalogger_templates) error.\n");
    return -1;
  }
  std::unique_ptr<Pf, void (*)(Pf *)> hold(tmpls, pffree);
  Tbl *keys = tmpls ? pfkeys(tmpls) : nullptr;
  std::unique_ptr<Tbl, void (*)(Tbl *)> hold_keys(keys, [](Tbl *t) { freetbl(t, nullptr); });
  auto release = [altus](AltusDatalogger *d) { free_datalogger(altus, d); };
  for (long i = 0; i < maxtbl(keys); i++) {
    const char *name = static_cast<const char *>(gettbl(keys, i));
    void *node = nullptr;
    if (pfget(tmpls, name, &node) != PFARR) {
      elog_log(0, "parse_pf: parse_param(datalogger_templates) error.\n");
      return -1;
    }
    std::unique_ptr<AltusDatalogger, decltype(release)> dl(altusdatalogger_copy(defaults), release);
    if (getarr(altus->datalogger_templates_arr, name) != nullptr)
      elog_log(0,
               "parse_pf: WARNING - repeated datalogger template name '%s' will overwrite previous "
               "definition.\n",
               name);
    if (read_datalogger_keys(static_cast<Pf *>(node), altus, dl.get(), name) != 0) return -1;
    auto *old =
        static_cast<AltusDatalogger *>(setarr(altus->datalogger_templates_arr, name, dl.release()));
    if (old != defaults) free_datalogger(altus, old);
  }
  if (altus->dlserials_array == nullptr) altus->dlserials_array = newarr(nullptr);
  if (altus->dltargets_array == nullptr) altus->dltargets_array = newarr(nullptr);
  if (altus->data_orbtags_arr == nullptr) altus->data_orbtags_arr = newarr(nullptr);
  Tbl *lines = nullptr;
  if (parse_param(pf, "dataloggers", P_TBL, 1, &lines) != 0) {
    elog_log(0, "parse_pf: parse_param(dataloggers) error.\n");
    return -1;
  }
  std::unique_ptr<Tbl, void (*)(Tbl *)> hold_lines(lines, [](Tbl *t) { freetbl(t, free); });
  for (long i = 0; i < maxtbl(lines); i++) {
    const std::string line = trimmed(static_cast<const char *>(gettbl(lines, i)));
    if (line.empty() || line[0] == '#') continue;
    if (read_datalogger_line(altus, line, words_of(line.c_str())) != 0) return -1;
  }
  return 0;
}

// ---- the whole file ----

int parse_pf_tree(Pf *pf, Kessaro *altus) {
  altus->pf = pf;
  if (read_program_keys(pf, altus) != 0) return -1;
  if (read_packet_defs(pf, altus) != 0) return -1;
  if (read_links(pf, altus) != 0) return -1;
  if (read_dataloggers(pf, altus) != 0) return -1;
  if (altus->repackage_tbl == nullptr) altus->repackage_tbl = newtbl(0);
  return 0;
}

int parse_pf_pocds(Kessaro *altus) {
  Tbl *lines = nullptr;
  if (parse_param(altus->pf, "pocds", P_TBL, 0, &lines) != 0) {
    elog_log(0, "parse_pf: parse_param(pocds) error.\n");
    return -1;
  }
  std::unique_ptr<Tbl, void (*)(Tbl *)> hold_lines(lines, [](Tbl *t) { freetbl(t, free); });
  if (altus->pocds_tbl == nullptr) altus->pocds_tbl = newtbl(0);
  for (long i = 0; i < maxtbl(lines); i++) {
    const std::string line = trimmed(static_cast<const char *>(gettbl(lines, i)));
    std::vector<std::string> w = words_of(line.c_str());
    if (w.empty()) continue;
    if (w.size() != 2) {
      elog_log(0, "parse_pf: Unable to scan '%s' pocds table entry.\n", line.c_str());
      return -1;
    }
    Orbtag *tag = find_orbtag(altus, w[0].c_str());
    if (tag == nullptr) {
      elog_log(0, "parse_pf: Cannot find pocd_orbtag '%s' in command line.\n", w[0].c_str());
      return -1;
    }
    auto *pocd = static_cast<POCDaemon *>(calloc(1, sizeof(POCDaemon)));
    if (pocd == nullptr) {
      elog_log(0, "parse_pf: malloc(POCDaemon) error.\n");
      return -1;
    }
    pocd->altus = altus;
    pocd->label = strdup(string_printf("POC-%s", tag->orbname).c_str());
    pushtbl(altus->pocds_tbl, pocd);
    const int orb = orbopen(tag->orbname, "r&");
    if (orb < 0) {
      elog_log(0, "parse_pf: orbopen(POCDaemon:%s) error.\n", tag->orbname);
      return -1;
    }
    if (orbselect(orb, w[1].c_str()) < 0) {
      orbclose(orb);
      elog_log(0, "parse_pf: orbselect(POCDaemon:%s:%s) error.\n", tag->orbname, w[1].c_str());
      return -1;
    }
    pocd->orb = orbreapthr_new(orb, 1.0, 10);
    if (pocd->orb == nullptr) {
      orbclose(orb);
      elog_log(0, "parse_pf: orbreapthr_new(POCDaemon:%s) error.\n", tag->orbname);
      return -1;
    }
  }
  return 0;
}

int parse_pf(const char *pfname, const char *pfsubs, Kessaro *altus) {
  Pf *pf = nullptr;
  if (pfread(pfname, &pf) != 0) {
    elog_log(0, "parse_pf: pfread(%s) error.\n", pfname);
    return -1;
  }
  Pf *used = pf_substitute(pf, pfsubs);
  if (used == nullptr) {
    pffree(pf);
    elog_log(0, "parse_pf: pf_substitute(%s,%s) error.\n", pfname, pfsubs ? pfsubs : "");
    return -1;
  }
  if (parse_pf_tree(used, altus) != 0 || parse_pf_pocds(altus) != 0) return -1;
  // Keys nothing read are typing slips or settings of another version: said once, here.
  static const char *const left_for_others[] = {"pf_revision_time", nullptr};
  pfwarn_unused(used, "parse_pf", left_for_others);
  return 0;
}

void parse_pf_release(Kessaro *altus) {
  if (altus == nullptr) return;
  for (long i = 0; i < maxtbl(altus->pocds_tbl); i++) {
    auto *pocd = static_cast<POCDaemon *>(gettbl(altus->pocds_tbl, i));
    if (pocd->orb != nullptr) {
      orbreapthr_stop_and_wait(pocd->orb);
      orbreapthr_destroy(pocd->orb);
    }
    free(pocd->label);
    free(pocd);
  }
  freetbl(altus->pocds_tbl, nullptr);
  Tbl *dls = valsarr(altus->dlserials_array);
  for (long i = 0; i < maxtbl(dls); i++)
    free_datalogger(altus, static_cast<AltusDatalogger *>(gettbl(dls, i)));
  freetbl(dls, nullptr);
  Tbl *tmpls = valsarr(altus->datalogger_templates_arr);
  for (long i = 0; i < maxtbl(tmpls); i++) {
    auto *d = static_cast<AltusDatalogger *>(gettbl(tmpls, i));
    if (d != &altus->datalogger_defaults) altusdatalogger_free(d);
  }
  freetbl(tmpls, nullptr);
  altusdatalogger_free_contents(&altus->datalogger_defaults);
  Tbl *links = valsarr(altus->modems_array);
  for (long i = 0; i < maxtbl(links); i++) modem_free(static_cast<Modem *>(gettbl(links, i)));
  freetbl(links, nullptr);
  Tbl *mt = valsarr(altus->modem_templates_arr);
  for (long i = 0; i < maxtbl(mt); i++) {
    auto *m = static_cast<Modem *>(gettbl(mt, i));
    if (m != &altus->modem_defaults) modem_free(m);
  }
  freetbl(mt, nullptr);
  modem_free_texts(&altus->modem_defaults);
  Tbl *defs = valsarr(altus->packet_defs_arr);
  for (long i = 0; i < maxtbl(defs); i++) delete static_cast<PacketDef *>(gettbl(defs, i));
  freetbl(defs, nullptr);
  for (Arr *a : {altus->modems_array, altus->modem_templates_arr, altus->datalogger_templates_arr,
                 altus->dlserials_array, altus->dltargets_array, altus->pending_cmd_arr,
                 altus->orbtags_arr, altus->data_orbtags_arr, altus->packet_defs_arr})
    freearr(a, nullptr);
  freetbl(altus->repackage_tbl, nullptr);
  pffree(altus->pf);
  for (char *t :
       {altus->evt_file_dir, altus->connect_listen_string, altus->connect_response_string,
        altus->cmd_srcname, altus->log_srcname, altus->status_srcname, altus->evtinfo_srcname})
    free(t);
  delete altus;
}
