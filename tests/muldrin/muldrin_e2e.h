// muldrin_e2e.h - end-to-end runs: the simulator (q330sim) and muldrin as child programs
// on a ring in a temporary folder (the framework-free pieces are in muldrin_e2ekit.h).
//
// The children run at real speed, so their parameters keep every time-out short; the
// test waits for them through the clock seam (clock_sleep between looks) and with bounds
// that only end a run that went wrong.
#pragma once

#include <string>
#include <vector>

#include "muldrin_e2ekit.h"
#include "testkit/testkit.h"

// The simulator and muldrin of one end-to-end run, in a temporary folder with its ring.
struct E2eRun {
  TempDir dir;
  std::string ring = dir.file("ring1");
  std::string pf = dir.file("muldrin.pf");
  std::string state = dir.file("state");
  std::string sim_out = dir.file("q330sim.out");
  pid_t sim = -1, muldrin = -1;
  std::vector<E2eUnit> units;
  int muldrin_runs = 0;
  int poc_port = 0;  // points of contact taken there when set

  E2eRun() { orbcreate(ring.c_str(), 64ll << 20); }
  ~E2eRun() {
    e2e_stop(muldrin, SIGKILL, 5);
    e2e_stop(sim, SIGTERM, 5);
  }
  std::string muldrin_out(int run) const {
    return dir.file("muldrin" + std::to_string(run) + ".out");
  }
  // Starts the simulator with `args` (free ports) and waits until its `nunits` units
  // listen. False when they did not.
  bool start_sim(const std::vector<std::string> &args, size_t nunits) {
    std::vector<std::string> argv = {Q330SIM_BIN, "-b", "0"};
    argv.insert(argv.end(), args.begin(), args.end());
    sim = e2e_start(argv, dir.path(), sim_out);
    for (double waited = 0; waited < 30; waited += 0.05) {
      units = e2e_units(sim_out);
      if (units.size() >= nunits) return true;
      clock_sleep(0.05);
    }
    return false;
  }
  // Writes the parameter file for the units and starts muldrin with the state file.
  void start_muldrin() {
    FILE *f = fopen(pf.c_str(), "w");
    std::string text = e2e_pf(MULDRIN_PF, units, poc_port);
    fputs(text.c_str(), f);
    fclose(f);
    muldrin_runs++;
    muldrin = e2e_start({MULDRIN_BIN, "-pf", pf, "-S", state, "TA", "data", ring, "cmd", ring,
                         "log", ring, "st", ring},
                        dir.path(), muldrin_out(muldrin_runs));
  }
  // Stops muldrin with SIGTERM; its wait status (-1 when it had to be killed).
  int stop_muldrin() {
    int status = e2e_stop(muldrin, SIGTERM, 60);
    muldrin = -1;
    return status;
  }
};
