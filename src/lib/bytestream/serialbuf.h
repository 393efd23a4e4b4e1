// serialbuf.h - byte-stream devices: one record over a serial line (optionally with a
// modem on it), a TCP client connection, or a listening TCP server and the connection it
// accepts.
//
// Life cycle: a maker (serialbuf_create_serial, _tcpclient, _tcpserver); optionally
// serialbuf_set_modem_control; serialbuf_connect (which opens a closed record itself) or,
// for a TCP server, serialbuf_open and serialbuf_connect_tcpserver once per client; byte
// reads, pattern waits and writes; serialbuf_disconnect; serialbuf_destroy or
// serialbuf_free. States: 1 closed, 2 open, 3 connected.
//
// Ownership: the record owns its device path, address, modem texts, input buffer and
// line buffer (copies made here, freed by serialbuf_free); it never reads `userdata` or
// the callbacks' user data. A record made by serialbuf_connect_tcpserver belongs to the
// caller.
//
// Read results (byte reads, pattern waits, modem strings, modem steps of connect): the
// SerialbufResult codes below. Note that the block layer above numbers its own results
// differently (its 1 is end of input, its 2 a time-out).
//
// Locking: the layer starts no thread. `mutex_comm` is held by a byte read for its whole
// run (waits and callbacks included) and by serialbuf_putback_bytes; `mutex_readwrite`
// is held around each device read, each device write, the data-rate callback and the
// traffic echo. The order is always mutex_comm, then mutex_readwrite, so one thread may
// write while another waits for input. Pattern waits take mutex_comm one byte at a time,
// so they are consistent only while one thread reads the record. The life-cycle calls
// (open, connect, disconnect, close, clear) take no lock for their own work: one thread
// at a time drives them. Callbacks run with a lock of the record held and must not read
// from or write to the same record.
// The one exception to "no thread": a TCP client's name lookup runs on a detached thread
// of its own, which ends by itself when its caller has stopped waiting.
#pragma once

#include <cstdint>
#include <mutex>

// Device kinds (com_mode).
enum SerialbufKind : int {
  SERIALBUF_SERIAL = 1,
  SERIALBUF_TCPCLIENT = 2,
  SERIALBUF_TCPSERVER = 3,
};

// Modem control (modem_control).
enum SerialbufModemControl : int {
  SERIALBUF_MODEM_NONE = 1,    // no modem dialogue
  SERIALBUF_MODEM_LOCAL = 2,   // modem on a serial line whose control lines are used
  SERIALBUF_MODEM_REMOTE = 3,  // modem driven by text strings alone
};

// States (state).
enum SerialbufState : int {
  SERIALBUF_CLOSED = 1,
  SERIALBUF_OPEN = 2,
  SERIALBUF_CONNECTED = 3,
};

// Results of the read path: byte reads, pattern waits, modem strings, and the modem steps
// of serialbuf_connect and serialbuf_disconnect. The functions return int; these are its
// values.
enum SerialbufResult : int {
  SERIALBUF_FAULT = -1,     // fault (logged)
  SERIALBUF_OK = 0,         // success: a byte, or the pattern
  SERIALBUF_TIMEOUT = 1,    // time-out
  SERIALBUF_EOF = 2,        // end of input: the device read returned no bytes
  SERIALBUF_STOPPED = 3,    // stopped by the idle callback
  SERIALBUF_NOCARRIER = 4,  // not connected, or the carrier was lost
  SERIALBUF_BUSY = 5,       // the modem's busy text was seen
  SERIALBUF_SECOND = 6,     // a two-pattern wait saw its second pattern
};

// Idle-callback phases, and what the callback returns to stop the wait.
enum SerialbufIdlePhase : int {
  SERIALBUF_IDLE_WAITED = 0,  // after every one-second wait (intr 1)
  SERIALBUF_IDLE_EMPTY = 1,   // after a one-second wait that brought nothing (intr 2)
};

// Traffic-line codes of the log callback.
enum SerialbufLogCode : int {
  SERIALBUF_LOG_READ = 1,     // text read
  SERIALBUF_LOG_WRITTEN = 2,  // text written
};

// Directions of the data-rate callback.
enum SerialbufDirection : int {
  SERIALBUF_WROTE = 1,
  SERIALBUF_READ = 2,
};

// Longest pattern, modem string or dial text (characters).
constexpr int SERIALBUF_PATTERN_MAX = 511;
// Longest line the text echo modes assemble before they pass it on unfinished.
constexpr int SERIALBUF_LINE_MAX = 4094;

// Called while a byte read waits in interruptible mode with a SerialbufIdlePhase.
// Returning SERIALBUF_STOPPED stops the wait.
typedef int (*SerialbufIdleCallback)(void *userdata1, int phase);
// Receives assembled traffic lines with a SerialbufLogCode.
typedef int (*SerialbufLogCallback)(void *userdata2, void *userdata3, const char *line, int code);
// Called after each device write or read that moved bytes (SerialbufDirection).
typedef int (*SerialbufDatarateCallback)(void *userdata4, int direction, int nbytes);

typedef struct serial_buf_ {
  int com_mode;
  int modem_control;
  char *dev;  // serial device path (owned)
  int baud;
  int flow;      // 1 = RTS/CTS hardware flow control
  char *ipaddr;  // TCP client: host name or dotted address (owned)
  int port;
  char *dialout_string_prefix;  // the eleven modem texts are owned; null or "" = unset
  char *dialout_string_suffix;
  char *listen_string;
  char *nolisten_string;
  char *hangup_string;
  char *attention_string;
  char *ring_rec_string;
  char *busy_rec_string;
  char *connect_rec_string;
  char *offhook_rec_string;
  char *attention_rec_string;
  int busy_rec_string_size;
  int offhook_rec_string_size;
  int busy_rec_string_ptr;     // characters of the busy text matched so far
  int offhook_rec_string_ptr;  // characters of the off-hook text matched so far
  int state;
  int connecting;      // 1 while serialbuf_connect runs a modem step
  unsigned char *buf;  // input buffer of size + 20 bytes (owned)
  int ptr;             // next byte to hand out
  int size;            // bytes asked of each device read
  int occupied;        // bytes the last device read put in buf
  int next_bad;
  int timeout;          // ms: silence limit of a byte read, limit of a pattern wait; < 1 none
  int timeout_connect;  // ms: limit while dialling or connecting
  int timeout_control;  // ms: kept for the user
  // clock_monotonic() seconds at which every byte read that has to wait for the device
  // ends as a time-out (result 1), whatever `timeout` allows; 0 none. Set and cleared by
  // the thread that reads the record (or before that thread starts).
  double deadline;
  int fd;
  int fdserver;
  int sleep;  // microseconds paused before each device read
  int tries;  // kept for the user
  std::mutex mutex_comm;
  std::mutex mutex_readwrite;
  void *userdata;
  SerialbufIdleCallback idle_callback;
  SerialbufLogCallback log_callback;
  SerialbufDatarateCallback datarate_callback;
  void *userdata1;
  void *userdata2;
  void *userdata3;
  void *userdata4;
  char *line;  // line-assembly buffer of the echo modes (owned), NUL-terminated
  int line_size;
  int verbose;
  int rverbose;  // traffic echo: 0 none, 1 dump, 2 raw, 3 read lines, 4 written lines, 5 hex
  int wverbose;  // nonzero: modem strings written are dumped to standard output
  int errors;
  int packets;
  char recv_hostport[256];  // accepted client: "a.b.c.d:port"
  // Kept for the datagram transport's SLIP carrier; never read here.
  uint16_t slip_identification;
  uint16_t slip_port_src;
  uint16_t slip_port_dst;
  uint32_t slip_ipaddr_src;
  uint32_t slip_ipaddr_dst;
} SerialBuf;

// Makers. Each returns a closed record, or null (logged) on failure. size must be 1 or
// more.
SerialBuf *serialbuf_create(int size, int timeout, int timeout_connect, int timeout_control,
                            int sleep, int tries, SerialbufIdleCallback idle_callback,
                            void *userdata1, SerialbufLogCallback log_callback, void *userdata2,
                            void *userdata3, SerialbufDatarateCallback datarate_callback,
                            void *userdata4);
SerialBuf *serialbuf_create_serial(const char *dev, int baud, int flow, int size, int timeout,
                                   int timeout_control, int sleep, int tries,
                                   SerialbufIdleCallback idle_callback, void *userdata1,
                                   SerialbufLogCallback log_callback, void *userdata2,
                                   void *userdata3, SerialbufDatarateCallback datarate_callback,
                                   void *userdata4);
SerialBuf *serialbuf_create_tcpclient(const char *ipaddr, int port, int size, int timeout,
                                      int timeout_control, int tries,
                                      SerialbufIdleCallback idle_callback, void *userdata1,
                                      SerialbufLogCallback log_callback, void *userdata2,
                                      void *userdata3, SerialbufDatarateCallback datarate_callback,
                                      void *userdata4);
SerialBuf *serialbuf_create_tcpserver(int port, int size, int timeout, int timeout_control,
                                      int tries, SerialbufIdleCallback idle_callback,
                                      void *userdata1, SerialbufLogCallback log_callback,
                                      void *userdata2, void *userdata3,
                                      SerialbufDatarateCallback datarate_callback, void *userdata4);

// Stores the modem texts (null leaves a text as it was) and selects modem control: 2
// (control lines, serial records only) or 3 (texts alone). 0, or -1 when control lines
// are asked of a record that is not a serial line (nothing changed) or a copy fails.
int serialbuf_set_modem_control(SerialBuf *buf, int use_modem_control_lines, int timeout_connect,
                                const char *attention_string, const char *hangup_string,
                                const char *listen_string, const char *nolisten_string,
                                const char *dialout_string_prefix,
                                const char *dialout_string_suffix, const char *attention_rec_string,
                                const char *ring_rec_string, const char *busy_rec_string,
                                const char *connect_rec_string, const char *offhook_rec_string);
// Back to no modem dialogue; the texts stay stored. 0.
int serialbuf_clear_modem_control(SerialBuf *buf);

// Opens the serial line, connects the TCP client, or binds and listens on the server
// port: 0 and state 2; -1 (logged) and state 1 on failure. A TCP client waits for its
// name lookup (none for a dotted address) and then its connect, which `timeout_connect`
// bounds (below 1: no limit), in one-second slices after each of which the idle callback
// (phase 0) may stop the wait with 3: the open then fails.
int serialbuf_open(SerialBuf *buf);
// Makes the record connected (state 3): opens it when closed, disconnects it first when
// connected, accepts one client on a TCP server, and runs the modem dialogue: dialling
// phone_number (listen 0) or answering a call (listen non-zero). 0, -1, or a read result.
int serialbuf_connect(SerialBuf *buf, int listen, const char *phone_number);
// Waits for one client on a listening TCP server and returns a new connected TCP-client
// record for it (the caller owns it), or null (logged) on failure or when the idle
// callback stopped the wait.
SerialBuf *serialbuf_connect_tcpserver(SerialBuf *buf);
// Ends a connection: the modem's hang-up texts, then the line dropped. 0 (also when not
// connected), -1, or the result of a hang-up text that failed (the line is dropped all
// the same).
int serialbuf_disconnect(SerialBuf *buf);
// Closes the descriptors; state 1. 0.
int serialbuf_close(SerialBuf *buf);
// Reads and drops whatever arrives for 2 s (or until end of input), then empties the
// input buffer, the line buffer and the text watchers. 0.
int serialbuf_clear(SerialBuf *buf);
// Disconnects, closes and frees the record. 0 (also for null).
int serialbuf_destroy(SerialBuf *buf);
// Frees the record and what it owns without closing anything; nothing for null.
void serialbuf_free(SerialBuf *buf);

// Pauses usec microseconds. 0.
int serialbuf_usleep(int usec);
// Drops DTR on a serial line (speed 0 until the line is opened again): 0, or -1.
int serialbuf_hangup(int fd);

// One byte into *byte. intr 0 plain, 1 idle callback (phase 0) after every one-second
// wait, 2 idle callback (phase 1) after each empty one-second wait. Results 0 to 5 or -1;
// *byte is set whenever a byte was taken, also when the watcher then reports 4 or 5.
int serialbuf_get_byte(SerialBuf *buf, unsigned char *byte, int intr);
// The watcher of the modem's busy and carrier-lost texts, run on every byte handed out:
// 0, 4 (carrier lost while connected: state 2, buffered input dropped) or 5 (busy).
int serialbuf_process_rec_strings(SerialBuf *buf, unsigned char byte);
// One device read (no echo): bytes read, 0 at end of input, negative on error.
int serialbuf_read(SerialBuf *buf, void *data, int nbytes);
// One device write, echoed by rverbose: bytes written (a short count is not retried), or
// negative on error.
int serialbuf_write(SerialBuf *buf, const void *data, int nbytes);
// The n bytes become the next bytes handed out, ahead of the unread input. 0, or -1 when
// they do not fit in the input buffer (nothing changed).
int serialbuf_putback_bytes(SerialBuf *buf, const unsigned char *bytes, int n);

// Pattern waits. `until` is cut at every "~" into pieces awaited one after the other
// (empty pieces do not count); a null or empty pattern gives 0 at once; a pattern over
// SERIALBUF_PATTERN_MAX characters gives -1.
// Each piece within `timeout` of its start: 0, 1, or a byte-read result.
int serialbuf_read_until(SerialBuf *buf, const char *until);
// No clock limit; the idle callback (phase 1) may stop the wait: 0 or a byte-read result.
int serialbuf_read_until_intr(SerialBuf *buf, const char *until);
// Either of two whole patterns (no pieces), within twice `timeout`: 0 for `until`, 6 for
// `until2`, 1, or a byte-read result. Both must be non-empty, else 0 at once.
int serialbuf_read_until2(SerialBuf *buf, const char *until, const char *until2);
int serialbuf_read_until2_intr(SerialBuf *buf, const char *until, const char *until2);
// As serialbuf_read_until, also keeping in `value` the text received before the last
// piece (after the previous one): its latest len_value - 1 characters, NUL-terminated.
// value is emptied first. -1 for a len_value below 1; 1 when the whole wait outlasts ten
// times `timeout` (a peer that talks on without sending the pattern).
int serialbuf_read_until_parse(SerialBuf *buf, const char *until, char *value, int len_value);
// Writes `string`, pausing N seconds wherever it holds "<sl=N>", then waits for
// `response` (pieces at "~"); on a miss tries again after 2 s, `tries` attempts in all.
// 0 for an empty string or when the response came; 4 when not connected (nothing
// written); 1 time-out; another read result; -1 for a malformed or over-long string or a
// failed write.
int serialbuf_send_modem_string(SerialBuf *buf, const char *string, const char *response,
                                int tries);
