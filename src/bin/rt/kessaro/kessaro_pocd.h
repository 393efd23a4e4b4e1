// kessaro_pocd.h - the point-of-contact thread (one per configured source). Not yet
// built: the thread ends at once.
#pragma once

void *run_pocd_thread(void *arg /* POCDaemon * */);
