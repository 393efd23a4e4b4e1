// Answers to remote requests. See kessaro_cmdresp.h.
#include "kessaro_cmdresp.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "altuscomsubs_log.h"
#include "base/arr.h"
#include "base/elog.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "ringsvc/cmdthread.h"

namespace {

// Text buffers of the answers: pending and error texts, response texts.
constexpr size_t LOG_TEXT_SIZE = 1024;
constexpr size_t RESPONSE_TEXT_SIZE = 8192;

std::string format_cut(size_t size, const char *fmt, va_list ap) {
  std::string out(size, '\0');
  int n = vsnprintf(&out[0], size, fmt, ap);
  if (n < 0) n = 0;
  out.resize(static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1);
  return out;
}

// The list of `sequence`, or none. Caller holds pending_cmd_mutex.
Tbl *pending_list(Kessaro *altus, const char *sequence) {
  if (altus == nullptr || altus->pending_cmd_arr == nullptr || sequence == nullptr) return nullptr;
  return static_cast<Tbl *>(getarr(altus->pending_cmd_arr, sequence));
}

// What pending_remove did.
enum PendingRemoved : int { PENDING_NONE = -2, PENDING_KEPT = 0, PENDING_DELETED = 1 };

// Removes the first occurrence of dl from the list of `sequence`; deletes the entry when
// its list becomes empty (PENDING_DELETED), else keeps it (PENDING_KEPT); PENDING_NONE
// when there was no entry. Caller holds pending_cmd_mutex.
int pending_remove(Kessaro *altus, AltusDatalogger *dl, const char *sequence) {
  Tbl *list = pending_list(altus, sequence);
  if (list == nullptr) return PENDING_NONE;
  for (long i = 0; i < maxtbl(list); i++) {
    if (gettbl(list, i) == dl) {
      deltbl(list, i);
      break;
    }
  }
  if (maxtbl(list) > 0) return PENDING_KEPT;
  delarr(altus->pending_cmd_arr, sequence);
  freetbl(list, nullptr);
  return PENDING_DELETED;
}

char *request_sequence(Pf *request) {
  char *sequence = nullptr;
  if (parse_param(request, "sequence", P_STR, 1, &sequence) < 0) {
    free(sequence);
    return nullptr;
  }
  return sequence;
}

void send(Kessaro *altus, AltusDatalogger *dl, Pf *request, Pf *response, const char *disposition) {
  const char *dlname = nullptr, *dlserial = nullptr, *dlcom = nullptr;
  if (dl) {
    dlname = dl->target_name;
    dlserial = dl->serial_name;
    if (dl->connected_modem) dlcom = dl->connected_modem->name;
  }
  if (altus && altus->cmdthr)
    cmdthread_send_rsp(altus->cmdthr, request, dlname, dlserial, dlcom, response, disposition);
  pffree(response);
}

// The text of a caller's response tree, ending in a newline ("" for none).
std::string response_text(Pf *response) {
  std::string head;
  if (response) {
    char *t = pf2string(response);
    if (t) head = t;
    free(t);
  }
  if (!head.empty() && head.back() != '\n') head += '\n';
  return head;
}

// The response tree of a wrapped text, or none when it does not compile.
Pf *compile_wrapped(const std::string &head, const std::string &text) {
  std::string all = head + "\n" + text + "}\n";
  Pf *pf = nullptr;
  if (pfcompile(all.c_str(), &pf) < 0) {
    pffree(pf);
    elog_clear_register(0);
    return nullptr;
  }
  return pf;
}

// The shared path of the final answers.
void answer(Kessaro *altus, AltusDatalogger *dl, Pf *request, int done, Pf *response,
            const char *wrap, size_t size, const char *fmt, va_list ap, bool error) {
  Pf *tree = nullptr;
  if (fmt) {
    std::string text = format_cut(size, fmt, ap);
    tree = compile_wrapped(response_text(response) + wrap, text);
  }
  int final_answer = get_done(altus, dl, request, done);
  const char *disposition =
      final_answer != 0 ? (error ? "error" : "done") : (error ? "errordl" : "donedl");
  send(altus, dl, request, tree, disposition);
}

}  // namespace

std::mutex &pending_cmd_mutex(void) {
  static std::mutex m;
  return m;
}

int pending_cmd_add(Kessaro *altus, const char *sequence,
                    const std::vector<AltusDatalogger *> &dls) {
  std::lock_guard<std::mutex> g(pending_cmd_mutex());
  if (altus->pending_cmd_arr == nullptr) altus->pending_cmd_arr = newarr(nullptr);
  if (getarr(altus->pending_cmd_arr, sequence)) return -1;
  Tbl *list = newtbl(static_cast<long>(dls.size()));
  for (AltusDatalogger *dl : dls) pushtbl(list, dl);
  setarr(altus->pending_cmd_arr, sequence, list);
  return 0;
}

int pending_cmd_has(Kessaro *altus, const char *sequence) {
  std::lock_guard<std::mutex> g(pending_cmd_mutex());
  return pending_list(altus, sequence) ? 1 : 0;
}

std::vector<AltusDatalogger *> pending_cmd_list(Kessaro *altus, const char *sequence) {
  std::lock_guard<std::mutex> g(pending_cmd_mutex());
  std::vector<AltusDatalogger *> out;
  Tbl *list = pending_list(altus, sequence);
  for (long i = 0; i < maxtbl(list); i++)
    out.push_back(static_cast<AltusDatalogger *>(gettbl(list, i)));
  return out;
}

void pending_cmd_forget(Kessaro *altus, AltusDatalogger *dl, Pf *request) {
  if (is_internal(request)) return;
  char *sequence = nullptr;
  if (parse_param(request, "sequence", P_STR, 0, &sequence) < 0 || sequence == nullptr) {
    free(sequence);
    elog_clear_register(0);
    return;
  }
  {
    std::lock_guard<std::mutex> g(pending_cmd_mutex());
    pending_remove(altus, dl, sequence);
  }
  free(sequence);
}

int get_done(Kessaro *altus, AltusDatalogger *dl, Pf *request, int done) {
  char *sequence = request_sequence(request);
  if (sequence == nullptr) {
    elog_clear_register(0);
    altuscom_log_message(nullptr, nullptr, 1, "get_done: parse_param(sequence) error");
    return -1;
  }
  // An answer without a datalogger is the program's own refusal of the request (a
  // sequence already pending, for one): it is final for its requester and leaves the
  // dataloggers that still owe theirs alone.
  if (dl == nullptr) {
    free(sequence);
    return done;
  }
  int r;
  {
    std::lock_guard<std::mutex> g(pending_cmd_mutex());
    r = pending_remove(altus, dl, sequence);
  }
  free(sequence);
  return r == PENDING_NONE ? done : r;
}

int is_internal(Pf *request) {
  int internal = 0;
  if (parse_param(request, "internal_only", P_LINT, 0, &internal) < 0) {
    elog_clear_register(0);
    return 0;
  }
  return internal;
}

void altus_cmd_error(Kessaro *altus, AltusDatalogger *dl, Pf *request, int done, const char *fmt,
                     ...) {
  if (is_internal(request)) return;
  va_list ap;
  va_start(ap, fmt);
  answer(altus, dl, request, done, nullptr, "log &Literal{", LOG_TEXT_SIZE, fmt, ap, true);
  va_end(ap);
}

void altus_cmd_done(Kessaro *altus, AltusDatalogger *dl, Pf *request, int done, Pf *response,
                    const char *fmt, ...) {
  if (is_internal(request)) return;
  va_list ap;
  va_start(ap, fmt);
  answer(altus, dl, request, done, response, "log &Literal{", LOG_TEXT_SIZE, fmt, ap, false);
  va_end(ap);
}

void altus_cmd_done_response_string(Kessaro *altus, AltusDatalogger *dl, Pf *request, int done,
                                    const char *fmt, ...) {
  if (is_internal(request)) return;
  va_list ap;
  va_start(ap, fmt);
  answer(altus, dl, request, done, nullptr, "response &Literal{", RESPONSE_TEXT_SIZE, fmt, ap,
         false);
  va_end(ap);
}

void altus_cmd_done_response_pfstring(Kessaro *altus, AltusDatalogger *dl, Pf *request, int done,
                                      const char *fmt, ...) {
  if (is_internal(request)) return;
  va_list ap;
  va_start(ap, fmt);
  answer(altus, dl, request, done, nullptr, "response &Arr{", RESPONSE_TEXT_SIZE, fmt, ap, false);
  va_end(ap);
}

void altus_cmd_pending(Kessaro *altus, AltusDatalogger *dl, Pf *request, Pf *response,
                       const char *fmt, ...) {
  if (is_internal(request)) return;
  Pf *tree = nullptr;
  if (fmt) {
    va_list ap;
    va_start(ap, fmt);
    std::string text = format_cut(LOG_TEXT_SIZE, fmt, ap);
    va_end(ap);
    tree = compile_wrapped(response_text(response) + "log &Literal{", text);
  }
  send(altus, dl, request, tree, "pending");
}
