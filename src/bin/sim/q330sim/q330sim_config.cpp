// q330sim_config.cpp - the simulator's config area (see q330sim.h); nothing answered yet.
#include "q330sim.h"

bool Q330Sim::answer_config(const Q330SimDatagram &, int *, std::vector<unsigned char> *) {
  return false;
}
