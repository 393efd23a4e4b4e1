// altuscom_fixture.h - a program record with a write fifo, one link and one datalogger,
// on a driven clock, for the tests of logging and the output pipeline.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "altuscomsubs_output.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pmtfifo.h"
#include "kessaro.h"
#include "kessaro_hooks.h"

struct AltusDrivenClock {
  double t = 1577836800.25;  // 2020-01-01 00:00:00.250
  ClockDriver driver{[](void *u) { return static_cast<AltusDrivenClock *>(u)->t; },
                     [](void *u) { return static_cast<AltusDrivenClock *>(u)->t; },
                     [](double s, void *u) { static_cast<AltusDrivenClock *>(u)->t += s; }, this};
  AltusDrivenClock() { clock_set_driver(&driver); }
  ~AltusDrivenClock() { clock_set_driver(nullptr); }
};

class AltusPipeline : public ::testing::Test {
 protected:
  void SetUp() override {
    static Kessaro *shared = kessaro_new();  // one program record, reachable to the end
    altus = shared;
    altus->status_report_now = 0;
    altus->targetname = strdup("kes");
    altus->mtfifo_write = pmtfifo_create(0, 0, 0);
    kessaro_install(altus);
    modem = modem_new();
    modem->name = strdup("tty1");
    dl = altusdatalogger_new();
    dl->target_name = strdup("dlA");
    dl->connected_modem = modem;
    elog_clear_register(0);
  }
  void TearDown() override {
    drain();
    elog_clear_register(0);
    kessaro_install(nullptr);
    pmtfifo_destroy(altus->mtfifo_write, nullptr);
    free(altus->targetname);
    free(altus->evt_file_dir);
    altus->targetname = altus->evt_file_dir = nullptr;
    altus->mtfifo_write = nullptr;
    altusdatalogger_free(dl);
    modem_free(modem);
  }

  // Every element queued since the last call, taken off the fifo (the caller frees them
  // with altuspacket_free, or lets `taken` do it).
  std::vector<AltusPacket *> drain() {
    std::vector<AltusPacket *> out;
    void *item = nullptr;
    while (pmtfifo_pop(altus->mtfifo_write, &item) == 1) {
      out.push_back(static_cast<AltusPacket *>(item));
      taken.push_back(static_cast<AltusPacket *>(item));
    }
    return out;
  }
  // The texts of the queued elements.
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (AltusPacket *p : drain()) out.push_back(p->data ? reinterpret_cast<char *>(p->data) : "");
    return out;
  }

  struct Freer {
    std::vector<AltusPacket *> *v;
    ~Freer() {
      for (AltusPacket *p : *v) altuspacket_free(p);
    }
  };
  std::vector<AltusPacket *> taken;
  Freer freer{&taken};

  AltusDrivenClock clock;
  Kessaro *altus = nullptr;
  Modem *modem = nullptr;
  AltusDatalogger *dl = nullptr;
};
