// Answers to remote requests (placeholder bodies).
#include "kessaro_cmdresp.h"

std::mutex &pending_cmd_mutex(void) {
  static std::mutex m;
  return m;
}
int pending_cmd_add(Kessaro *, const char *, const std::vector<AltusDatalogger *> &) { return 0; }
int pending_cmd_has(Kessaro *, const char *) { return 0; }
std::vector<AltusDatalogger *> pending_cmd_list(Kessaro *, const char *) { return {}; }
void pending_cmd_forget(Kessaro *, AltusDatalogger *, Pf *) {}
int get_done(Kessaro *, AltusDatalogger *, Pf *, int done) { return done; }
int is_internal(Pf *) { return 0; }
void altus_cmd_error(Kessaro *, AltusDatalogger *, Pf *, int, const char *, ...) {}
void altus_cmd_done(Kessaro *, AltusDatalogger *, Pf *, int, Pf *, const char *, ...) {}
void altus_cmd_done_response_string(Kessaro *, AltusDatalogger *, Pf *, int, const char *, ...) {}
void altus_cmd_done_response_pfstring(Kessaro *, AltusDatalogger *, Pf *, int, const char *, ...) {}
void altus_cmd_pending(Kessaro *, AltusDatalogger *, Pf *, Pf *, const char *, ...) {}
