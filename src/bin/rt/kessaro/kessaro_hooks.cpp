// kessaro_hooks.cpp - the program's hook record for the Altus interface.
#include "kessaro_hooks.h"

#include "altuscom_hooks.h"
#include "kessaro.h"
#include "kessaro_cmdqueue.h"
#include "kessaro_cmdresp.h"
#include "kessaro_state.h"
#include "kessaro_threads.h"

namespace {

void report_status_now(Kessaro *altus) {
  if (altus != nullptr) altus->status_report_now = 1;
}

int report_pending(Kessaro *altus) { return altus != nullptr && altus->status_report_now != 0; }

void answer(Kessaro *altus, AltusDatalogger *dl, Pf *request, AltuscomAnswer what, int done,
            const char *text) {
  const char *fmt = text != nullptr ? "%s" : nullptr;
  switch (what) {
    case ALTUSCOM_ANSWER_PENDING:
      altus_cmd_pending(altus, dl, request, nullptr, fmt, text);
      break;
    case ALTUSCOM_ANSWER_DONE:
      altus_cmd_done(altus, dl, request, done, nullptr, fmt, text);
      break;
    case ALTUSCOM_ANSWER_DONE_RESPONSE:
      altus_cmd_done_response_string(altus, dl, request, done, fmt, text);
      break;
    case ALTUSCOM_ANSWER_ERROR:
      altus_cmd_error(altus, dl, request, done, fmt, text);
      break;
  }
}

}  // namespace

void kessaro_install(Kessaro *altus) {
  kessaro_glbl = altus;
  if (altus == nullptr) {
    altuscom_install_hooks(nullptr);
    return;
  }
  AltuscomHooks hooks{};
  hooks.program = altus;
  hooks.run_commands = process_commands;
  hooks.write_state = mybury;
  hooks.report_status_now = report_status_now;
  hooks.report_pending = report_pending;
  hooks.stop_writer = altus_write_thread_stop;
  hooks.post_request = post_command_queue;
  hooks.pop_request = pop_command_queue;
  hooks.peek_request = peek_command_queue;
  hooks.clear_requests = clear_command_queue;
  hooks.count_requests = number_command_queue;
  hooks.answer = answer;
  altuscom_install_hooks(&hooks);
}
