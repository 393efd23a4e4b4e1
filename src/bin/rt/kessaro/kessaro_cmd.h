// kessaro_cmd.h - the remote-command callback: "quit" and the program keys of "set" at
// once, argument checks of every datalogger command, the datalogger keys of "set"
// applied at once, and every other command posted to each matched datalogger's queue.
//
// Runs on the command service's thread, one request at a time. The fields "set" changes
// are atomics (kessaro.h); the reorder-buffer output of "order_output_data" holds the
// datalogger's stream mutex. Nothing a command carries is used as a format.
#pragma once

#include "kessaro.h"

struct Pf;

// The command service's callback. In namespace kessaro, as muldrin has one of the same name.
namespace kessaro {
int cmdthread_callback(CmdThread *cth, void *user, int what, ...);
}
void process_cmd_dataloggers(Pf *request, Kessaro *altus, const char *command, int argc,
                             char **argv);
void process_cmd_datalogger(Pf *request, Kessaro *altus, AltusDatalogger *dl, const char *command,
                            int argc, char **argv);
// What "quit" runs (shutdown, answer, exit 0); tests replace it to watch the order.
extern void (*kessaro_quit_hook)(Kessaro *altus, Pf *request);
