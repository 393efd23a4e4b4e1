// udp.h - datagram endpoints of the Q330 sessions: a UDP socket opened lazily and bound
// to the local port asked for, its destination cache, receive waits in slices, byte
// averagers, a bounded cache of the latest datagrams, a random test drop, verbose dumps,
// and an optional SLIP carrier that frames the datagrams as IPv4/UDP packets on a
// serial line.
//
// Ownership: the creator owns the record (udp_new/udp_free); the record owns its socket
// or serial line, its three averagers and its cache.
// Threads: one reading and one writing thread at a time, plus any thread that copies the
// cache or closes the record. `mutex` guards opening, closing and the descriptor, and the
// error-log output of verbose lines; it is not held while waiting, sending or receiving.
// Instead a reader or writer counts itself in `fd_users` while it uses the descriptor,
// and a close raises `generation`, shuts the socket's receive side down (which wakes a
// reader in its wait) and closes it only once no one uses it: a reader never touches a closed or
// reused descriptor, it returns as on a time-out. `packet_cache_mutex` guards the cache. The two
// are never held together.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "bytestream/serialbuf.h"
#include "taverage.h"

struct Tbl;

// The bytes of the Ethernet, IPv4 and UDP headers around a datagram; every byte count of
// the averagers adds them.
inline constexpr int UDP_HEADER_BYTES = 42;
// Longest SLIP frame (IPv4 and UDP headers and payload) taken from the line.
inline constexpr int UDP_SLIP_FRAME_MAX = 2048;

typedef void (*UDPVerboseCallback)(void *pvt, const char *line);

typedef struct packetcache_ {
  double time;         // when cached
  int type;            // 0 received, 1 sent
  char hostport[256];  // the sender (type 0) or the destination (type 1)
  int size;
  std::vector<unsigned char> packet;  // the datagram's bytes; empty for size 0
} UDPPacketCache;

typedef struct udp_ {
  int fd = -1;  // socket or serial line; -1 closed (or the result of a failed open)
  int local_port = -1;
  char send_hostport[256] = "";  // last destination, "host:port", and its address
  sockaddr_in send_saddr{};
  char recv_hostport[256] = "";  // sender of the last datagram, "a.b.c.d:port"
  sockaddr_in recv_saddr{};
  SerialBuf *slip_buf = nullptr;
  TAverage *bytes_read = nullptr;
  TAverage *bytes_written = nullptr;
  TAverage *datarate = nullptr;
  std::mutex mutex;
  std::condition_variable fd_idle;      // signalled when fd_users drops to 0 or a close ends
  int fd_users = 0;                     // readers and writers using fd now (under mutex)
  bool closing = false;                 // a close waits for the users (under mutex)
  std::atomic<unsigned> generation{0};  // raised by every close
  std::atomic<int> verbose{0};          // 0 silent, > 0 messages, > 1 hexadecimal dumps too
  UDPVerboseCallback verbose_callback = nullptr;
  void *verbose_callback_pvt = nullptr;
  double drop_packet_pcnt = 0;  // percentage of datagrams dropped at random; <= 0 none
  int packet_cache_size = 0;
  std::mutex packet_cache_mutex;
  Tbl *packet_cache = nullptr;  // of UDPPacketCache, newest first
  // 1 while a thread is inside the open, the wait, the send or the receive (hang dumps).
  std::atomic<int> open_call{0}, wait_call{0}, sendto_call{0}, recvfrom_call{0};
} UDP;

int udp_new(UDP **udp);
// Closes and frees the record with its serial line, averagers and cache. 0 (none
// accepted).
int udp_free(UDP *udp);
// Closes the socket or serial line; the next read or write opens it again. A reader
// waiting on the record returns 1 (time-out). 0.
int udp_close(UDP *udp);
// A non-blocking UDP socket with SO_KEEPALIVE and SO_BROADCAST, bound when port > 0 or
// ipaddr is given; with slip_buf, the serial line connected instead. The descriptor, -1
// on failure, -2 when binding fails.
int udp_open(SerialBuf *slip_buf, int port, const char *ipaddr);
// "host:port" (or "broadcast", 255.255.255.255:65535) into *saddr, which must have room
// for a sockaddr_in. 0, or -1 (logged, naming the text).
int udp_setup_ipaddr(const char *hostport, struct sockaddr *saddr);
// Sends one datagram to send_hostport from local_port (the socket re-opened when it is
// bound elsewhere). 1 when it went out or the test drop took it; -1 on failure; or the
// negative result of a failed open.
int udp_write(UDP *udp, int local_port, const char *local_ipaddr, const char *send_hostport,
              const void *buf, int nbytes);
// What udp_read returns (myfdwait: the first four).
enum UdpReadResult : int {
  UDP_READ_FAILED = -1,  // failure (or the negative result of a failed open)
  UDP_READ_OK = 0,       // a datagram (myfdwait: readable)
  UDP_READ_TIMEOUT = 1,  // time-out, or the record was closed meanwhile
  UDP_READ_INTR = 2,     // interrupted by a signal
  UDP_READ_NOTHING = 3,  // nothing there and no wait asked
};
// Receives one datagram into buf; *nbytes is its size on entry and the datagram's on
// return, recv_hostport (room for 256) gets its sender. A negative timeout does not wait.
// An UdpReadResult, or the negative result of a failed open. Zero-length datagrams are
// ignored.
int udp_read(UDP *udp, int local_port, const char *local_ipaddr, char *recv_hostport, void *buf,
             int *nbytes, double timeout);
// Polls fd for input for msec ms of clock time: 0 readable, 1 time-out (or EAGAIN), 2
// interrupted, -1 error or hang-up.
int myfdwait(int fd, int msec);
// Replaces each averager whose bin and window are both above 0 (nbin = twin / tbin, at
// least 1); an averager that exists keeps its address. 0, or -1 (logged).
int udp_setup_averages(UDP *udp, double time, double bytes_read_tbin, double bytes_read_twin,
                       double bytes_written_tbin, double bytes_written_twin, double datarate_tbin,
                       double datarate_twin);

// Packet cache.
// Drops the old cache; a size above 0 starts an empty one. 0.
int udp_new_packet_cache(UDP *udp, int size);
// Caches a copy of the datagram (type 0 received, 1 sent) with the record's sender or
// destination text. 0 (also without a cache), -1 on a bad type or size.
int udp_put_packet_cache(UDP *udp, int type, int size, const void *packet);
// A deep copy of the cache, newest first, for udp_free_packet_cache_tbl; none when there
// is no cache. 0 or -1.
int udp_get_packet_cache(UDP *udp, Tbl **copy);
int udp_free_packet_cache_tbl(Tbl *list);
// Frees the cache; its size becomes 0. 0.
int udp_free_packet_cache(UDP *udp);

// Verbose output, only while verbose > 0. Type 0: (format, values...), a message. Type 1,
// only while verbose > 1: (int size, const void *bytes, const char *prefix, header
// format, values...), a header line then the bytes in lines of 32 " %2.2X". Each line
// goes to the callback, or else to the error log's debug output as "UDP_DEBUG: ". 0.
int udp_print_verbose(UDP *udp, int type, ...);
int udp_set_verbose(UDP *udp, int verbose);

// SLIP carrier. The record's datagrams go over the serial line dev at baud (flow 1:
// RTS/CTS) as IPv4/UDP packets in SLIP frames; timeout (s, negative: none) limits the
// silence of a line read. A reader waiting on the line delays udp_close until its line
// read ends. 0, or -1 (logged).
int udp_setup_slip(UDP *udp, const char *dev, int baud, double timeout);
int udp_setup_slip_with_flow(UDP *udp, const char *dev, int baud, int flow, double timeout);
// Sends one datagram to `to` in a SLIP frame. nbytes, or -1.
int slip_sendto(UDP *udp, const void *buf, int nbytes, const sockaddr_in *to);
// Takes frames from the line until a sound one comes: its payload (cut to nbytes) in
// buf, its sender in *from. The payload length; -2 line time-out; -1 line failure.
int slip_recvfrom(UDP *udp, void *buf, int nbytes, sockaddr_in *from);
// SLIP framing, byte by byte: the frame so far, and whether an escape is pending or the
// frame is spoilt (a bad escape, or more than UDP_SLIP_FRAME_MAX bytes).
struct SlipDecoder {
  std::vector<unsigned char> frame;
  bool esc = false;
  bool bad = false;
};
// Takes one byte from the line: 1 when it ends a frame (unescaped in d->frame; the caller
// clears it), -1 when it ends a spoilt frame (dropped), 0 otherwise.
int slip_decode_byte(SlipDecoder *d, unsigned char c);
// Checks an unescaped frame as an IPv4/UDP packet: 0 with the payload's offset and length
// and the sender; -1 with the reason in *why for a frame to drop (shorter than the 28
// header bytes, not IPv4/UDP, a fragment, header or UDP length disagreeing with the
// frame, a checksum mismatch).
int slip_parse_frame(const unsigned char *frame, int size, int *payload, int *length,
                     sockaddr_in *from, std::string *why);
// The RFC 1071 Internet checksum of len bytes, in host order.
uint16_t in_cksum(const void *data, int len);
