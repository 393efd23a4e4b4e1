// muldrin_cmd.h - muldrin's remote-command handler: the callback of the remote-command
// service. It splits a command into words, acts on every datalogger whose name matches
// the request's "dlnames" and answers each one through cmdthread_send_rsp: "donedl" or
// "errordl" for all but the last, "done" or "error" for the last. Each datalogger's
// response is sent after the next one's command was issued, so that the last can be
// marked. A command that matches none of this program's dataloggers gets no response:
// another acquisition program reading the same ring may hold that datalogger.
//
// Locking: runs on the command thread, one command at a time. Configuration and status
// bodies are built under config.config_mutex and status.status_pkt_mutex; the values of
// "set" are stored with atomic stores (the session's threads read them without a lock).
#pragma once

#include "muldrin.h"

typedef struct cmdthread_ CmdThread;
struct Pf;

// The service's callback (user: the Muldrin record). what 1: (int level, format, ...) an
// error to log; 2: (char *cmd, Pf *request) a command; 3: (char *text) a log line. 0.
// After "quit" it only returns when the service is being ended. In namespace muldrin, as
// kessaro has a callback of the same name.
namespace muldrin {
int cmdthread_callback(CmdThread *cth, void *user, int what, ...);
}

// Sends "error &Literal{\n<msg>}\n" as the response, disposition "error" when `done`, else
// "errordl". The names may be none. 0.
int cmd_error(CmdThread *cth, Pf *pfcmd, const char *dlname, const char *dlserial,
              const char *dlcom, const char *msg, int done);
