// Stream acquisition: the calls the block operations make. Without a stream handler
// there is nothing to pause, continue or flush.
#include "altuscomsubs_stream.h"

void altuscom_process_stream_pause(void *) {}

void altuscom_process_stream_continue(void *) {}

int altuscom_flush_stream_packet(void *, void *, int, int) { return 0; }
