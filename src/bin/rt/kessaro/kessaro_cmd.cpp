// kessaro_cmd.cpp - the remote-command callback and the program commands.
#include "kessaro_cmd.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "altuscomsubs_log.h"
#include "altuscomsubs_output.h"
#include "altuscomsubs_stream.h"
#include "altuscomthread.h"
#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "kessaro_cmdqueue.h"
#include "kessaro_cmdresp.h"
#include "parse_pf.h"
#include "ringsvc/cmdthread.h"

namespace {

struct WordRule {
  const char *word;
  int min, max;              // argument count bounds (-1: none)
  const char *none_text;     // refusal below min
  const char *extra_format;  // refusal above max, with the first argument too many
};

const WordRule rules[] = {
    {"ping", 1, -1, "no ping string", nullptr},
    {"mcmd", 1, -1, "no mcmd args", nullptr},
    {"getevents", 0, -1, nullptr, nullptr},
    {"ft", 0, -1, nullptr, nullptr},
    {"ftgetevents", 0, -1, nullptr, nullptr},
    {"status", 0, -1, nullptr, nullptr},
    {"getstatus", 0, -1, nullptr, nullptr},
    {"lstatus", 0, -1, nullptr, nullptr},
    {"getparams", 0, -1, nullptr, nullptr},
    {"getconfig", 0, -1, nullptr, nullptr},
    {"setparams", 1, 1, "no setparams pffile", "Unrecognized setparams argument '%s'"},
    {"delfile", 1, 1, "no delfile filename", "Unrecognized delfile argument '%s'"},
    {"deltree", 0, 2, nullptr, "Unrecognized deltree argument '%s'"},
    {"dir", 1, 1, "no dir pathname", "Unrecognized dir argument '%s'"},
    {"dirtree", 0, 1, nullptr, "Unrecognized dirtree argument '%s'"},
    {"evtinfotree", 0, 1, nullptr, "Unrecognized evtinfotree argument '%s'"},
    {"erase", 1, 1, "no erase drive", "Unrecognized erase argument '%s'"},
    {"reboot", 0, -1, nullptr, nullptr},
    {"acqstart", 0, -1, nullptr, nullptr},
    {"acqstop", 0, -1, nullptr, nullptr},
    {"strstart", 0, -1, nullptr, nullptr},
    {"strauto", 0, -1, nullptr, nullptr},
    {"strpause", 0, -1, nullptr, nullptr},
    {"strdisable", 0, -1, nullptr, nullptr},
};

const char *const dl_set_keys[] = {
    "debug_data",      "debug_serial",      "debug_data_timeout", "debug_serial_timeout",
    "log_data_errors", "v_strseq",          "v_strseq_timeout",   "request_params_interval",
    "reset_data_gap",  "order_output_data", "clear_command_queue"};

bool is_dl_set_key(const char *key) {
  for (const char *k : dl_set_keys) {
    if (strcmp(k, key) == 0) return true;
  }
  return false;
}

// The numbers "set" takes. A value outside its range, NaN or an infinity is refused before
// anything changes; the intervals then bring what passed into their working bounds.
constexpr double kYear = 366.0 * 86400.0;
constexpr PfRange kAnyInt = {-2147483648.0, 2147483647.0};
const PfNumberKey set_numbers[] = {
    {"status_interval", P_DBL, {-kYear, kYear}},
    {"log_poc", P_LINT, kAnyInt},
    {"debug_data", P_LINT, kAnyInt},
    {"debug_serial", P_LINT, kAnyInt},
    {"debug_data_timeout", P_DBL, {0.0, kYear}},
    {"debug_serial_timeout", P_DBL, {0.0, kYear}},
    {"log_data_errors", P_LINT, kAnyInt},
    {"v_strseq_timeout", P_DBL, {0.0, kYear}},
    {"request_params_interval", P_DBL, {-kYear, kYear}},
};

// "" when `value` suits the number key `key` (or the key takes no number), else why not.
// A word that does not begin like a number reads as 0, which for the intervals is "off".
std::string check_set_number(const char *key, const char *value) {
  char why[256];
  return pfnumber_check(set_numbers, static_cast<int>(std::size(set_numbers)), key, value, why,
                        sizeof why) == 0
             ? ""
             : why;
}

// An interval in seconds: 0 or less is "off", anything shorter than a second is one second.
double clamp_interval(double v) {
  if (!(v > 0.0)) return 0.0;
  return v < 1.0 ? 1.0 : v;
}

void answer_done_program(Kessaro *altus, Pf *request) {
  if (altus->cmdthr != nullptr) {
    cmdthread_send_rsp(altus->cmdthr, request, nullptr, nullptr, nullptr, nullptr, "done");
  }
}

void set_datalogger_key(Kessaro *altus, AltusDatalogger *dl, Pf *request, const char *key,
                        const char *value) {
  Modem *m = dl->connected_modem;
  if (strcmp(key, "debug_data") == 0 || strcmp(key, "debug_serial") == 0) {
    bool data = key[6] == 'd';
    int v = atoi(value);
    double to = data ? dl->debug_data_timeout.load() : dl->debug_serial_timeout.load();
    if (data) {
      dl->debug_data = v;
      dl->debug_data_time_start = 0.0;
    } else {
      dl->debug_serial = v;
      dl->debug_serial_time_start = 0.0;
    }
    if (to == 0.0) {
      altuscom_log_message(m, dl, 1, "Setting %s to %d...\n", key, v);
    } else {
      altuscom_log_message(m, dl, 1, "Setting %s to %d for %f seconds...\n", key, v, to);
    }
  } else if (strcmp(key, "debug_data_timeout") == 0) {
    dl->debug_data_timeout = atof(value);
    altuscom_log_message(m, dl, 1, "Setting debug_data_timeout to %f seconds...\n", atof(value));
  } else if (strcmp(key, "debug_serial_timeout") == 0) {
    dl->debug_serial_timeout = atof(value);
    altuscom_log_message(m, dl, 1, "Setting debug_serial_timeout to %f seconds...\n", atof(value));
  } else if (strcmp(key, "log_data_errors") == 0) {
    dl->log_data_errors = atoi(value);
    altuscom_log_message(m, dl, 1, "Setting log_data_errors to %d...\n", atoi(value));
  } else if (strcmp(key, "v_strseq") == 0) {
    int v = tobool(value);
    dl->v_strseq = v;
    dl->v_strseq_time_start = 0.0;
    double to = dl->v_strseq_timeout.load();
    if (to == 0.0) {
      altuscom_log_message(m, dl, 1, "Setting v_strseq to %d...\n", v);
    } else {
      altuscom_log_message(m, dl, 1, "Setting v_strseq to %d for %f seconds...\n", v, to);
    }
  } else if (strcmp(key, "v_strseq_timeout") == 0) {
    dl->v_strseq_timeout = atof(value);
    altuscom_log_message(m, dl, 1, "Setting v_strseq_timeout to %f seconds...\n", atof(value));
  } else if (strcmp(key, "request_params_interval") == 0) {
    double v = clamp_interval(atof(value));
    dl->request_params_interval = v;
    altuscom_log_message(m, dl, 1, "Setting request_params_interval to %f...\n", v);
  } else if (strcmp(key, "reset_data_gap") == 0) {
    dl->data_gap_time = 0.0;
    altus->status_report_now = 1;
    altuscom_log_message(m, dl, 1, "Setting reset_data_gap to %d...\n", tobool(value));
  } else if (strcmp(key, "order_output_data") == 0) {
    int v = tobool(value);
    if (dl->order_output_data == 1 && v == 0) altuscom_output_held_packets(dl);
    dl->order_output_data = v;
    altuscom_log_message(m, dl, 1, "Setting order_output_data to %d...\n", v);
  } else if (strcmp(key, "clear_command_queue") == 0) {
    int v = tobool(value);
    altuscom_log_message(m, dl, 1,
                         v ? "Clearing external and internal command queue...\n"
                           : "Clearing external command queue...\n");
    clear_command_queue(dl, 1, v);
  }
  altus_cmd_done(altus, dl, request, 1, nullptr, "%s", "");
}

void quit(Kessaro *altus, Pf *request) {
  if (!kessaro_shutdown_claim()) return;  // a shutdown runs already and ends the process
  altuscom_log_message(nullptr, nullptr, 1, "Shutting down due to command.\n");
  kessaro_stop(altus, 0);
  answer_done_program(altus, request);
  elog_notify(0, "%s: Shutdown complete.\n", altus->targetname ? altus->targetname : "");
  kessaro_exit(0);  // the answer is written before the process ends
}

}  // namespace

void (*kessaro_quit_hook)(Kessaro *altus, Pf *request) = quit;

void process_cmd_datalogger(Pf *request, Kessaro *altus, AltusDatalogger *dl, const char *command,
                            int argc, char **argv) {
  (void)command;
  const char *word = argv[0];
  if (strcmp(word, "set") == 0) {
    set_datalogger_key(altus, dl, request, argv[1], argv[2]);
  } else if (strcmp(word, "ping") == 0 || strcmp(word, "mcmd") == 0) {
    std::string text;
    for (int i = 1; i < argc; i++) {
      size_t add = strlen(argv[i]) + (text.empty() ? 0 : 1);
      if (text.size() + add > 511) break;
      if (!text.empty()) text += ' ';
      text += argv[i];
    }
    pfput_string(request, "string", text.c_str());
    altus_post_command(altus, dl, request);
  } else if (strcmp(word, "reboot") == 0) {
    dl->reboot = 1;
    pfput_string(request, "command", "reboot");
    altus_post_command(altus, dl, request);
  } else {
    altus_post_command(altus, dl, request);
  }
}

void process_cmd_dataloggers(Pf *request, Kessaro *altus, const char *command, int argc,
                             char **argv) {
  char *sequence = pfget_string(request, "sequence");
  if (sequence == nullptr) {
    altus_cmd_error(altus, nullptr, request, 1, "parse_param(sequence) error");
    altuscom_log_message(nullptr, nullptr, 1,
                         "process_cmd_dataloggers: parse_param(sequence) error");
    return;
  }
  if (pending_cmd_has(altus, sequence)) {
    altus_cmd_error(altus, nullptr, request, 1, "sequence already in use");
    altuscom_log_message(nullptr, nullptr, 1, "process_cmd_dataloggers: sequence %s already in use",
                         sequence);
    return;
  }
  CmdThread *const cmdthr = altus->cmdthr;
  const char *pattern = cmdthr ? cmdthr->cmd_dlnames : nullptr;
  std::vector<AltusDatalogger *> matched;
  Tbl *dls = valsarr(altus->dltargets_array);
  for (long i = 0; i < maxtbl(dls); i++) {
    auto *dl = static_cast<AltusDatalogger *>(gettbl(dls, i));
    if (pattern == nullptr || strmatches(dl->target_name, pattern, nullptr) == 1)
      matched.push_back(dl);
  }
  freetbl(dls, nullptr);
  if (matched.empty()) {
    altus_cmd_error(altus, nullptr, request, 1, "No dataloggers match '%s'",
                    pattern ? pattern : "");
    altuscom_log_message(nullptr, nullptr, 1, "process_cmd_dataloggers: No dataloggers match '%s'",
                         pattern ? pattern : "");
    return;
  }
  if (pending_cmd_add(altus, sequence, matched) < 0) {
    altus_cmd_error(altus, nullptr, request, 1, "sequence already in use");
    return;
  }
  for (AltusDatalogger *dl : matched) {
    altuscom_log_message(dl->connected_modem, dl, 1, "Processing user command %s", command);
    process_cmd_datalogger(request, altus, dl, command, argc, argv);
  }
}

namespace {

void run_command(Kessaro *altus, const char *command, Pf *request) {
  int argc = 0;
  char **argv = nullptr;
  if (splitlist(command, &argc, &argv) != 0 || argc < 1) {
    altuscom_log_complain(nullptr, nullptr, 1, 0, "cmdthread_callback: splitlist(%s) error.\n",
                          command);
    altus_cmd_error(altus, nullptr, request, 1, "cannot split command");
    if (argv) freeargs(argc, argv);
    return;
  }
  const char *word = argv[0];
  int nargs = argc - 1;
  if (strcmp(word, "quit") == 0) {
    freeargs(argc, argv);
    kessaro_quit_hook(altus, request);
    return;
  }
  if (strcmp(word, "set") == 0) {
    if (nargs < 1) {
      altus_cmd_error(altus, nullptr, request, 1, "no set key");
    } else if (nargs < 2) {
      altus_cmd_error(altus, nullptr, request, 1, "no set value");
    } else if (std::string bad = check_set_number(argv[1], argv[2]); !bad.empty()) {
      altus_cmd_error(altus, nullptr, request, 1, "%s", bad.c_str());
      altuscom_log_message(nullptr, nullptr, 1, "Refusing set %s: %s\n", argv[1], bad.c_str());
    } else if (strcmp(argv[1], "status_interval") == 0) {
      double v = clamp_interval(atof(argv[2]));
      altus->status_interval = v;
      altus->status_report_now = 1;
      altuscom_log_message(nullptr, nullptr, 1, "Setting status_interval to %f...\n", v);
      answer_done_program(altus, request);
    } else if (strcmp(argv[1], "log_poc") == 0) {
      int v = atoi(argv[2]);
      if (v < 0) v = 0;
      altus->log_poc = v;
      altuscom_log_message(nullptr, nullptr, 1, "Setting log_poc to %d...\n", v);
      answer_done_program(altus, request);
    } else if (is_dl_set_key(argv[1])) {
      process_cmd_dataloggers(request, altus, command, argc, argv);
    } else {
      altus_cmd_error(altus, nullptr, request, 1, "unrecognized set key '%s'", argv[1]);
    }
    freeargs(argc, argv);
    return;
  }
  for (const WordRule &r : rules) {
    if (strcmp(word, r.word) != 0) continue;
    if (nargs < r.min) {
      altus_cmd_error(altus, nullptr, request, 1, "%s", r.none_text);
    } else if (r.max >= 0 && nargs > r.max) {
      altus_cmd_error(altus, nullptr, request, 1, r.extra_format, argv[r.max + 1]);
    } else {
      process_cmd_dataloggers(request, altus, command, argc, argv);
    }
    freeargs(argc, argv);
    return;
  }
  altus_cmd_error(altus, nullptr, request, 1, "Unrecognized user command '%s'", word);
  altuscom_log_message(nullptr, nullptr, 1, "Unrecognized user command %s", word);
  freeargs(argc, argv);
}

}  // namespace

int kessaro::cmdthread_callback(CmdThread *cth, void *user, int what, ...) {
  (void)cth;
  auto *altus = static_cast<Kessaro *>(user);
  va_list ap;
  va_start(ap, what);
  if (what == CMDTHREAD_ERROR) {
    int flag = va_arg(ap, int);
    const char *fmt = va_arg(ap, const char *);
    char text[512];
    vsnprintf(text, sizeof text, fmt, ap);
    elog_complain(flag, "%s", text);
  } else if (what == CMDTHREAD_COMMAND) {
    const char *command = va_arg(ap, const char *);
    Pf *request = va_arg(ap, Pf *);
    run_command(altus, command ? command : "", request);
  } else if (what == CMDTHREAD_LINE) {
    const char *text = va_arg(ap, const char *);
    altuscom_log_message(nullptr, nullptr, 1, "%s\n", text ? text : "");
  } else {
    altuscom_log_message(nullptr, nullptr, 1, "cmdthread_callback: Unknown what = %d.\n", what);
  }
  va_end(ap);
  return 0;
}
