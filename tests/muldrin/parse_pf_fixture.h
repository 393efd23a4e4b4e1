// parse_pf_fixture.h - a program record with command-line orbtags for parse_pf tests,
// a small status-name table, and the release of everything parse_pf made.
#pragma once

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/arr.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "parse_pf.h"
#include "q330_fixture.h"

// A few status names: program ones (type 1), a state-of-health one with a sample interval
// and one reported as needed (dt 0).
inline int fixture_status_lookup(const char *name, int *type, const void **stdef, double *dt) {
  static const struct {
    const char *name;
    int type;
    double dt;
  } rows[] = {{"q330_drate_tot", 1, 10},
              {"data_sys_volt", 2, 10},
              {"data_sys_temp", 2, 10},
              {"data_gps", 2, 0}};
  for (const auto &r : rows) {
    if (strcmp(r.name, name) == 0) {
      *type = r.type;
      *stdef = &r;
      *dt = r.dt;
      return 0;
    }
  }
  return -1;
}

class MuldrinFixture {
 public:
  Muldrin m;
  explicit MuldrinFixture(const char *tags = "data cmd log st") {
    parse_pf_status_lookup = fixture_status_lookup;
    m.target_name = strdup("TA");
    std::string all = tags;
    size_t at = 0;
    while (at < all.size()) {
      size_t end = all.find(' ', at);
      if (end == std::string::npos) end = all.size();
      std::string tag = all.substr(at, end - at);
      at = end + 1;
      if (tag.empty()) continue;
      if (!m.orbtags) m.orbtags = newarr(nullptr);
      auto *o = new Orbtag;
      o->orbtag = strdup(tag.c_str());
      o->orbname = strdup("127.0.0.1:6510");
      setarr(m.orbtags, tag.c_str(), o);
    }
  }
  ~MuldrinFixture() {
    for (long i = 0; i < maxtbl(m.q330s_tbl); i++) {
      auto *q = static_cast<Q330 *>(gettbl(m.q330s_tbl, i));
      if (q->user_data) freetbl(static_cast<Tbl *>(q->user_data), free_packetdef);
      q330_free_params(&q->params);
      free(q->out_srcname_log);
      udp_free(q->udp_control);
      udp_free(q->udp_data);
      free(q->q330_hostport_control);
      free(q->q330_hostport_data);
      free_session(q);
    }
    freetbl(m.q330s_tbl, nullptr);
    freearr(m.q330s_arr, nullptr);
    freetbl(m.dlnames_tbl, free);
    freearr(m.data_orbtags, nullptr);
    for (long i = 0; i < maxtbl(m.pocds_tbl); i++) {
      auto *p = static_cast<POCDaemon *>(gettbl(m.pocds_tbl, i));
      udp_free(p->udp);
      free(p->label);
      delete p;
    }
    freetbl(m.pocds_tbl, nullptr);
    freearr(m.packet_defs, free_packetdef);
    freearr(m.datalogger_templates, [](void *p) {
      q330_free_params(static_cast<Q330DLParams *>(p));
      delete static_cast<Q330DLParams *>(p);
    });
    q330_free_params(&m.q330_default);
    freearr(m.orbtags, [](void *p) {
      auto *o = static_cast<Orbtag *>(p);
      free(o->orbtag);
      free(o->orbname);
      delete o;
    });
    for (char *s : {m.target_name, m.cmd_srcname, m.log_srcname, m.config_srcname, m.status_srcname,
                    m.dbname_calib})
      free(s);
    pffree(m.pf);
    parse_pf_status_lookup = nullptr;
  }
  static void free_packetdef(void *p) { delete static_cast<PacketDef *>(p); }
};
