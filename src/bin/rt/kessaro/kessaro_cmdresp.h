// kessaro_cmdresp.h - answers to remote requests: pending (progress), done/donedl and
// error/errordl, with optional text or parameter-file response, sent through the
// program's command service (cmdthread_send_rsp).
//
// The program record's pending_cmd_arr maps a request's "sequence" to the list of
// dataloggers that still owe it a final answer; a final answer removes its datalogger
// and the last one empties and deletes the entry. The command thread and the link
// threads all change it, so every look-up and change holds pending_cmd_mutex (below).
// Internal requests ("internal_only" 1) get no answers at all.
#pragma once

#include <vector>

#include "kessaro.h"

// The lock over Kessaro.pending_cmd_arr (one per process, since there is one program
// record).
std::mutex &pending_cmd_mutex(void);

// Adds the entry of `sequence` listing `dls` (the remote-command callback does this
// before handing the request to any datalogger). -1 when the sequence is already
// pending, 0 otherwise.
int pending_cmd_add(Kessaro *altus, const char *sequence,
                    const std::vector<AltusDatalogger *> &dls);
// Whether `sequence` has an entry (1) or not (0).
int pending_cmd_has(Kessaro *altus, const char *sequence);
// The dataloggers still owed for `sequence` (empty when none).
std::vector<AltusDatalogger *> pending_cmd_list(Kessaro *altus, const char *sequence);
// Removes `dl` from the request's list when the request is pending (as get_done does,
// without answering). Used when a queued request is dropped without running.
void pending_cmd_forget(Kessaro *altus, AltusDatalogger *dl, Pf *request);

// 1 when this is the last final answer owed for the request, 0 when others are still
// owed, `done` when the request is not pending or `dl` is none (the program's own
// answer), -1 when it has no "sequence".
int get_done(Kessaro *altus, AltusDatalogger *dl, Pf *request, int done);
// The request's "internal_only" (0 when absent).
int is_internal(Pf *request);

// The answers. A none format means no text. Texts the caller already holds go as data
// ("%s"), never as the format.
void altus_cmd_error(Kessaro *altus, AltusDatalogger *dl, Pf *request, int done, const char *fmt,
                     ...) __attribute__((format(printf, 5, 6)));
void altus_cmd_done(Kessaro *altus, AltusDatalogger *dl, Pf *request, int done, Pf *response,
                    const char *fmt, ...) __attribute__((format(printf, 6, 7)));
void altus_cmd_done_response_string(Kessaro *altus, AltusDatalogger *dl, Pf *request, int done,
                                    const char *fmt, ...) __attribute__((format(printf, 5, 6)));
void altus_cmd_done_response_pfstring(Kessaro *altus, AltusDatalogger *dl, Pf *request, int done,
                                      const char *fmt, ...) __attribute__((format(printf, 5, 6)));
void altus_cmd_pending(Kessaro *altus, AltusDatalogger *dl, Pf *request, Pf *response,
                       const char *fmt, ...) __attribute__((format(printf, 5, 6)));
