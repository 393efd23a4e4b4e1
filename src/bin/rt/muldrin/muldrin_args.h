// muldrin_args.h - muldrin's command line: options, target name and orbtag pairs.
//
// Locking: none; the main thread reads the command line before any other thread starts.
#pragma once

#include <cstdio>
#include <string>

#include "muldrin.h"

// What the command line sets outside the program record.
struct MuldrinArgs {
  std::string pfname = "muldrin";
  std::string pidfile;  // empty: none
};

// The usage text, one line per option, onto `out`.
void muldrin_usage(FILE *out);
// Fills `muldrin` and `args` from the command line. 0 when it is sound; 1 after the
// complaint and the usage on standard error (and the banner when there is no argument at
// all); 2 after -h or --help printed the usage on standard output. The caller exits with
// 1 or 0. Orbtags are entered under their tag; a later pair with the same tag
// replaces the earlier one.
int muldrin_parse_args(int argc, char **argv, Muldrin *muldrin, MuldrinArgs *args);
// Frees the orbtags and texts muldrin_parse_args made.
void muldrin_free_args(Muldrin *muldrin);
