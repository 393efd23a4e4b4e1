// muldrin_pocd.h - the point-of-contact listener: one thread per configured source (a UDP
// port receiving C2_POC datagrams, or a ring buffer of point-of-contact parameter-file
// packets). A point of contact names a datalogger by serial number and data port; the
// listener takes over its new address and, as the disposition allows, starts acquisition.
// A source that fails for an hour in a row halts the program.
//
// Locking: each thread uses its own POCDaemon. A new address goes straight into the
// session under its address_mutex (q330_address_announce), which is held only to copy or
// replace the address texts, so a session busy registering never holds up the others of
// the same listener. An announcement carries no signature: an announced address is tried
// in turn with the last one that registered until one of them registers (the session's
// registration does this). Acquisition starts go through q330_start_acquisition, the
// session's own entry for other threads.
#pragma once

#include "muldrin.h"
#include "parse_pf.h"

// Thread body for one POCDaemon; returns once myshutdown_pocds is set. In namespace
// muldrin, as kessaro has a thread body of the same name.
namespace muldrin {
void *run_pocd_thread(void *pocd);
}
// Starts one thread per pocds entry. 0, or -1 when a thread cannot be created.
int muldrin_pocd_start(Muldrin *muldrin);

// The read of a UDP source; udp_read unless a test replaces it.
extern int (*muldrin_pocd_udp_read)(UDP *udp, int local_port, const char *local_ipaddr,
                                    char *recv_hostport, void *buf, int *nbytes, double timeout);

// One received datagram / ring packet, checked and acted on (malformed ones are logged
// and dropped). 0 when acted on, -1 when dropped.
int muldrin_poc_datagram(POCDaemon *pocd, const char *sender, const unsigned char *buf, int nbytes);
int muldrin_poc_ring_packet(POCDaemon *pocd, const char *srcname, double time, const char *packet,
                            int nbytes);
// Steps after decoding: match the datalogger, take over its address, start it.
int muldrin_poc_process(POCDaemon *pocd, const char *sender, const char *sn, unsigned ip,
                        int data_port_number);
// Takes over an announced address (q330_address_announce) and logs and counts the change.
// 1 when the address changed, 0 when it was the one the session heads for already.
int muldrin_poc_set_ipaddress(Q330 *q330, const char *ipaddress);
