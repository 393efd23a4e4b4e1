// The command queue and the dispatcher (placeholder bodies).
#include "kessaro_cmdqueue.h"

int post_command_queue(AltusDatalogger *, Pf *, int) { return -1; }
int pop_command_queue(AltusDatalogger *, Pf **command) {
  *command = nullptr;
  return 0;
}
int peek_command_queue(AltusDatalogger *, Pf **command) {
  *command = nullptr;
  return 0;
}
int clear_command_queue(AltusDatalogger *, int, int) { return 0; }
int number_command_queue(AltusDatalogger *, int) { return 0; }
void altus_post_command(Kessaro *, AltusDatalogger *, Pf *) {}
void cmd_pending(AltusDatalogger *, Pf *, const char *, ...) {}
int process_commands(Kessaro *, AltusDatalogger *) { return 0; }
void process_command(Kessaro *, AltusDatalogger *, Pf *) {}
