// cmdthread.h - the remote-command service: reaps signed command packets addressed to
// this program, hands accepted commands to the program's callback, answers "pingt"
// itself, sends the program's responses, and writes a keep-alive packet every 60 s.
//
// Threads: the command thread (reads `orbcmd`), the keep-alive thread and a put thread
// (writes to `orbrsp`, queue of 10). The program's threads may call cmdthread_send_rsp at
// any time. The callback runs on the command thread, one command at a time.
//
// Ownership and locking: the record owns its texts and its put thread. `lock` guards the
// latest-command fields (cmd, cmd_username, cmd_hostname, cmd_ip, cmd_dlnames,
// cmd_count), the responder identity caches (username, hostname, ip), sequence_target and
// the record of commands carried out (done, done_order). Only the command thread replaces the
// latest-command fields, so the callback may read them (cmd_dlnames in particular) without the
// lock; other threads take it. The record is shared by its owner and its two threads and freed by
// whichever lets go last; it is never freed while one of them runs.
//
// Only a correctly signed command becomes the latest command; an unsigned or wrongly
// signed one is logged as munged and changes nothing. The signature proves the text
// whole, not who sent it (the key is no secret), so a signed command is also refused,
// answered "error" with the reason and changes nothing, when it carries no "sequence" or
// "cmdtime", when its "cmdtime" is more than CMDTHREAD_CMDTIME_SLACK from this machine's
// time, or when a command of the same "sequence" and "cmdtime" was already carried out
// (the last CMDTHREAD_SEQUENCES_KEPT are remembered for the life of the service): the
// same bytes sent again, or re-addressed, do not run again. Texts that come from packets
// are passed to the callback as data, never as a format.
#pragma once

#include <pthread.h>

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <unordered_set>

#include "base/clockwait.h"

struct Pf;
struct orbputthr_;

typedef struct cmdthread_ CmdThread;

enum { CMDTHREAD_SEQUENCES_KEPT = 4096 };               // commands remembered against replays
inline constexpr double CMDTHREAD_CMDTIME_SLACK = 600;  // seconds a "cmdtime" may be off

// What the program's callback is handed (its `what`).
enum CmdThreadWhat : int {
  CMDTHREAD_ERROR = 1,    // (int flag, const char *format, ...)
  CMDTHREAD_COMMAND = 2,  // (char *command, Pf *request)
  CMDTHREAD_LINE = 3,     // (char *text)
};
// The program's callback: callback(service, user, what, ...)
//   what 1: (int flag, const char *format, ...)  an error to log
//   what 2: (char *command, Pf *request)          a verified command to carry out; the
//                                                 request is freed when the callback
//                                                 returns; the result is ignored
//   what 3: (char *text)                          a line to log
typedef int (*CmdThreadCallback)(CmdThread *cth, void *user, int what, ...);

struct cmdthread_ {
  char *pfname_auth;      // copy of the constructor's first argument, not otherwise used
  char *target;           // this program's target name
  char *type;             // this program's target type
  char *username;         // responder login name (filled on the first response)
  char *hostname;         // responder host name
  char *ip;               // responder dotted address
  Pf *pf_auth;            // never set
  int orbcmd;             // connection the commands are read from
  int orbrsp;             // connection the responses are written to
  void *user;             // the program's data, passed back to the callback
  pthread_t reap_thread;  // the command thread (detached)
  pthread_t keepalive_thread;
  std::atomic<int> reaping;  // 1 while the command thread is reading the ring
  std::atomic<int> halt;     // above 0 asks both threads to end
  ClockEvent wake;           // signalled with the halt: ends the keep-alive thread's wait
  char *cmd;                 // latest accepted command word(s)
  char *cmd_username;
  char *cmd_hostname;
  char *cmd_ip;
  char *cmd_dlnames;      // latest accepted command's "dlnames", or none
  char *sequence_target;  // built on the first response to the latest command
  int cmd_count;          // accepted (signed) commands
  struct orbputthr_ *put_thr;
  CmdThreadCallback callback;
  // Commands carried out ("sequence" and "cmdtime"), oldest first; written by the command
  // thread under `lock`.
  std::deque<std::string> done_order;
  std::unordered_set<std::string> done;
  std::mutex lock;
  std::atomic<int> refs;  // holders: the owner and each running thread
};

// Starts the service: the command thread reads "/pf/dlcm" and "<target>/pf/dlcm" from
// orbcmd; responses and keep-alive packets go to orbrsp. The strings are copied. None
// on failure (logged). The target name must leave room for "/pf/dlcm" in a source name
// (at most 55 characters).
CmdThread *cmdthread_new(const char *pfname_auth, int orbcmd, int orbrsp, const char *target,
                         const char *type, CmdThreadCallback callback, void *user);

// Ends the service: asks both threads to end and waits (up to 10 s) for them (called from
// the callback, the command thread is not waited for), stops the put thread once it has
// written what is queued, when anything is (orbputthr_stop's bound), then lets go of the
// record, whose texts are freed once no thread uses it. A command thread waiting in the
// ring for a command is not waited for: it ends at its next packet, or when the owner
// closes `orbcmd`. The connections are not closed. 0.
int cmdthread_destroy(CmdThread *cth);

// Sends a response to `request`: the latest command, the service's identity, the
// datalogger name, serial and communication text and the disposition (each may be none),
// then the text of `response` (may be none). 0 when queued, and also when the request
// has no "reply" (nothing is sent); -1 on error (complained about: a response that
// cannot be built, e.g. for a "reply" that is no source name, is never silent).
int cmdthread_send_rsp(CmdThread *cth, Pf *request, const char *dlname, const char *dlserial,
                       const char *dlcom, Pf *response, const char *disposition);
