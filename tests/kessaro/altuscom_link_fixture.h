// altuscom_link_fixture.h - a program record with its datalogger tables, links and
// dataloggers made as the start-up makes them, a stand-in for the status thread, and the
// clock run 100 times faster, for the tests of connections, dial-ins and dial-outs.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "altuscomsubs_log.h"
#include "altuscomsubs_output.h"
#include "altussim_block.h"
#include "altussim_evtwriter.h"
#include "base/arr.h"
#include "base/elog.h"
#include "base/pmtfifo.h"
#include "base/tbl.h"
#include "kessaro.h"
#include "kessaro_cmdqueue.h"
#include "kessaro_hooks.h"
#include "testkit/testkit.h"

struct LinkProgram {
  ClockScale scale{0.01};
  Kessaro *altus = nullptr;
  std::vector<Modem *> links;
  std::vector<AltusDatalogger *> dls;
  std::atomic<bool> stop{false};
  std::atomic<bool> silent{false};  // the status thread makes no report
  std::thread status;               // makes every status report asked for

  LinkProgram() {
    static Kessaro *shared = kessaro_new();  // one program record, reachable to the end
    altus = shared;
    altus->status_report_now = 0;
    if (altus->targetname == nullptr) altus->targetname = strdup("kes");
    altus->mtfifo_write = pmtfifo_create(0, 0, 0);
    kessaro_install(altus);
    kessaro_halt = 0;
    altuslog_stdout = 1;  // notices reach the error log, where the tests read them
    status = std::thread([this] {
      while (!stop) {
        if (!silent) altus->status_report_now = 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    });
  }
  ~LinkProgram() {
    stop = true;
    status.join();
    void *item = nullptr;
    while (pmtfifo_pop(altus->mtfifo_write, &item) == 1)
      altuspacket_free(static_cast<AltusPacket *>(item));
    pmtfifo_destroy(altus->mtfifo_write, nullptr);
    altus->mtfifo_write = nullptr;
    // The tables go back empty for the next test.
    freearr(altus->dlserials_array, nullptr);
    freearr(altus->dltargets_array, nullptr);
    altus->dlserials_array = newarr(nullptr);
    altus->dltargets_array = newarr(nullptr);
    for (AltusDatalogger *d : dls) {
      clear_command_queue(d, 1, 1);
      altusdatalogger_free(d);
    }
    for (Modem *m : links) modem_free(m);
    altuslog_stdout = 0;
    kessaro_install(nullptr);
    kessaro_halt = 0;
    elog_clear_register(0);
  }

  // A datalogger known by its serial tag (e.g. "K1234").
  AltusDatalogger *datalogger(const char *name, const char *tag, const char *model, int serial) {
    AltusDatalogger *d = altusdatalogger_new();
    d->target_name = strdup(name);
    d->serial_name = strdup(tag);
    kessaro_copytext(d->model, model);
    d->serial = serial;
    d->dialin = 1;
    d->dialout = 1;
    d->dialin_cmd = strdup("status");
    d->userdata = altus;
    d->dialout_modems = newtbl(0);
    setarr(altus->dlserials_array, tag, d);
    setarr(altus->dltargets_array, name, d);
    dls.push_back(d);
    return d;
  }

  Modem *link(const char *name, int com_mode) {
    Modem *m = modem_new();
    m->name = strdup(name);
    m->com_mode = com_mode;
    m->userdata = altus;
    m->timeout = 5;
    m->timeout_connect = 5;
    m->timeout_control = 5;
    m->maxtries = 1;
    m->baud = 9600;
    links.push_back(m);
    return m;
  }
};

// The parameter header a simulated datalogger of `model` sends.
inline altussim::Bytes sim_params(const std::string &model, int serial) {
  std::vector<uint8_t> hdr;
  EXPECT_EQ(altussim_model_params(model, serial, "SIM01", &hdr), 0);
  return altussim::Bytes(hdr.begin(), hdr.end());
}

// A simulated datalogger of `model` and `serial` with its parameter header.
inline void sim_identity(altussim::Sim &sim, const std::string &model, int serial) {
  sim.set_model(model);
  sim.set_serial(serial);
  sim.set_params(sim_params(model, serial));
}

// The command codes the simulator received.
inline std::vector<int> sim_commands(altussim::Sim &sim) {
  std::vector<int> v;
  for (auto &c : sim.commands()) v.push_back(c.first);
  return v;
}
