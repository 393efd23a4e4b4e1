// altuscom_hooks.h - how the Altus interface reaches the program around it: one hook
// record that the program installs before it starts any link thread. The interface
// calls program code only through these hooks (it never includes a program header or
// names the program's global), and finds the program record of a link or datalogger
// through altuscom_program.
//
// Locking: altuscom_install_hooks copies the record; it is called while no link,
// datalogger or writer thread runs (start-up, and test set-up and tear-down), so the
// threads read the copy without a lock. Each hook keeps its own locking contract (the
// callers hold what the hook's comment says).
#pragma once

struct AltusDatalogger;
struct Kessaro;
struct Pf;

// What an answer to a remote request says (the program's answers of the command
// service): progress, a final success (with an optional log text), a final success
// whose text is the response, and a final failure.
enum AltuscomAnswer {
  ALTUSCOM_ANSWER_PENDING,
  ALTUSCOM_ANSWER_DONE,
  ALTUSCOM_ANSWER_DONE_RESPONSE,
  ALTUSCOM_ANSWER_ERROR
};

struct AltuscomHooks {
  // The program record of a link or datalogger whose userdata is none; or none.
  Kessaro *program;
  // Runs the datalogger's queued requests on the link thread that holds its and its
  // link's connection locks; the number served (0 for none).
  int (*run_commands)(Kessaro *altus, AltusDatalogger *dl);
  // Writes the state file (takes the state-file lock itself). 0, or -1 (complained).
  int (*write_state)(Kessaro *altus);
  // Asks the status thread for a report at once (does not wait for it).
  void (*report_status_now)(Kessaro *altus);
  // 1 while a report asked for has not been made yet, else 0.
  int (*report_pending)(Kessaro *altus);
  // Ends the write thread after everything queued has been written. 0 when it ended,
  // -1 when it did not in time.
  int (*stop_writer)(Kessaro *altus);
  // The datalogger's command queue (each takes the datalogger's command_mutex for its own
  // work only). post: appends the request's text, marked internal when `internal` is set;
  // 0, -1 without text, -2 when full. pop and peek: the first request as a new tree (or
  // none when empty), removed by pop; 0. clear: drops the external and/or internal
  // requests; 0. count: the number queued, or -1 when `try_` is set and the lock is busy.
  int (*post_request)(AltusDatalogger *dl, Pf *request, int internal);
  int (*pop_request)(AltusDatalogger *dl, Pf **request);
  int (*peek_request)(AltusDatalogger *dl, Pf **request);
  int (*clear_requests)(AltusDatalogger *dl, int external, int internal);
  int (*count_requests)(AltusDatalogger *dl, int try_);
  // Answers `request` (no answer for an internal one). `done` is what a final answer
  // counts as when the request is not pending for `dl`; `text` may be none (no text).
  void (*answer)(Kessaro *altus, AltusDatalogger *dl, Pf *request, AltuscomAnswer what, int done,
                 const char *text);
};

// Installs a copy of `hooks` (none: every hook missing, no program record). A missing
// hook is a no-op that returns 0.
void altuscom_install_hooks(const AltuscomHooks *hooks);
// The installed record.
const AltuscomHooks &altuscom_hooks(void);

// The program record a link's or datalogger's `userdata` names, else the installed one.
Kessaro *altuscom_program(void *userdata);

// The hooks, each a no-op returning 0 when not installed.
int altuscom_run_commands(Kessaro *altus, AltusDatalogger *dl);
int altuscom_write_state(Kessaro *altus);
void altuscom_report_status_now(Kessaro *altus);
int altuscom_report_pending(Kessaro *altus);
int altuscom_stop_writer(Kessaro *altus);
int altuscom_post_request(AltusDatalogger *dl, Pf *request, int internal);
int altuscom_pop_request(AltusDatalogger *dl, Pf **request);
int altuscom_peek_request(AltusDatalogger *dl, Pf **request);
int altuscom_clear_requests(AltusDatalogger *dl, int external, int internal);
int altuscom_count_requests(AltusDatalogger *dl, int try_);
// Formats the text (a none format: no text) and answers `request` with it.
void altuscom_answer(Kessaro *altus, AltusDatalogger *dl, Pf *request, AltuscomAnswer what,
                     int done, const char *fmt, ...) __attribute__((format(printf, 6, 7)));
// A progress answer on `request` for the program record in the datalogger's userdata; the
// text is cut to 1023 characters. Nothing when dl or request is none.
void altuscom_progress(AltusDatalogger *dl, Pf *request, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
