// altuscom_hooks.cpp - the installed hook record and the calls through it.
#include "altuscom_hooks.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/textutil.h"
#include "kessaro.h"

namespace {

AltuscomHooks g_hooks{};

}  // namespace

void altuscom_install_hooks(const AltuscomHooks *hooks) {
  g_hooks = hooks != nullptr ? *hooks : AltuscomHooks{};
}

const AltuscomHooks &altuscom_hooks(void) { return g_hooks; }

Kessaro *altuscom_program(void *userdata) {
  return userdata != nullptr ? static_cast<Kessaro *>(userdata) : g_hooks.program;
}

int altuscom_run_commands(Kessaro *altus, AltusDatalogger *dl) {
  return g_hooks.run_commands != nullptr ? g_hooks.run_commands(altus, dl) : 0;
}

int altuscom_write_state(Kessaro *altus) {
  return g_hooks.write_state != nullptr ? g_hooks.write_state(altus) : 0;
}

void altuscom_report_status_now(Kessaro *altus) {
  if (g_hooks.report_status_now != nullptr) g_hooks.report_status_now(altus);
}

int altuscom_report_pending(Kessaro *altus) {
  return g_hooks.report_pending != nullptr ? g_hooks.report_pending(altus) : 0;
}

int altuscom_stop_writer(Kessaro *altus) {
  return g_hooks.stop_writer != nullptr ? g_hooks.stop_writer(altus) : 0;
}

int altuscom_post_request(AltusDatalogger *dl, Pf *request, int internal) {
  return g_hooks.post_request != nullptr ? g_hooks.post_request(dl, request, internal) : 0;
}

int altuscom_pop_request(AltusDatalogger *dl, Pf **request) {
  if (g_hooks.pop_request != nullptr) return g_hooks.pop_request(dl, request);
  *request = nullptr;
  return 0;
}

int altuscom_peek_request(AltusDatalogger *dl, Pf **request) {
  if (g_hooks.peek_request != nullptr) return g_hooks.peek_request(dl, request);
  *request = nullptr;
  return 0;
}

int altuscom_clear_requests(AltusDatalogger *dl, int external, int internal) {
  return g_hooks.clear_requests != nullptr ? g_hooks.clear_requests(dl, external, internal) : 0;
}

int altuscom_count_requests(AltusDatalogger *dl, int try_) {
  return g_hooks.count_requests != nullptr ? g_hooks.count_requests(dl, try_) : 0;
}

void altuscom_answer(Kessaro *altus, AltusDatalogger *dl, Pf *request, AltuscomAnswer what,
                     int done, const char *fmt, ...) {
  if (g_hooks.answer == nullptr) return;
  if (fmt == nullptr) {
    g_hooks.answer(altus, dl, request, what, done, nullptr);
    return;
  }
  va_list ap;
  va_start(ap, fmt);
  std::string text = string_vprintf(fmt, ap);
  va_end(ap);
  g_hooks.answer(altus, dl, request, what, done, text.c_str());
}

void altuscom_progress(AltusDatalogger *dl, Pf *request, const char *fmt, ...) {
  if (dl == nullptr || request == nullptr || g_hooks.answer == nullptr) return;
  char text[1024];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  g_hooks.answer(static_cast<Kessaro *>(dl->userdata), dl, request, ALTUSCOM_ANSWER_PENDING, 0,
                 text);
}
