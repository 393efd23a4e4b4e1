// q330sim_commands.cpp - the simulator's commands area (see q330sim.h); nothing answered yet.
#include "q330sim.h"

bool Q330Sim::answer_commands(const Q330SimDatagram &, int *, std::vector<unsigned char> *) {
  return false;
}
