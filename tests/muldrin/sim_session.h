// sim_session.h - a session pointed at the Q330 simulator on the loopback, and a clock whose
// pauses return at once, for the tests that exchange with the simulator.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "base/clock.h"
#include "base/tbl.h"
#include "q330.h"
#include "q330_qdp.h"
#include "q330sim.h"
#include "udp.h"

// Real clocks; pauses are recorded and return at once.
struct SleepRecorder {
  std::mutex mutex;
  std::vector<double> sleeps;
  ClockDriver driver{
      [](void *) {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
            .count();
      },
      [](void *) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
            .count();
      },
      [](double s, void *u) {
        auto *self = static_cast<SleepRecorder *>(u);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->sleeps.push_back(s);
      },
      this};
  SleepRecorder() { clock_set_driver(&driver); }
  ~SleepRecorder() { clock_set_driver(nullptr); }
  std::vector<double> taken() {
    std::lock_guard<std::mutex> lock(mutex);
    return sleeps;
  }
};

// Points session `q` at `sim` (its base and the logical port `logical`) on 127.0.0.1 from
// any local ports, with the control time-out and tries given, the serial number (none:
// unset) and the authentication codes (none given: no table), and sets up its host ports.
inline void sim_session_point(Q330 *q, const Q330Sim &sim, int logical, double timeout,
                              int maxretries, const char *serial,
                              const std::vector<const char *> &codes = {}) {
  Q330DLParams &p = q->params;
  set_q330_str(&p.q330_ipaddress, "127.0.0.1");
  set_q330_str(&p.local_ipaddr, "127.0.0.1");
  if (serial) set_q330_str(&p.q330_serial_number, serial);
  p.q330_port_base = sim.base_port();
  p.q330_port_logical = logical;
  p.local_port_control = p.local_port_data = 0;
  p.timeout_control = timeout;
  p.maxretries_control = maxretries;
  if (codes.size() > 0) {
    p.q330_authentication_codes = newtbl(static_cast<long>(codes.size()));
    for (const char *c : codes) pushtbl(p.q330_authentication_codes, strdup(c));
  }
  EXPECT_EQ(set_q330_hostport(q), 0);
}

// Frees what pointing and the exchanges gave the session: its endpoints, host-port and
// address texts, serial number and codes. The record itself stays the caller's.
inline void sim_session_release(Q330 *q) {
  udp_free(q->udp_control);
  udp_free(q->udp_data);
  q->udp_control = q->udp_data = nullptr;
  Q330DLParams &p = q->params;
  for (char **s : {&q->q330_hostport_control, &q->q330_hostport_data, &p.q330_ipaddress,
                   &p.local_ipaddr, &p.q330_serial_number, &p.q330_com}) {
    free(*s);
    *s = nullptr;
  }
  freetbl(p.q330_authentication_codes, free);
  p.q330_authentication_codes = nullptr;
}
