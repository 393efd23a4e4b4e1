// q330sim_data.cpp - the simulator's data port (see q330sim.h); only listened to yet.
#include "q330sim.h"

void Q330Sim::data_received(int, const Q330SimDatagram &, const void *, unsigned) {}

void Q330Sim::tick() {}
