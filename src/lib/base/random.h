// random.h - the shared random source of the tree. Each thread draws from its own
// generator, so calls need no lock.
#pragma once

// A uniform random value in [0, 1). Each thread draws from its own generator, seeded
// apart from the others', so calls need no lock.
double disordered(void);
