// ringtool.h - the ring tool's commands, callable from its main and from tests.
//
// ringtool_run parses one command line and runs it, writing its report to `out` and its
// errors to the error log. ringtool_stop may be called from another thread (the tool's
// signal thread) to end a follow. Nothing else is shared between threads.
#pragma once

#include <cstdio>
#include <string>

// Runs the command in argv[1..]; returns the exit status (0 success, 1 failure).
int ringtool_run(int argc, char **argv, FILE *out);
// `ringtool command ...` (argv[1] is "command"): sends a signed remote command and prints
// its responses; 0 when the final response is "done", 1 otherwise.
int ringtool_command(int argc, char **argv, FILE *out);
// Ends a follow or a repeated status (status -w) in progress (or the next one): the
// follow's connection is closed, the status ends after its pause, and ringtool_run
// returns 0.
void ringtool_stop(void);

// "YYYY-MM-DD HH:MM:SS.sss" in UTC.
std::string ringtool_format_time(double t);
// Epoch seconds, or UTC "YYYY-MM-DD", "YYYY-MM-DD HH:MM" or "YYYY-MM-DD HH:MM:SS[.f]"
// ("T" may stand for the blank). 0, or -1 when the text is none of these.
int ringtool_parse_time(const char *text, double *t);

// The lines that follow -v prints under a packet: its decoded contents.
std::string ringtool_describe(const char *srcname, double time, const unsigned char *packet,
                              int nbytes);
