// altussim_block.h - a simulated Altus datalogger in block mode, serving one byte stream:
// a TCP server on a free loopback port, a TCP client that connects out, or any
// descriptor given to it (the master of a pseudo-terminal, one end of a socket pair).
//
// Written from the protocol alone, apart from the program under test: its own framer and
// unstuffer, a bitwise CRC-16 and its own stream-sample encoder.
//
// One service thread reads frames, checks both sums (a bad packet is ignored), and
// answers with the command's sequence number. Scripts and knobs are set before start()
// or under the record's mutex through the setters; the counters are read with
// commands(). Unsolicited packets (messages, alarms, stream packets) queued with
// push_unsolicited go out before the next reply, so they arrive mid-transaction.
//
// The simulator starts in block mode. Four backslashes and a carriage return (outside a
// frame, in any mode) bring it to its text console ("monitor mode", prompt "\r\n* "),
// which answers lines ended by a carriage return (altussim_console.cpp): "ver", "aq off",
// "aq on", "cd A:\", "blockmode", "sys res", "callmode", "wipedisk <drive>", and a reply
// text and the prompt for any other line. Frames are not answered in the console.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "altussim_evtwriter.h"

namespace altussim {

using Bytes = std::vector<unsigned char>;

// Wire helpers of the simulator's own.
uint16_t crc16(const unsigned char *p, size_t n);  // bitwise CRC-16/XMODEM
Bytes packet(int type, int seq, const Bytes &data);
Bytes frame(const Bytes &packet);
// Stream-sample encoding: the first sample absolute (3 bytes), then 2-byte differences
// where the halved difference fits 15 bits, else absolutes. Samples must be even.
Bytes encode_samples(const std::vector<int32_t> &samples);
// A whole PKR_STRDATA / PKR_STRRQDATA payload with its CRC.
Bytes strdata_payload(int serial, int stream, uint32_t seq, uint32_t altustime, int msec,
                      const std::vector<int32_t> &samples);
// One 22-byte directory entry.
Bytes direntry(const std::string &name, const std::string &ext, uint32_t size, uint32_t time,
               int attr);
// A path in the simulator's form: upper case, no trailing backslash ("a:\\d\\" -> "A:\\D").
std::string norm(const std::string &p);
// A PKR_ACK payload for `cmd`: success or refusal, with the text (and its NUL) when given.
Bytes ack(int cmd, bool ok, const std::string &text = "");

// What to do to the reply of a command, for its n-th occurrence (1 = first; 0 = every).
struct Fault {
  enum Kind { DROP, WRONG_SEQ, BAD_HEADER_SUM, BAD_DATA_SUM, DUPLICATE, DELAY, STALE_STRCTRL_ACK };
  int command;
  int nth;
  Kind kind;
  double delay = 0;  // DELAY: clock seconds before the reply
};

// A scripted reply: the payloads of the packets (type given) sent one per request, e.g.
// a listing sent in pieces, each piece answering one GETDIR.
struct Script {
  int type;
  std::vector<Bytes> pieces;
  std::vector<double> delays;  // clock seconds before each piece (missing: none)
};

class Sim {
 public:
  Sim();
  ~Sim();
  Sim(const Sim &) = delete;
  Sim &operator=(const Sim &) = delete;

  // Binds host:port (a loopback address; port 0: a free one); the port or -1. Called
  // again, it listens on another address as well, the first connection on any of them
  // being served.
  int listen_tcp(int port = 0, const char *host = "127.0.0.1");
  int connect_tcp(int port);  // connects to 127.0.0.1:port; 0 or -1
  void use_fd(int fd);        // serves this descriptor (not closed by the simulator)
  void start();
  void stop();
  // A TCP server that lost its connection takes the next one, streams and files as they
  // were; a terminal line given to use_fd whose far end closed is served again when it
  // opens again (set before start; off: the service thread ends with the first
  // connection).
  void set_serve_again(bool on) { serve_again_ = on; }
  // The local "host:port" of each connection accepted so far, in order.
  std::vector<std::string> accepted();

  void set_serial(int serial) { serial_ = serial; }
  void set_station(const std::string &s) { station_ = s; }
  void add_fault(const Fault &f);
  void set_script(int command, const Script &s);
  void push_unsolicited(int type, const Bytes &payload);
  // Sends one packet at once, from the caller's thread, outside any transaction.
  void send_now(int type, const Bytes &payload);
  // Writes the next frames in small pieces of 1 to 7 bytes.
  void set_chunked(bool on) { chunked_ = on; }
  // Raw bytes written ahead of the next reply (noise, runs of 0xC0, long junk).
  void push_raw(const Bytes &b);
  // Closes the connection after the n-th command received.
  void drop_line_after(int n) { drop_after_ = n; }

  // File system of drives A: and B: (paths like "A:\\D\\E0001.EVT"; roots "A:" and "B:"
  // always exist). Directories are listed in the order they were added.
  void add_dir(const std::string &path, int attr = 0x10, uint32_t time = 0);
  void add_file(const std::string &path, const Bytes &data, int attr = 0x20, uint32_t time = 0);
  // Adds an entry as given (a directory entry with a non-zero size, odd attributes).
  void add_entry(const std::string &path, uint32_t size, int attr, uint32_t time = 0);
  bool exists(const std::string &path);
  // Parameter store: the header GETPARAMS sends (big-endian, 2040 or 2736 bytes) and the
  // last one SETPARAMS stored.
  void set_params(const Bytes &hdr);
  Bytes params();
  bool acquiring();
  // Refusals: OPENFILE refused (with the text, or without one when empty); SETPARAMS
  // refused likewise.
  void refuse_open(bool on, const std::string &text = "");
  // OPENDIR of this directory is refused with the text (it stays listed in its parent).
  void refuse_dir(const std::string &path, const std::string &text = "access denied");
  // Below `root` (itself a directory added before) every directory holds `fanout`
  // sub-directories D0, D1, ... and one file F.EVT of a few bytes, without end: a hostile
  // tree. 0 ends it.
  void set_endless_tree(const std::string &root, int fanout);
  int opendirs();  // OPENDIR requests received
  // A hostile peer on the line: from `after` clock seconds past the first connection, for
  // `seconds`, `per_second` short, well-framed packets of random types and contents (of
  // 0 to 16 bytes) go out between the replies; at most per_second x seconds in all (set
  // before start).
  void set_flood(int per_second, double seconds, double after);
  long flood_sent() const { return flood_sent_.load(); }
  void refuse_setparams(bool on, const std::string &text = "");
  // GETPARAMS is refused (with a text) its first n times from now and at the listed
  // occurrences (1 = the first from now).
  void fail_getparams(int n, const std::vector<int> &at = {});

  std::vector<std::pair<int, int>> commands();  // (type, seqNo) of each sound command
  int bad_packets() const { return bad_packets_.load(); }

  // ---- streams (altussim_stream.cpp) ----
  // After STRCTRL 1 the simulator emits one PKR_STRDATA after another, the streams
  // interleaved (sequence 0 of streams 0..n-1, then sequence 1, ...): `nstreams` streams
  // of `samples` samples at `rate` samples/s, stream s carrying channel s. A SETPARAMS
  // header sets the streams from its rw_stream.TxChanMap: stream s carries the channel of
  // the s-th set bit, counted from bit 0 (no bit set: no stream); its SampleRate, when not
  // 0, sets the rate. The datalogger's sample clock runs from sample 0 at the first
  // start: a packet's first sample is the clock's next one, its time the sample's.
  // It holds after `timeout` live packets without a continue (0: never); a continue
  // resumes a held stream. STRCTRL 0 stops, 3 sets the sequence back to 0 (the sample
  // clock runs on: the next packet's samples follow the last ones sent), 2 (no reply)
  // continues; a start while started is refused with a NAK of code 1.
  // The last BufferSize packets (the parameter header's rw_stream.BufferSize, 100 when
  // it has none, or set_stream_buffer) are kept: a STRSEND is answered with that packet
  // as PKR_STRRQDATA, or with a NAK of code 3 carrying the sequence and stream asked for.
  void set_streams(int nstreams, int samples, int rate, int timeout);
  void set_stream_buffer(int packets);
  // Paced: each packet when the clock reaches its last sample's time; not paced (the
  // default): as fast as the line takes them.
  void set_stream_paced(bool on);
  bool streaming();       // started and not stopped (held or not)
  uint32_t stream_seq();  // the next sequence to emit
  // The channel each stream carries, by stream number.
  std::vector<int> stream_channels();
  // Counter resets (STRCTRL 3) so far, and the sample-clock index the first packet after
  // the last one starts at.
  int stream_resets();
  uint32_t stream_reset_sample();
  // Sample k of the sample clock on channel c: a function a test can recompute; a channel
  // carries the same samples whatever stream number it has.
  static int32_t stream_sample(int channel, uint32_t k) {
    return ((channel + 1) * 100000 + (int32_t)(k % 50000)) * 2;
  }
  // What happens to live packets on their way out. Rates are fractions of the live
  // packets, drawn from a generator seeded by `seed`; a dropped or damaged packet stays
  // in the resend buffer intact. The one-off events happen before the n-th live packet
  // since the knobs were set (1 = the next one; 0 = never).
  struct StreamFaults {
    unsigned seed = 1;
    double drop = 0;         // not sent
    double duplicate = 0;    // sent twice
    double reorder = 0;      // sent after the packet that follows it
    double bad_crc = 0;      // sent with its CRC word damaged
    double drop_resent = 0;  // fraction of PKR_STRRQDATA answers lost
    int reset_at = 0;        // the counters go back to 0, the resend buffer emptied
    int nak0_at = 0;         // an unsolicited NAK, code 0 (command queue full)
    int nak2_at = 0;         // an unsolicited NAK, code 2 (streaming disabled)
    int swap_at = 0;         // this packet goes out after the next one
    int alien_at = 0;        // an extra packet with stream number nstreams
    int delay_at = 0;        // the line is silent for `delay` clock seconds
    double delay = 0;
    int line_drop_at = 0;    // the line is closed
    int late_ack_every = 0;  // every n-th continue gets a late ACK (0: none)
  };
  void set_stream_faults(const StreamFaults &f);
  struct StreamCounts {
    long live = 0;         // live packets emitted (dropped ones included)
    long dropped = 0;      // live packets not sent
    long duplicated = 0;   // extra copies sent
    long reordered = 0;    // packets sent after their successor
    long bad_crc = 0;      // packets sent with a damaged CRC
    long strsend = 0;      // STRSEND requests received
    long resent = 0;       // PKR_STRRQDATA answers sent
    long resent_lost = 0;  // answers lost on purpose
    long nak3 = 0;         // STRSEND for packets no longer held
    long held = 0;         // times the stream held for want of a continue
    long continues = 0;    // continues received
    long line_drops = 0;   // times the line was closed at line_drop_at
  };
  StreamCounts stream_counts();
  std::vector<int> stream_controls();  // the STRCTRL arguments received, in order
  // The socket send buffer of the connection (bytes; set before start), sending each
  // packet at once: a small one keeps a stream that runs as fast as it can from getting
  // far ahead of its reader.
  void set_send_buffer(int bytes) { send_buffer_ = bytes; }

  // ---- console (monitor mode) ----
  // The model the "ver" report names: "K2", "Etna", "MtWhitney", "Everest", "Makalu" or
  // "ROCK" (any other text is reported as it stands, as a strong-motion model); beta adds
  // the beta line (strong motion) or word (Rock).
  void set_model(const std::string &model, bool beta = false);
  // The prompt answers escape sequences from the n-th on (earlier ones get nothing).
  void prompt_from(int n);
  // The n-th escape sequence is answered with `text` in place of the prompt (a dial-in
  // recognition text, a modem's off-hook text).
  void escape_answer(int n, const std::string &text);
  // The first n entries into block mode do not answer any frame.
  void mute_blockmode(int n);
  // The reply to one console line (without its carriage return), replacing the built-in
  // answer; `prompt` false leaves the prompt out.
  void set_console_reply(const std::string &line, const std::string &text, bool prompt = true);
  // The text sent after "callmode" has been entered (the modem's off-hook text).
  void set_offhook_text(const std::string &text);
  // Clock seconds of silence after "sys res".
  void set_restart_seconds(double s);
  bool in_console();                 // monitor mode (not block mode, not restarting)
  std::vector<std::string> lines();  // console lines received, in order
  int escapes();                     // escape sequences received
  int restarts();                    // "sys res" received
  int blockmode_entries();           // "blockmode" received

  // ---- events (altussim_events.cpp) ----
  // Writes an event file made by the event-file writer from `plan` at `path` (an existing
  // file of that name is replaced), listed with the plan's start time. The header gets,
  // unless the plan gives them, the channel bitmap, A/D bits of the sample width, trigger
  // time (start + 1 s), full scale, sensitivity, gain and the peaks of the samples; the
  // GETEVENTSUMMARY answer for the path carries the same values. From the first event on,
  // STATUS counts the event files outside A:\TMP and B:\TMP (before: 2). -1 when the
  // writer refuses the plan.
  int add_event(const std::string &path, const AltusSimEvtPlan &plan);
  // An event still recording: its file lies under <drive>:\TMP and STATUS has trigger bit
  // 0x02 until `seconds` clock seconds from now have passed; then it moves to `path`.
  int record_event(const std::string &path, const AltusSimEvtPlan &plan, double seconds);
  // STATUS reports `n` events whatever the drives hold (-1: count them again).
  void set_event_count(int n);
  int event_count();
  // A drive's status word in STATUS (0 A:, 1 B:; at start 0x0864 and 0x0400, B: not
  // ready). The drive's files stay listable: a reader that lists a drive it was told is not
  // ready sees them.
  void set_drive_status(int drive, int status);
  // PKC_FT records a functional-test event (flag bit 0 set) made from this plan as
  // A:\FTnnnn.EVT, each later one a minute after the previous one.
  void set_ft_plan(const AltusSimEvtPlan &plan);
  int ft_events();
  // The bytes stored at `path` (empty when there is no such file).
  Bytes file_data(const std::string &path);

  // Damage to the transfers of one file. `times`: the next so many (0: every one).
  enum class Damage {
    REFUSE_OPEN,  // OPENFILE refused, an ACK failure without text
    CORRUPT,      // one byte of the last frame's data flipped: the file fails its check
    TRUNCATE,     // only the first `arg` bytes are sent
    DROP_LINE,    // the connection is closed after `arg` GETFILE replies
    WRONG_SIZE,   // the listing gives the size plus `arg` (lasting; `times` unused)
  };
  void damage_file(const std::string &path, Damage kind, int times = 0, int arg = 0);
  int opens(const std::string &path);  // OPENFILE requests for the path

 private:
  void run();
  void serve_connection();
  bool serve_again_ = false;
  // Streams (altussim_stream.cpp), under mutex_.
  bool stream_command(int cmd, int seq, const Bytes &data);  // STRCTRL, STRSEND; true: done
  int stream_poll_ms();                                      // the service loop's read wait
  void emit_streams();
  Bytes stream_packet(int stream, uint32_t seq);
  int stream_buffer_size();
  void stream_reset_counters();               // mutex_ held
  void stream_follow_params(const Bytes &h);  // a SETPARAMS header; mutex_ held
  int stream_channel(int stream) const;       // mutex_ held
  int str_n_ = 0, str_samples_ = 0, str_rate_ = 1, str_timeout_ = 0, str_since_continue_ = 0;
  bool str_on_ = false, str_held_ = false, str_paced_ = false;
  uint32_t str_seq_ = 0;
  int str_next_stream_ = 0;
  double str_start_time_ = 0;
  uint32_t str_start_seq_ = 0;
  // The sample-clock index of sequence 0's first sample: a counter reset moves it past
  // the last samples sent.
  uint32_t str_sample_base_ = 0;
  std::vector<int> str_chans_;  // channel of each stream (empty: stream s carries s)
  int str_resets_ = 0;
  int str_buffer_ = -1;
  struct Held {
    uint32_t seq;
    int stream;
    Bytes payload;
  };
  std::vector<Held> str_resend_;  // a ring of the last packets, oldest at str_resend_pos_
  size_t str_resend_pos_ = 0;
  Bytes str_late_;  // a reordered packet's frame, sent after the next one
  StreamFaults str_faults_;
  long str_fault_count_ = 0;  // live packets since the knobs were set
  unsigned str_rng_ = 1;
  StreamCounts str_counts_;
  std::vector<int> str_controls_;
  bool str_late_ack_ = false;
  int send_buffer_ = 0;
  void handle(const Bytes &pkt);
  void reply(int command, int seq, int type, const Bytes &payload);
  void send_bytes(const Bytes &b);
  void write_all(const unsigned char *p, size_t n);
  void send_text(const std::string &s);
  bool console_escape(unsigned char c);
  void console_byte(unsigned char c);
  void console_line(const std::string &line);
  std::string version_report();

  std::mutex mutex_;
  std::mutex write_mutex_;  // one frame at a time on the line
  std::thread thread_;
  std::atomic<bool> stop_{false};
  int listen_fd_ = -1;
  std::vector<int> more_listen_fds_;   // further addresses of the same server
  std::vector<std::string> accepted_;  // under mutex_
  int fd_ = -1;
  bool own_fd_ = false;
  int serial_ = 1234;
  std::string station_ = "SIM01";
  bool chunked_ = false;
  unsigned rng_ = 12345;
  int drop_after_ = 0;
  std::vector<Fault> faults_;
  std::map<int, int> seen_;  // command -> occurrences so far
  std::map<int, Script> scripts_;
  std::map<int, size_t> script_pos_;
  std::vector<Bytes> unsolicited_;
  std::vector<Bytes> raw_;
  std::vector<std::pair<int, int>> commands_;
  std::atomic<int> bad_packets_{0};

  struct Node {
    std::string path;
    bool dir = false;
    uint32_t size = 0;
    int attr = 0;
    uint32_t time = 0;
    Bytes data;
  };
  bool fs_command(int cmd, const Bytes &data, int *type, Bytes *payload);
  std::vector<Node> fs_;
  std::vector<Node> listing_;
  size_t listing_pos_ = 0;
  Bytes open_data_;
  size_t open_pos_ = 0;
  Bytes params_;
  bool acquiring_ = true;
  std::vector<std::pair<std::string, std::string>> refused_dirs_;  // path, refusal text
  std::string endless_root_;
  int endless_fanout_ = 0;
  int opendirs_ = 0;
  int flood_rate_ = 0;
  double flood_seconds_ = 0, flood_after_ = 0;
  std::atomic<long> flood_sent_{0};
  std::thread flood_thread_;
  void flood();
  bool refuse_open_ = false;
  std::string refuse_open_text_;
  bool refuse_set_ = false;
  int fail_getparams_ = 0;
  std::vector<int> fail_getparams_at_;
  int getparams_seen_ = 0;
  std::string refuse_set_text_;

  // Console state: the service thread's own, knobs under mutex_.
  enum class Mode { BLOCK, CONSOLE, RESTARTING };
  std::atomic<Mode> mode_{Mode::BLOCK};
  bool block_mute_ = false;  // this block-mode entry answers nothing
  int backslashes_ = 0;      // backslashes in a row just received
  std::string line_;         // console line being typed
  int wipe_state_ = 0;       // 1 waiting for "y", 2 waiting for "destroy"
  std::string wipe_drive_;
  double restart_until_ = 0;
  std::string model_ = "K2";
  bool beta_ = false;
  int prompt_from_ = 1;
  std::map<int, std::string> escape_answers_;
  int mute_blockmode_ = 0;
  struct ConsoleReply {
    std::string text;
    bool prompt;
  };
  std::map<std::string, ConsoleReply> console_replies_;
  std::string offhook_text_ = "\r\nNO CARRIER\r\n";
  double restart_seconds_ = 10;
  std::vector<std::string> lines_;
  int escapes_ = 0;
  int restarts_ = 0;
  int blockmode_entries_ = 0;

  // Events, under mutex_.
  bool event_command(int cmd, const Bytes &data, int *type, Bytes *payload);
  Bytes status_payload();
  void finish_recordings();
  struct EventRec {
    Bytes summary;  // the PKR_EVENTSUMMARY payload
  };
  std::map<std::string, EventRec> events_;  // by path
  struct Recording {
    std::string path, tmp_path;
    double until;
  };
  std::vector<Recording> recordings_;
  bool events_counted_ = false;
  // Adds the event file `file` made from `plan` as `key`, with its summary. Under mutex_.
  void put_event_file(const std::string &key, const AltusSimEvtPlan &plan,
                      const std::vector<uint8_t> &file);
  int fixed_events_ = -1;
  int drive_status_[2] = {0x0800 | 100, 0x0400};
  AltusSimEvtPlan ft_plan_;
  int ft_events_ = 0;
  struct DamageRec {
    Damage kind;
    int times;
    int arg;
  };
  std::map<std::string, std::vector<DamageRec>> damage_;
  std::map<std::string, int> opens_;
};

}  // namespace altussim
