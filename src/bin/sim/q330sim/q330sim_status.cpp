// q330sim_status.cpp - the simulator's status area (see q330sim.h); nothing answered yet.
#include "q330sim.h"

bool Q330Sim::answer_status(const Q330SimDatagram &, int *, std::vector<unsigned char> *) {
  return false;
}
