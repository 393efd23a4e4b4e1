// Stream acquisition: the calls the block operations make. Without a stream handler
// there is nothing to pause, continue or flush.
#include "altuscomsubs_stream.h"

#include "altuscomsubs_log.h"
#include "kessaro.h"

void altuscom_process_stream_pause(void *) {}

void altuscom_process_stream_continue(void *) {}

int altuscom_flush_stream_packet(void *, void *, int, int) { return 0; }

int getstream0(Modem *modem, Pf *) {
  altuscom_log_complain(modem, modem ? modem->connected_dl : nullptr, 1, 0,
                        "getstream0: streaming not available.\n");
  return -1;
}
