// muldrin_args.h - muldrin's command line: options, target name and orbtag pairs.
//
// Locking: none; the main thread reads the command line before any other thread starts.
#pragma once

#include <string>

#include "muldrin.h"

// What the command line sets outside the program record.
struct MuldrinArgs {
  std::string pfname = "muldrin";
  std::string pidfile;  // empty: none
};

void muldrin_usage(void);
// Fills `muldrin` and `args` from the command line. 0 when it is sound; 1 after the
// complaint and the usage (and the banner when there is no argument at all): the caller
// exits with it. Orbtags are entered under their tag; a later pair with the same tag
// replaces the earlier one.
int muldrin_parse_args(int argc, char **argv, Muldrin *muldrin, MuldrinArgs *args);
// Frees the orbtags and texts muldrin_parse_args made.
void muldrin_free_args(Muldrin *muldrin);
