// parse_pf.cpp - reading muldrin's parameter file into the program record: top-level
// settings, packet definitions, defaults, templates, the dataloggers table (one session
// per row) and the point-of-contact sources. See parse_pf.h.
#include "parse_pf.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "q330_qdp.h"
#include "q330_state.h"
#include "ring/orb.h"
#include "ringsvc/orbreapthr.h"

namespace {

Orbtag *find_orbtag(Muldrin *m, const char *tag) {
  if (!m->orbtags || !tag) return nullptr;
  return static_cast<Orbtag *>(getarr(m->orbtags, tag));
}

char *text_printf(const char *fmt, const char *arg) {
  std::string s(fmt);
  size_t at = s.find("%s");
  s.replace(at, 2, arg ? arg : "");
  return strdup(s.c_str());
}

std::vector<std::string> split_words(const char *text) {
  std::vector<std::string> out;
  std::string w;
  for (const char *p = text; *p; ++p) {
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

// A port number 1-65535 written in decimal digits; -1 otherwise.
int read_port(const char *text) {
  if (!text[0] || !strisnumber(text) || strlen(text) > 5) return -1;
  int v = atoi(text);
  return v >= 1 && v <= 65535 ? v : -1;
}

int fill_field(char *dst, size_t size, const char *text) {
  size_t n = strlen(text);
  if (n >= size) return -1;
  memcpy(dst, text, n + 1);
  return 0;
}

// Step 2: the top-level settings.
int parse_toplevel(Pf *pf, Muldrin *m) {
  if (parse_param(pf, "pfstatusreport_interval", P_LINT, 1, &m->statusreport_interval) < 0) {
    elog_log(0, "parse_pf: parse_param(pfstatusreport_interval) error.\n");
    return -1;
  }
  if (m->statusreport_interval < 0) {
    elog_log(0, "parse_pf: Illegal pfstatusreport_interval %d (an interval cannot be negative).\n",
             m->statusreport_interval);
    return -1;
  }
  if (parse_param(pf, "pfstatusreport_verbosity", P_LINT, 1, &m->statusreport_verbosity) < 0) {
    elog_log(0, "parse_pf: parse_param(pfstatusreport_mode) error.\n");
    return -1;
  }
  if (parse_param(pf, "local_port_base", P_LINT, 1, &m->local_port_base) < 0) {
    elog_log(0, "parse_pf: parse_param(local_port_base) error.\n");
    return -1;
  }
  m->shutdown_wait_time = 20.0;
  if (parse_param_range(pf, "shutdown_wait_time", P_DBL, 0, &m->shutdown_wait_time, {0, 3600}) <
      0) {
    elog_log(0, "parse_pf: parse_param(shutdown_wait_time) error.\n");
    return -1;
  }
  m->mtfifo_write_queue = 0;
  // A count of queued items: 0 is "no limit", a negative one would hold every producer.
  if (parse_param_range(pf, "mtfifo_write_queue", P_LINT, 0, &m->mtfifo_write_queue,
                        {0, 10000000}) < 0) {
    elog_log(0, "parse_pf: parse_param(mtfifo_write_queue) error.\n");
    return -1;
  }
  m->ring_refusal_drop_time = 60.0;
  if (parse_param_range(pf, "ring_refusal_drop_time", P_DBL, 0, &m->ring_refusal_drop_time,
                        {0, 366.0 * 86400.0}) < 0) {
    elog_log(0, "parse_pf: parse_param(ring_refusal_drop_time) error.\n");
    return -1;
  }
  struct Role {
    const char *key;
    Orbtag **orbtag;
    char **srcname;
    const char *srcfmt;
  };
  const Role roles[] = {
      {"cmd_orbtag", &m->cmd, &m->cmd_srcname, "%s/pf/cm"},
      {"log_orbtag", &m->log, &m->log_srcname, "%s/log"},
      {"status_orbtag", &m->status, &m->status_srcname, "%s/pf/st"},
      {"db_orbtag", &m->db, nullptr, nullptr},
      {"config_orbtag", &m->config, &m->config_srcname, "%s/pf/cf"},
  };
  for (const Role &role : roles) {
    char *tag = nullptr;
    if (parse_param(pf, role.key, P_STR, 0, &tag) < 0) {
      elog_log(0, "parse_pf: parse_param(%s) error.\n", role.key);
      return -1;
    }
    if (!tag || strcmp(tag, "none") == 0) {
      free(tag);
      continue;
    }
    Orbtag *o = find_orbtag(m, tag);
    if (!o) {
      elog_log(0, "parse_pf: Cannot find %s '%s' in command line.\n", role.key, tag);
      free(tag);
      return -1;
    }
    free(tag);
    *role.orbtag = o;
    if (role.srcname) {
      free(*role.srcname);
      *role.srcname = text_printf(role.srcfmt, m->target_name);
    }
  }
  return 0;
}

void free_pf_entry(void *p) { pffree(static_cast<Pf *>(p)); }

// Step 3: packet_defs.
int parse_packet_defs(Pf *pf, Muldrin *m) {
  Arr *entries = nullptr;
  if (parse_param(pf, "packet_defs", P_ARRPF, 1, &entries) < 0) {
    elog_log(0, "parse_pf: parse_param(packet_defs) error.\n");
    return -1;
  }
  if (!m->packet_defs) m->packet_defs = newarr(nullptr);
  if (!m->packet_defs) {
    freearr(entries, free_pf_entry);
    elog_log(0, "parse_pf: newarr(packet_defs) error.\n");
    return -1;
  }
  Tbl *keys = keysarr(entries);
  int rc = 0;
  for (long i = 0; rc == 0 && i < maxtbl(keys); i++) {
    const char *name = static_cast<const char *>(gettbl(keys, i));
    Pf *entry = static_cast<Pf *>(getarr(entries, name));
    auto *pd = new (std::nothrow) PacketDef{};
    if (!pd) {
      elog_log(0, "parse_pf: malloc(PacketDef) error.\n");
      rc = -1;
      break;
    }
    char *orbtag = nullptr, *suffix = nullptr, *subcode = nullptr;
    if (fill_field(pd->name, sizeof pd->name, name) < 0) {
      elog_log(0, "parse_pf: packet_defs->%s: name longer than 31 characters.\n", name);
      rc = -1;
    } else if (parse_param(entry, "data_orbtag", P_STR, 1, &orbtag) < 0) {
      elog_log(0, "parse_pf: parse_param(packet_defs->%s->data_orbtag) error.\n", name);
      rc = -1;
    } else if (parse_param(entry, "twin", P_LINT, 1, &pd->twin) < 0) {
      elog_log(0, "parse_pf: parse_param(packet_defs->%s->twin) error.\n", name);
      rc = -1;
    } else if (pd->twin < 1) {
      elog_log(0, "parse_pf: Illegal packet_defs->%s->twin %d (one second or more).\n", name,
               pd->twin);
      rc = -1;
    } else if (parse_param(entry, "multiplexed", P_BOOL, 1, &pd->multiplexed) < 0) {
      elog_log(0, "parse_pf: parse_param(packet_defs->%s->multiplexed) error.\n", name);
      rc = -1;
    } else if (parse_param(entry, "suffix", P_STR, 1, &suffix) < 0) {
      elog_log(0, "parse_pf: parse_param(packet_defs->%s->suffix) error.\n", name);
      rc = -1;
    } else if (parse_param(entry, "subcode", P_STR, 0, &subcode) < 0) {
      elog_log(0, "parse_pf: parse_param(packet_defs->%s->subcode) error.\n", name);
      rc = -1;
    } else if (fill_field(pd->suffix, sizeof pd->suffix, suffix) < 0) {
      elog_log(0, "parse_pf: packet_defs->%s: suffix longer than 31 characters.\n", name);
      rc = -1;
    } else if (subcode && fill_field(pd->subcode, sizeof pd->subcode, subcode) < 0) {
      elog_log(0, "parse_pf: packet_defs->%s: subcode longer than 31 characters.\n", name);
      rc = -1;
    } else if (strcmp(suffix, "GENC") != 0 && strcmp(suffix, "MGENC") != 0) {
      elog_log(0, "parse_pf: packet_defs->%s: suffix '%s' not implemented.\n", name, suffix);
      rc = -1;
    } else if (strcmp(suffix, "GENC") == 0 && pd->multiplexed) {
      elog_log(0, "parse_pf: packet_defs->%s: Cannot multiplex with GENC suffix.\n", name);
      rc = -1;
    } else {
      pd->orbtag = find_orbtag(m, orbtag);
    }
    free(orbtag);
    free(suffix);
    free(subcode);
    if (rc < 0) {
      delete pd;
      break;
    }
    delete static_cast<PacketDef *>(setarr(m->packet_defs, name, pd));
  }
  freetbl(keys, nullptr);
  freearr(entries, free_pf_entry);
  return rc;
}

void free_params(void *p) {
  auto *dlp = static_cast<Q330DLParams *>(p);
  q330_free_params(dlp);
  delete dlp;
}

// Step 5: datalogger_templates.
int parse_templates(Pf *pf, Muldrin *m) {
  Arr *entries = nullptr;
  if (parse_param(pf, "datalogger_templates", P_ARRPF, 1, &entries) < 0) {
    elog_log(0, "parse_pf: parse_param(datalogger_templates) error.\n");
    return -1;
  }
  if (!m->datalogger_templates) m->datalogger_templates = newarr(nullptr);
  if (!m->datalogger_templates) {
    freearr(entries, free_pf_entry);
    elog_log(0, "parse_pf: newarr(datalogger_templates) error.\n");
    return -1;
  }
  Tbl *keys = keysarr(entries);
  int rc = 0;
  for (long i = 0; rc == 0 && i < maxtbl(keys); i++) {
    const char *name = static_cast<const char *>(gettbl(keys, i));
    auto *dlp = new (std::nothrow) Q330DLParams{};
    if (!dlp) {
      elog_log(0, "parse_pf: malloc(Q330DLParams) error.\n");
      rc = -1;
      break;
    }
    q330_copy_params(dlp, &m->q330_default);
    if (parse_dlparams(static_cast<Pf *>(getarr(entries, name)), m, dlp, 0) < 0) {
      elog_log(0, "parse_pf: parse_dlparams(datalogger_templates->%s) error.\n", name);
      free_params(dlp);
      rc = -1;
      break;
    }
    void *old = setarr(m->datalogger_templates, name, dlp);
    if (old) free_params(old);
  }
  freetbl(keys, nullptr);
  freearr(entries, free_pf_entry);
  return rc;
}

// The datalogger's net and sta for a channel that leaves them empty.
void fill_codes(char net[8], char sta[16], int stafromproptag, const Q330DLParams *dlp) {
  if (!net[0]) snprintf(net, 8, "%s", dlp->dlnet ? dlp->dlnet : "");
  if (!sta[0] && !stafromproptag) snprintf(sta, 16, "%s", dlp->dlsta ? dlp->dlsta : "");
}

void fill_channel_codes(Q330DLParams *dlp) {
  for (auto &rate : dlp->data_chan)
    for (Q330Chan &c : rate)
      if (c.outputthischan && c.user_data) fill_codes(c.net, c.sta, c.stafromproptag, dlp);
  if (dlp->ep_chan_arr) {
    Tbl *keys = keysarr(dlp->ep_chan_arr);
    for (long i = 0; i < maxtbl(keys); i++) {
      auto *c = static_cast<Q330Chan *>(
          getarr(dlp->ep_chan_arr, static_cast<const char *>(gettbl(keys, i))));
      fill_codes(c->net, c->sta, c->stafromproptag, dlp);
    }
    freetbl(keys, nullptr);
  }
  if (dlp->status_chan_arr) {
    Tbl *keys = keysarr(dlp->status_chan_arr);
    for (long i = 0; i < maxtbl(keys); i++) {
      auto *c = static_cast<Q330StatusChan *>(
          getarr(dlp->status_chan_arr, static_cast<const char *>(gettbl(keys, i))));
      if (c->chan[0]) fill_codes(c->net, c->sta, c->stafromproptag, dlp);
    }
    freetbl(keys, nullptr);
  }
}

// A local port text: "auto_fixed" takes the next port of the base.
int local_port(const char *text, Muldrin *m, int *port) {
  if (text && strcmp(text, "auto_fixed") == 0) {
    *port = m->local_port_base++;
    return 0;
  }
  if (!text || !text[0] || !strisnumber(text) || strlen(text) > 5 || atoi(text) > 65535) return -1;
  *port = atoi(text);
  return 0;
}

// A local port handed out from local_port_base must be a port a socket can bind.
int checked_local_port(const char *key, const char *text, Muldrin *m, int *port,
                       const char *dlname) {
  if (local_port(text, m, port) < 0) {
    elog_log(0, "parse_pf: Illegal %s '%s' for %s.\n", key, text ? text : "", dlname);
    return -1;
  }
  if (strcmp(text, "auto_fixed") == 0 && (*port < 1 || *port > 65535)) {
    elog_log(0,
             "parse_pf: Illegal %s 'auto_fixed' for %s (port %d from local_port_base is outside "
             "1-65535).\n",
             key, dlname, *port);
    return -1;
  }
  return 0;
}

// The datalogger's ports (base + 2 x logical port and the next one) within 1-65535, and
// no negative interval, once its defaults, template and own block are in.
int check_ranges(const Q330DLParams &p, const char *dlname) {
  if (p.q330_port_logical >= 1 && p.q330_port_logical <= 4) {
    const long control = static_cast<long>(p.q330_port_base) + 2L * p.q330_port_logical;
    if (control < 1 || control + 1 > 65535) {
      elog_log(0,
               "parse_pf: Illegal q330_port_base %d for %s (its control and data ports %ld and "
               "%ld are outside 1-65535).\n",
               p.q330_port_base, dlname, control, control + 1);
      return -1;
    }
  }
  const struct {
    const char *key;
    double value;
  } intervals[] = {{"datarate_interval", p.datarate_interval},
                   {"commeff_interval", p.commeff_interval},
                   {"thruput_interval", p.thruput_interval},
                   {"statusreport_interval", static_cast<double>(p.statusreport_interval)}};
  for (const auto &i : intervals) {
    if (i.value < 0) {
      elog_log(0, "parse_pf: Illegal %s %g for %s (an interval cannot be negative).\n", i.key,
               i.value, dlname);
      return -1;
    }
  }
  return 0;
}

bool serial_ok(const char *sn) {
  if (!sn[0] || strcmp(sn, "-") == 0) return true;
  if (strlen(sn) > 16) return false;
  for (const char *p = sn; *p; ++p)
    if (!isxdigit(static_cast<unsigned char>(*p))) return false;
  return true;
}

// Step 10: the datalogger's own packet-definition copies.
int copy_packet_defs(Q330 *q, Muldrin *m) {
  Q330DLParams *dlp = &q->params;
  Tbl *copies = newtbl(0);
  Arr *shared = newarr(nullptr);
  int rc = 0;
  auto take = [&](PacketDef *pd) -> PacketDef * {
    if (pd->orbtag) setarr(m->data_orbtags, pd->orbtag->orbtag, pd->orbtag);
    if (pd->multiplexed) {
      auto *have = static_cast<PacketDef *>(getarr(shared, pd->name));
      if (have) return have;
    }
    auto *copy = new (std::nothrow) PacketDef(*pd);
    if (!copy) {
      elog_log(0, "parse_pf: malloc(PacketDef) error.\n");
      return nullptr;
    }
    // A multiplexed definition is shared by the datalogger's channels; any other is
    // the channel's own, keeping the definition's name.
    if (pd->multiplexed) setarr(shared, pd->name, copy);
    pushtbl(copies, copy);
    return copy;
  };
  for (auto &rate : dlp->data_chan) {
    for (Q330Chan &c : rate) {
      if (!c.outputthischan || !c.user_data || rc < 0) continue;
      if (c.calibfromdb && !m->dbname_calib) {
        elog_log(0,
                 "parse_pf: A calib database is needed for %s but none was specified in the "
                 "command line.\n",
                 dlp->dlname);
        rc = -1;
        break;
      }
      if (!(c.user_data = take(c.user_data))) rc = -1;
    }
  }
  if (rc == 0 && dlp->ep_chan_arr) {
    Tbl *keys = keysarr(dlp->ep_chan_arr);
    for (long i = 0; rc == 0 && i < maxtbl(keys); i++) {
      auto *c = static_cast<Q330Chan *>(
          getarr(dlp->ep_chan_arr, static_cast<const char *>(gettbl(keys, i))));
      if (c->user_data && !(c->user_data = take(c->user_data))) rc = -1;
    }
    freetbl(keys, nullptr);
  }
  if (rc == 0 && dlp->status_chan_arr) {
    Tbl *keys = keysarr(dlp->status_chan_arr);
    for (long i = 0; rc == 0 && i < maxtbl(keys); i++) {
      auto *c = static_cast<Q330StatusChan *>(
          getarr(dlp->status_chan_arr, static_cast<const char *>(gettbl(keys, i))));
      if (c->output_wf_pdef && !(c->output_wf_pdef = take(c->output_wf_pdef))) rc = -1;
    }
    freetbl(keys, nullptr);
  }
  freearr(shared, nullptr);
  q->user_data = copies;
  return rc;
}

const struct {
  const char *name;
  int value;
} dispositions[] = {{"nothread", 0}, {"startthr", 1}, {"startacq", 3}, {"listen", 2}};

// What a dataloggers row gives beside its names, checked.
struct DataloggerRow {
  std::string serial;                  // upper case
  int logical = 0;                     // logical data port
  const Q330DLParams *from = nullptr;  // the template, or the defaults
  int disposition = -1;
};

// Checks a dataloggers row ("dlname net sta serial address port template disposition").
// 0 with *out filled, or -1 (logged).
int check_row(const std::vector<std::string> &w, const char *row, Muldrin *m, DataloggerRow *out) {
  const char *dlname = w[0].c_str(), *net = w[1].c_str(), *sta = w[2].c_str();
  if (getarr(m->q330s_arr, dlname)) {
    elog_log(0, "parse_pf: Cannot list dlname %s more than once.\n", dlname);
    return -1;
  }
  if (w[1].size() > 2) {
    elog_log(0,
             "parse_pf: Illegal dlnet code '%s' for %s (code can be no more than 2 characters).\n",
             net, dlname);
    return -1;
  }
  if (w[2].size() > 5) {
    elog_log(0,
             "parse_pf: Illegal dlsta code '%s' for %s (code can be no more than 5 characters).\n",
             sta, dlname);
    return -1;
  }
  out->serial = w[3];
  for (char &ch : out->serial) ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
  if (!serial_ok(out->serial.c_str())) {
    elog_log(0,
             "parse_pf: Illegal serial number '%s' for %s (1 to 16 hexadecimal digits, or '-').\n",
             w[3].c_str(), dlname);
    return -1;
  }
  if (!strisnumber(w[5].c_str()) || w[5].size() > 9) {
    elog_log(0, "parse_pf: Unable to scan '%s' dataloggers table entry.\n", row);
    return -1;
  }
  out->logical = atoi(w[5].c_str());
  out->from = &m->q330_default;
  if (w[6] != "default") {
    out->from = static_cast<Q330DLParams *>(getarr(m->datalogger_templates, w[6].c_str()));
    if (!out->from) {
      elog_log(0, "parse_pf: Cannot find template '%s' for datalogger %s.\n", w[6].c_str(), dlname);
      return -1;
    }
  }
  for (const auto &d : dispositions)
    if (w[7] == d.name) out->disposition = d.value;
  if (out->disposition < 0) {
    elog_log(0, "parse_pf: Unrecognized disposition '%s' for %s.\n", w[7].c_str(), dlname);
    return -1;
  }
  return 0;
}

// A new session for dlname, listed in the program record with its output source names.
Q330 *add_session(const char *dlname, Q330OutCallback out_callback, Muldrin *m) {
  Q330 *q = q330_create(out_callback, m->statepf);
  if (!q) {
    elog_log(0, "parse_pf: q330_create() error for %s.\n", dlname);
    return nullptr;
  }
  pushtbl(m->dlnames_tbl, strdup(dlname));
  q->muldrin = m;
  q->pendingstatusrequests = &m->pendingstatusrequests;
  set_q330_str(&q->target_name, m->target_name);
  q->out_srcname_log = text_printf("%s/log", dlname);
  pushtbl(m->q330s_tbl, q);
  setarr(m->q330s_arr, dlname, q);
  return q;
}

// The datalogger's own parameter block (named by dlname), when there is one, over its
// parameters. 0, or -1 (logged).
int read_own_block(Pf *pf, const char *dlname, Muldrin *m, Q330DLParams *dlp) {
  if (pfget(pf, dlname, nullptr) == PFINVALID) return 0;
  Pf *block = nullptr;
  if (parse_param(pf, dlname, P_ARR, 0, &block) < 0) {
    elog_log(0, "parse_pf: parse_param(%s) error.\n", dlname);
    return -1;
  }
  int rc = parse_dlparams(block, m, dlp, 0);
  pffree(block);
  if (rc < 0) {
    elog_log(0, "parse_pf: parse_dlparams(%s) error.\n", dlname);
    return -1;
  }
  return 0;
}

// Step 6: one dataloggers row.
int parse_datalogger(Pf *pf, const std::vector<std::string> &w, const char *row,
                     Q330OutCallback out_callback, Muldrin *m) {
  const char *dlname = w[0].c_str(), *net = w[1].c_str(), *sta = w[2].c_str();
  DataloggerRow r;
  if (check_row(w, row, m, &r) < 0) return -1;
  Q330 *q = add_session(dlname, out_callback, m);
  if (!q) return -1;

  Q330DLParams *dlp = &q->params;
  q330_copy_params(dlp, r.from);
  set_q330_str(&dlp->dlname, dlname);
  set_q330_str(&dlp->dlnet, net);
  set_q330_str(&dlp->dlsta, sta);
  fill_channel_codes(dlp);

  dlp->q330_port_logical = r.logical;
  set_q330_str(&dlp->disposition_str, w[7].c_str());
  set_q330_str(&dlp->q330_serial_number, r.serial.c_str());
  set_q330_str(&dlp->q330_ipaddress, w[4].c_str());
  // Local ports are handed out here only, control first, then data.
  if (checked_local_port("local_port_control", dlp->local_port_control_str, m,
                         &dlp->local_port_control, dlname) < 0 ||
      checked_local_port("local_port_data", dlp->local_port_data_str, m, &dlp->local_port_data,
                         dlname) < 0)
    return -1;
  dlp->disposition = r.disposition;
  dlp->throttle_q330 = q330_throttle(dlp->throttle);

  if (read_own_block(pf, dlname, m, dlp) < 0) return -1;
  if (check_ranges(*dlp, dlname) < 0) return -1;
  if (copy_packet_defs(q, m) < 0) return -1;
  q330_read_state(q);

  if (set_q330_hostport(q) < 0) {
    elog_log(0, "parse_pf: Unable to set q330_hostport parameters.\n");
    return -1;
  }

  double now = clock_now();
  if (r.disposition == 2) {
    q->state_acquisition = Q330_ACQ_WAITING;
    q->acquisition_timeout = now + dlp->shutdown_timeout;
    q->buffer_thresh_flag = 1;
  } else {
    q->state_acquisition = Q330_ACQ_STOPPED;
    q->acquisition_timeout = 0;
    q->buffer_thresh_flag = 0;
  }
  q->inactivity_wakeup = now + dlp->inactivity_timeout;
  return 0;
}

// Step 6: the dataloggers table.
int parse_dataloggers(Pf *pf, Q330OutCallback out_callback, Muldrin *m) {
  Tbl *rows = nullptr;
  if (parse_param(pf, "dataloggers", P_TBL, 1, &rows) < 0) {
    elog_log(0, "parse_pf: parse_param(dataloggers) error.\n");
    return -1;
  }
  if (!m->q330s_arr) m->q330s_arr = newarr(nullptr);
  if (!m->data_orbtags) m->data_orbtags = newarr(nullptr);
  if (!m->q330s_arr || !m->data_orbtags) {
    elog_log(0, "parse_pf: newarr() error.\n");
    freetbl(rows, free);
    return -1;
  }
  if (!m->dlnames_tbl) m->dlnames_tbl = newtbl(0);
  if (!m->q330s_tbl) m->q330s_tbl = newtbl(0);
  if (!m->dlnames_tbl || !m->q330s_tbl) {
    elog_log(0, "parse_pf: newtbl() error.\n");
    freetbl(rows, free);
    return -1;
  }
  int rc = 0;
  for (long i = 0; rc == 0 && i < maxtbl(rows); i++) {
    const char *row = static_cast<const char *>(gettbl(rows, i));
    std::vector<std::string> w = split_words(row);
    if (w.empty()) continue;  // an empty row would otherwise read as logical port 0
    if (w.size() != 8) {
      elog_log(0, "parse_pf: Unable to scan '%s' dataloggers table entry.\n", row);
      rc = -1;
    } else {
      rc = parse_datalogger(pf, w, row, out_callback, m);
    }
    if (rc != 0) {
      // The messages above name the datalogger; this one the file and line of its row.
      void *list = nullptr;
      char where[300] = "";
      if (pfget(pf, "dataloggers", &list) == PFTBL)
        pfwhere(static_cast<Pf *>(list), std::to_string(i).c_str(), where, sizeof where);
      elog_log(0, "parse_pf: %s: key 'dataloggers': row '%s' refused.\n", where, row);
    }
  }
  freetbl(rows, free);
  return rc;
}

// Step 7: the point-of-contact sources.
int parse_pocds(Pf *pf, Muldrin *m) {
  Tbl *rows = nullptr;
  if (parse_param(pf, "pocds", P_TBL, 1, &rows) < 0) {
    elog_log(0, "parse_pf: parse_param(pocds) error.\n");
    return -1;
  }
  if (!m->pocds_tbl) m->pocds_tbl = newtbl(0);
  if (!m->pocds_tbl) {
    elog_log(0, "parse_pf: newtbl() error.\n");
    freetbl(rows, free);
    return -1;
  }
  int rc = 0;
  for (long i = 0; rc == 0 && i < maxtbl(rows); i++) {
    std::string row = static_cast<const char *>(gettbl(rows, i));
    std::vector<char> buf(row.begin(), row.end());
    buf.push_back(0);
    const char *text = strtrim(buf.data());
    if (!text[0]) continue;
    int port = 0;
    std::string orbtag, pattern;
    if (strisnumber(text) || strncmp(text, "udp:", 4) == 0) {
      port = read_port(strncmp(text, "udp:", 4) == 0 ? text + 4 : text);
      if (port < 0) {
        elog_log(0, "parse_pf: Unable to scan '%s' pocds table entry.\n", row.c_str());
        rc = -1;
        break;
      }
    } else {
      const char *p = text;
      while (*p && !isspace(static_cast<unsigned char>(*p))) p++;
      orbtag.assign(text, p);
      while (*p && isspace(static_cast<unsigned char>(*p))) p++;
      pattern = p;
      if (pattern.empty()) {
        elog_log(0, "parse_pf: Unable to scan '%s' pocds table entry.\n", row.c_str());
        rc = -1;
        break;
      }
    }
    Orbtag *o = nullptr;
    if (port == 0 && !(o = find_orbtag(m, orbtag.c_str()))) {
      elog_log(0, "parse_pf: Cannot find pocd_orbtag '%s' in command line.\n", orbtag.c_str());
      rc = -1;
      break;
    }
    auto *pd = new (std::nothrow) POCDaemon{};
    if (!pd) {
      elog_log(0, "parse_pf: malloc(POCDaemon) error.\n");
      rc = -1;
      break;
    }
    if (port) {
      pd->port = port;
      pd->label = strdup(("POC" + std::to_string(port)).c_str());
      if (udp_new(&pd->udp) < 0) {
        elog_log(0, "parse_pf: udp_new(POCDaemon) error.\n");
        free(pd->label);
        delete pd;
        rc = -1;
        break;
      }
    } else {
      pd->label = text_printf("POC-%s", o->orbname);
      int orb = orbopen(o->orbname, "r&");
      if (orb < 0) {
        elog_log(0, "parse_pf: orbopen(POCDaemon:%s) error.\n", o->orbname);
        rc = -1;
      } else if (orbselect(orb, pattern.c_str()) < 0) {
        elog_log(0, "parse_pf: orbselect(POCDaemon:%s:%s) error.\n", o->orbname, pattern.c_str());
        orbclose(orb);
        rc = -1;
      } else if (!(pd->orb = orbreapthr_new(orb, 1.0, 10))) {
        elog_log(0, "parse_pf: orbreapthr_new(POCDaemon:%s) error.\n", o->orbname);
        orbclose(orb);
        rc = -1;
      }
      if (rc < 0) {
        free(pd->label);
        delete pd;
        break;
      }
    }
    pushtbl(m->pocds_tbl, pd);
  }
  freetbl(rows, free);
  return rc;
}

}  // namespace

int strisnumber(const char *text) {
  for (const char *p = text ? text : ""; *p; ++p)
    if (!isdigit(static_cast<unsigned char>(*p))) return 0;
  return 1;
}

int parse_pf(const char *pfname, Q330OutCallback out_callback, Muldrin *m) {
  switch (pfrequire(pfname, "2005010:00:00:00")) {
    case 0:
      break;
    case -4:
      elog_log(0, "parse_pf: cannot find %s - stop processing.\n", pfname);
      return -1;
    case -3:
      elog_log(0, "parse_pf: syntax error in %s - stop processing.\n", pfname);
      return -1;
    case -2:
      elog_log(0, "parse_pf: %s out of date - stop processing.\n", pfname);
      return -1;
    case -1:
      elog_log(0, "parse_pf: pf_revision_time not present in %s - stop processing.\n", pfname);
      return -1;
    default:
      elog_log(0, "parse_pf: pfrequire(%s) error - stop processing.\n", pfname);
      return -1;
  }
  Pf *pf = nullptr;
  if (pfread(pfname, &pf) < 0) {
    elog_log(0, "parse_pf: pfread('%s') error.\n", pfname);
    return -1;
  }
  pffree(m->pf);
  m->pf = pf;
  if (parse_toplevel(pf, m) < 0 || parse_packet_defs(pf, m) < 0) return -1;

  Q330DLParams *def = &m->q330_default;
  q330_free_params(def);
  q330_params_initialize(def);
  def->local_port_base = &m->local_port_base;
  def->local_port_control = def->local_port_data = 0;
  def->lcq_locked = 100;
  def->lcq_track = 90;
  def->lcq_hold = 80;
  def->lcq_off = 80;
  def->lcq_high = 60;
  def->lcq_low = 10;
  def->lcq_never = 0;
  def->lcq_degrade_time = 10;
  if (parse_dlparams(pf, m, def, 1) < 0) {
    elog_log(0, "parse_pf: parse_dlparams(q330_default) error.\n");
    return -1;
  }
  if (parse_templates(pf, m) < 0 || parse_dataloggers(pf, out_callback, m) < 0 ||
      parse_pocds(pf, m) < 0)
    return -1;
  // Keys nothing read are typing slips or settings of another version: said once, here.
  static const char *const left_for_others[] = {"pf_revision_time", nullptr};
  pfwarn_unused(pf, "parse_pf", left_for_others);
  return 0;
}
