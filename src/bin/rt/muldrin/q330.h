// q330.h - the Q330 session record and its public interface: creation, the control
// queue and its queued commands, the direct acquisition-state setters, typed output to
// the owner's callback, the time text, the status reset, and the session's diagnostic
// output (control debug lines with block dumps, UDP verbose lines, packet-cache dumps,
// parameter-object dumps).
//
// Ownership: q330_create makes the record; sessions live until the process ends. Text
// members are heap copies set through set_q330_str. Output handed to the callback: text
// lines and time values are heap copies that the callback owns; other payloads stay the
// producer's and are copied before the callback returns.
//
// Locking: the acquisition state and the flags several threads poll are atomics; the
// state changes that depend on the current state are compare-and-swap, and nothing
// leaves the kill state. `status.status_mutex` guards the statistics of the status
// record (q330_null_status holds it), `status.status_pkt_mutex` the status packet,
// `config.config_mutex` the configuration blocks, `timeout_mutex` the acquisition and
// control time-outs, `address_mutex` the datalogger's address texts, and the two
// heartbeat mutexes their heartbeat pairs; none is nested in another. `cmd_mutex` guards
// the replies of queued
// commands and is held only to store or read one. q330_output and the debug output take
// no lock and build their texts in their own memory, so any thread may call them.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/clockwait.h"
#include "q330_dblk.h"
#include "q330_pktdefs.h"
#include "support/stdtime.h"  // myusleep
#include "taverage.h"
#include "udp.h"

struct Pf;
struct Q330StateStore;
struct Tbl;
struct Arr;
struct Pmtfifo;
struct PacketDef;
struct Q330;
struct PWB;

// ---- Output types ---------------------------------------------------------------------

// What a session hands to its owner's callback. Types 6-12 are never delivered; 14 is sent
// to the datalogger as a user message and never reaches the callback.
enum {
  Q330_OUT_DATA = 1,        // data_out holding one data record; size data_out_offset
  Q330_OUT_DATASTATUS = 2,  // one Q330DataStatus, the producer's
  Q330_OUT_STDOUT = 3,      // text line, heap copy, size 0
  Q330_OUT_LOG = 4,         // text line, heap copy, size 0
  Q330_OUT_STATUS = 5,      // the program's status object (never from a session)
  Q330_OUT_STATUS_DBG = 6,
  Q330_OUT_STATUS_DBG_ALL = 7,
  Q330_OUT_FRAMES = 8,
  Q330_CONFIG_CHANS = 10,
  Q330_CONFIG_RATES = 11,
  Q330_CONFIG_Q330 = 12,
  Q330_OUT_FLUSH = 13,  // no data, size 0
  Q330_OUT_UMSG = 14,   // user message to the datalogger
  Q330_OUT_TIME = 15,   // one double, heap copy, size 0
  Q330_OUT_DB = 16,     // one database row and its size
  Q330_OUT_QUERY = 17,  // is the consumer busy? answered with a Q330OutAnswer
};

// What the output callback answers to Q330_OUT_QUERY, and what the data calls that ask
// it (q330_proc_data, q330_flush_data, q330_process_dblk) pass up while the consumer
// stays busy. An answer, not an output type: it shares the number 15 with Q330_OUT_TIME
// only because the two are counted separately, and the two never meet in one value.
enum Q330OutAnswer : int {
  Q330_OUT_READY = 0,
  Q330_OUT_BUSY = 15,
};

// Longest formatted message and longest prefixed line of q330_output and the debug output;
// longer texts are cut.
inline constexpr int Q330_OUTPUT_MSG_MAX = 512;
inline constexpr int Q330_OUTPUT_LINE_MAX = 2048;

typedef int (*Q330OutCallback)(Q330 *q330, int type, void *q330data, int q330data_size);

// ---- Acquisition states ---------------------------------------------------------------------

// The acquisition state of a session (`state_acquisition`). The numbers are what the state
// and status output show; the data thread drives the states from 4 to 9.
enum Q330AcqState : int {
  Q330_ACQ_STOPPED = 0,       // not acquiring; nothing is done
  Q330_ACQ_WAITING = 1,       // waiting for a point of contact or a start command ("listen")
  Q330_ACQ_HIBERNATING = 2,   // registration or data open failed too often; waits for a start
                              // command or the inactivity timer
  Q330_ACQ_SLEEPING = 3,      // waiting register_retry_sleep seconds before registering again
  Q330_ACQ_REGISTER = 4,      // register with the datalogger
  Q330_ACQ_OPEN_DATA = 5,     // open the data stream
  Q330_ACQ_ACQUIRING = 6,     // read data
  Q330_ACQ_SHUTDOWN = 7,      // close the data stream and deregister, then stop or wait
  Q330_ACQ_RESTART_LINK = 8,  // close, deregister and register again
  Q330_ACQ_RESTART_DATA = 9,  // close the data stream and open it again
  Q330_ACQ_KILL = 10,         // every thread of the session ends
};

// The word an exchange with the datalogger logs when the state breaks it off: "thread kill",
// "shutdown", "data restart", and for a link restart `restart_link` (none: a link restart does
// not break it off). None for every other state.
const char *q330_breakout(Q330AcqState state, const char *restart_link);

// The states in which no link is up and none is being made (stopped, waiting, hibernating,
// sleeping).
inline bool q330_acq_idle(Q330AcqState s) {
  return s >= Q330_ACQ_STOPPED && s <= Q330_ACQ_SLEEPING;
}

// ---- Channel records of the parameters -----------------------------------------------------

// One output channel (data or ep).
typedef struct chan_ {
  int ep_channel;          // ep channel number 0-255
  char channel_name[128];  // "data%d:%d" of rate and pchan, or the ep channel's key
  double calib, calper;
  int samprate;
  // last_link_time: the output time at the last flush, which a restart trims its overlap
  // at; written by the write thread's flush and read by the state file under the session's
  // link_time_mutex. last_output_time and first_output_time: the write thread's.
  double last_link_time, last_output_time, first_output_time;
  unsigned filter_delay;
  int last_qdp_sequence;
  int outputthischan_pf;  // values go into the parameter-file output
  int outputthischan;     // the channel is produced
  int stafromproptag;     // station code from the datalogger's property tag
  int calibfromdb;        // calib, calper and segtype from the calibration lookup
  float pf_dvalue;
  char pfkey[64];
  char net[8], sta[16], chan[16], loc[8];
  char segtype[4];
  char srcname[64];
  PacketDef *user_data;  // the channel's packet definition copy, or none
} Q330Chan;

// One status channel.
typedef struct status_chan_ {
  // last_link_time under the session's link_time_mutex, as for Q330Chan.
  double time, dvalue, last_link_time, last_output_time, first_output_time;
  PacketDef *output_wf_pdef;
  int outputthischan_log, outputthischan_pf, stafromproptag;
  unsigned value;
  int twin;
  char pfkey[64];
  char net[8], sta[16], chan[16], loc[8];
  char srcname[64];
  int type;           // 1 program status, 2 data state-of-health status
  const void *stdef;  // the program or data status definition row of `type`
} Q330StatusChan;

// ---- Parameters ---------------------------------------------------------------------------------

// All parameters of one datalogger. Zero except the defaults that q330_params_initialize
// sets; -1 (-1.0) means "not given": the datalogger's own value or the built-in behaviour.
typedef struct q330_dl_params_ {
  int *local_port_base;
  char *dlname, *dlnet, *dlsta, *disposition_str;
  int disposition;  // 0 nothread, 1 startthr, 2 listen, 3 startacq
  int local_port_control, local_port_data;
  char *local_port_control_str, *local_port_data_str, *local_ipaddr;
  double datarate_interval, commeff_interval, thruput_interval;
  int statusrequest_interval, statusreport_interval;
  double timeout_control, timeout_data;
  double timeout_datathread_hang, timeout_controlthread_hang, udp_timeout_data, ack_timeout_data,
      shutdown_timeout, shutdown_buffer_thresh, shutdown_buffer_wait, control_inactivity_timeout,
      inactivity_timeout, data_drop_packet_pcnt, control_drop_packet_pcnt, register_retry_sleep,
      flush_buffer_thresh, flush_buffer_age;
  int maxretries_control, maxretries_data;
  int maxretries_register;
  int q330_port_base, q330_port_logical;
  int q330_port_control, q330_port_data, udp_packetcache_size_data, udp_packetcache_size_control,
      trim_link_overlaps, streamlined_acks, output_time_packet, q330_reset_ipaddress;
  char *q330_lastipaddress, *q330_ipaddress, *q330_serial_number;
  Tbl *q330_authentication_codes;  // of texts, 16 hex digits each
  int q330_authentication_codes_last_entry;
  char *q330_com, *dptokens_port_1, *dptokens_port_2, *dptokens_port_3, *dptokens_port_4;
  Arr *pchans_arr, *rates_arr, *status_arr, *statusd_arr, *ep_arr, *epd_arr;
  Q330Chan data_chan[8][6];  // physical channel x rate
  Arr *status_chan_arr;      // of Q330StatusChan, by status name
  Arr *ep_chan_arr;          // of Q330Chan, by ep channel name
  Q330Chan *ep_channels[256];
  int throttle, throttle_q330;
  Tbl *acq_bitmap;
  int verbose_log, user_message_level, debug_data, debug_ack, debug_control, debug_udp, stop_acks,
      ack_print_bit_flag;
  int log_flags, log_mtu, log_group_count;
  double log_maximum_resend_timeout_dbl;
  int log_maximum_resend_timeout;
  double log_group_timeout_dbl;
  int log_group_timeout;
  double log_minimum_resend_timeout_dbl;
  int log_minimum_resend_timeout;
  int log_window_size, log_acknowledge_count;
  double log_acknowledge_timeout_dbl;
  int log_acknowledge_timeout;
  double massrecenter_duration_dbl;
  char *massrecenter_sensors;
  double masslockunlock_duration_dbl;
  char *masslockunlock_sensors;
  int calibration_duration;
  char *calibration_waveform_str;
  int calibration_capacitive, calibration_amplitude, calibration_settling_time,
      calibration_trailer_time;
  char *calibration_calibration_bitmap_str, *calibration_monitor_channel_bitmap_str;
  int calibration_frequency_divider;
  double lcq_locked, lcq_track, lcq_hold, lcq_off, lcq_high, lcq_low, lcq_never, lcq_degrade_time;
  int freeze_datathread_time, freeze_controlthread_time;
} Q330DLParams;

// ---- Configuration and status ---------------------------------------------------------------

// The announce structure of the configuration port (104 bytes on the wire).
struct Q330C3ANNCEntry {
  uint32_t dp_ip_address, router_ip_address;
  uint16_t timeout_in_minutes, resume_time_in_minutes, flags, dp_udp_port;
};
struct Q330C3ANNCPkt {
  uint16_t subcommand, subresponse, number_of_active_entries, unlock_flags;
  Q330C3ANNCEntry entries[6];
};

// The configuration blocks read from the datalogger; all zero at creation.
typedef struct q330_dl_config_ {
  double time = 0;  // std_now at the end of the last successful readout
  Q330FLGSPkt config_pkt{};
  std::mutex config_mutex;  // config_pkt, the channel table made from it, EP delays
  Q330C1PHYPkt phy{};
  Q330MANPkt man{};
  Q330RTPkt rt{};
  Q330SPPPkt spp{};
  Q330GIDPkt gid{};
  Q330DCPPkt dcp{};
  Q330DEVPkt dev{};
  Qtpb14Tokens *dptokens[4] = {};  // data ports 1-4; made on first use, never freed
  Q330C2PHYPkt c2_phy_0{}, c2_phy_1{}, c2_phy_3{};
  Q330C2GPSPkt c2_gps{};
  Q330C2AMASSPkt c2_amass{};
  Q330C2EPDPkt c2_epd{};
  Q330C2EPCFGPkt c2_epcfg{};
  Q330C3ANNCPkt c3_annc{};
  double c3_annc_time = 0;
} Q330DLConfig;

// Status and statistics of a session: the status packet under status_pkt_mutex, the rest
// under status_mutex.
typedef struct q330_status_ {
  Q330STATPkt status_pkt{};
  std::mutex status_pkt_mutex;
  std::mutex status_mutex;
  int status_pkt_null = 0;
  double time_last_status_pkt = 0;  // under status_mutex
  double q330_time = 0;
  double starttime = 0, endtime = 0;
  double datarate_origin = 0, datarate_time = 0;
  double commeff = 0;
  double datarate = 0;
  double nbytes_read_24h = 0, nbytes_write_24h = 0, nlinks_24h = 0, nreboots_24h = 0, npocs_24h = 0,
         nipchs_24h = 0;
  int npkts_processed_total = 0, npkts_wrongsize_error = 0, npkts_checksum_error = 0;
  int nreboots = 0;
  double lat = 0, lon = 0, elev = 0;
  double client_status_time = 0;
  double datagap = 0, datagap_24h = 0, datagap_1h = 0;
  double thruput = 0;
  double bufpcnt = 0;  // under status_mutex
  TAverage *ta_datagap_24h = nullptr, *ta_datagap_1h = nullptr, *ta_nlinks_24h = nullptr,
           *ta_nreboots_24h = nullptr, *ta_npocs_24h = nullptr, *ta_nipchs_24h = nullptr,
           *ta_tput = nullptr, *ta_commeff_sent = nullptr, *ta_commeff_resent = nullptr;
} Q330Status;

// ---- Queued commands ----------------------------------------------------------------------------

// The answer of a queued command, shared by the waiting caller and the control thread
// (either may be the last to let go of it). Guarded by the session's cmd_mutex.
struct Q330CmdReply {
  bool done = false;
  std::string text;
};

// One item of the control queue: the command's parameter object (it holds "cmd") and its
// reply. The control thread owns the item once it pops it: it answers through
// q330_cmd_answer and then frees it with q330_cmd_free.
struct Q330Cmd {
  Pf *pf = nullptr;
  std::shared_ptr<Q330CmdReply> reply;
};

// ---- The session record
// ---------------------------------------------------------------------------

struct Q330LogBufferEntry {
  std::string msg;
  int count = 0;
  double time = 0;
};
inline constexpr int Q330_LOG_BUFFER_SIZE = 100;

// A complaint made at most once a minute about datagrams dropped: when it was last made and
// how many were dropped since.
struct Q330DropLimit {
  double time = 0;
  int dropped = 0;
};

// A copy of one data-port packet (its QDP sequence, command and payload) that the session
// keeps for a re-open or a restart: a packet of the record being assembled, or one held in
// the reorder window beyond a gap.
struct Q330DataCopy {
  uint16_t sequence = 0;
  int command = 0;
  std::vector<unsigned char> bytes;
};

// Where the data stream stands, as a restart takes it up: the datalogger boot, the last
// packet passed on, and the record being assembled (the QDP sequence of its newest packet,
// its record sequence and its time tag).
struct Q330StreamMark {
  bool known = false;  // a stream of the boot was opened (or the state file kept one)
  uint32_t boot_reboots = 0, boot_time = 0;
  uint16_t last_good_sequence = 0, qdp_sequence = 0;
  uint32_t data_sequence = 0;
  double ch98_time = 0;
};

// The session record. Its fields in blocks by owner; each names the lock that guards it
// where it has one. "Setup" is the parameter-file reader and q330_thread_start on the main
// thread, before the session's threads run; the threads then only read those fields.
struct Q330 {
  // ---- Owner and setup (main thread before the threads start; read-only after) ----------
  void *muldrin = nullptr;  // the program record, for the program's own code
  // The program's flag, raised whenever this session's acquisition state changes.
  std::atomic<int> *pendingstatusrequests = nullptr;
  char *target_name = nullptr;             // the program's target name, for log prefixes
  char *out_srcname_log = nullptr;         // source name of the session's log packets
  Q330OutCallback out_callback = nullptr;  // where everything the session produces goes
  void *user_data = nullptr;               // the owner's, for the callback
  // The state file read at start-up (the program's), read by the state restore.
  const Q330StateStore *statepf = nullptr;
  int noipresolv = 0;     // print addresses without name lookups
  int nowritestash = 0;   // no stash packets (-nostash)
  int dlclock = 0;        // this datalogger feeds the shared-memory clock
  double epoch_2000 = 0;  // epoch of the datalogger's time zero
  // All parameters. Setup fills them; afterwards the control thread stores what it learns
  // (serial number, authentication code in use), the operator commands the throttle, and
  // the address changes as the address block below says.
  Q330DLParams params{};

  // ---- Threads (main thread only) ------------------------------------------------------------
  int state_thread = 0;  // 0 threads not started, 1 started (q330_thread_start)
  pthread_t control_thread{};
  pthread_t data_thread{}, statusrq_thread{}, watchdog_thread{};
  int threads_running = 0;               // bits of the threads q330_threads_start made
  Pmtfifo *control_mtfifo_in = nullptr;  // the control queue; its own lock

  // ---- Acquisition state and flags (atomics; any thread) -------------------------------------
  std::atomic<Q330AcqState> state_acquisition{Q330_ACQ_STOPPED};  // see q330_set_acquisition_mode
  std::atomic<int> state_registered{0};      // registered with the datalogger (control thread)
  std::atomic<int> state_dataopen{0};        // the data stream is open (data thread)
  std::atomic<int> pendingstatusrequest{0};  // raised on every state change; taken by the report
  // Signalled (q330_wake) on every change of state_acquisition and state_dataopen and on
  // every new buffer fill, so that the threads waiting for their next deadline (status
  // request, watchdog, the waits of the state setters) see the change at once.
  ClockEvent wake;
  ClockEvent killed;  // signalled once, by the move to kill (the watchdog waits on it)
  std::atomic<int> need_config{0};  // the configuration is to be read again
  std::atomic<int> need_rqmem{0};   // the memory blocks are to be read again
  // Counted by the data thread; q330_start_acquisition clears it from any thread.
  std::atomic<int> register_retries{0};
  // Raised by the data-port open, taken by the status readout.
  std::atomic<int> buffer_thresh_flag{0};
  // State file: endpoints whose byte averagers were restored (bit 1 control, 2 data).
  std::atomic<int> udp_state_restored{0};
  // When a shutdown or restart was asked for (any thread), timing the exchanges that wait
  // for it.
  double request_shutdown_time = 0;

  // ---- Deadlines (under timeout_mutex) -------------------------------------------------------
  // Set by the data-port open and the status readout (control thread), tested by the data
  // thread; doubles, which the 32-bit target cannot swap atomically.
  double acquisition_timeout = 0;
  double inactivity_wakeup = 0;
  double register_wakeup = 0;
  double control_timeout = 0;
  std::mutex timeout_mutex;

  // ---- Heartbeats (watchdog and its thread) --------------------------------------------------
  // Each pair under its own mutex, last_data_thread_time_mutex and
  // last_control_thread_time_mutex.
  double last_data_thread_time = 0, last_data_thread_time2 = 0;
  double last_control_thread_time = 0, last_control_thread_time2 = 0;
  std::mutex last_data_thread_time_mutex, last_control_thread_time_mutex;

  // ---- Link (control thread; the data port's side by the data thread) -----------------------
  char *q330_hostport_control = nullptr, *q330_hostport_data = nullptr;  // "address:port"
  UDP *udp_control = nullptr, *udp_data = nullptr;                       // each with its own locks
  uint16_t sequence = 0, sequence_data = 0;  // last QDP sequence sent on each port
  int last_cerr_code = -1;                   // error code of the last C1_CERR on the control port
  // Datagrams dropped for coming from another address or port than the datalogger's, with
  // the once-a-minute complaint about them per port (index 0 control, read by the control
  // thread; 1 data, by the data thread).
  std::atomic<int> npkts_foreign_error{0};
  Q330DropLimit foreign_limit[2];

  // ---- Datalogger address (under address_mutex; any thread) ---------------------------------
  // After setup the texts params.q330_ipaddress, params.q330_com and
  // params.q330_serial_number and the flag params.q330_reset_ipaddress change only under
  // address_mutex (q330_address_*, set_q330_hostport, the serial-number poll of a
  // registration); other threads read the texts only as copies made under it
  // (q330_address, q330_link_text, q330_serial_text), since a replaced text is freed.
  std::mutex address_mutex;
  // The address of the last registration that succeeded ("" before the first), and an
  // address a point of contact announced that has not registered yet ("" when none is on
  // trial). While one is on trial, registrations alternate between the two until one of
  // them registers.
  std::string registered_ipaddress, trial_ipaddress;

  // ---- Status readout and command work (control thread) --------------------------------------
  int full_status = 0;   // the next readout asks for every block (set by commands)
  int first_status = 0;  // the first readout after a data open
  int packets_sent = 0, packets_resent = 0;  // the datalogger's counts at the last readout
  int flush_buffer_lockout = 0;  // a flush is asked for: none again until the port's status
  int pendingstashrequest = 0;   // a stash packet is due
  double dlclock_fed = 0;        // the last time given to the shared-memory clock
  Q330QCALPkt calcache{};        // the last calibration command, matched by the data thread
  // The hint to check the authentication code was logged (once a session).
  bool auth_hint_given = false;

  // ---- Configuration and status (their own mutexes; see the record types) --------------------
  Q330DLConfig config;
  Q330Status status;

  // ---- Data port (data thread) ---------------------------------------------------------------
  // No data packet since the open: the data thread sets it, the status report reads it.
  std::atomic<int> first_data{0};
  Q330DACKPkt last_dack{}, last_print_dack{};  // the acknowledgement sent, and the last printed
  double time_last_dack = 0;        // when the first packet since the last acknowledgement came
  double time_dtopen = 0;           // when DT_OPEN was last sent
  int sequence_last_dack = 0;       // QDP sequence of the last acknowledgement (read by the flush)
  uint16_t qdp_sequence = 0;        // QDP sequence of the packet being processed
  uint16_t last_good_sequence = 0;  // last QDP sequence passed on in order
  // The datalogger boot (FIX reboot count and time) whose packets last_good_sequence
  // numbers, once a stream has been opened: a re-open in the same boot goes on after it.
  bool data_boot_known = false;
  uint32_t data_boot_reboots = 0, data_boot_time = 0;
  uint32_t packets_received_since_last_ack = 0;
  uint32_t data_record_sequence = 0;  // data record sequence of the packet being processed
  // This program has opened the data stream before: a re-open in the same boot goes on
  // with the record it is assembling. A program started afresh holds none.
  bool data_stream_opened = false;
  // The reorder window of the open stream, packets skipped because they could not be
  // decoded, and the rate limit of the packet-cache dumps that dropped or skipped packets
  // cause, and of the bad-CRC dumps.
  PWB *pwb = nullptr;
  int npkts_undecodable = 0;
  double data_dump_time = 0;
  int data_dump_suppressed = 0;
  double badcrc_dump_time = 0;
  int badcrc_dump_suppressed = 0;
  // Packets that came again with the sequence of one held but other bytes, and the
  // once-a-minute complaint about them.
  int npkts_conflicting = 0;
  Q330DropLimit conflict_limit;
  // The copies of each contested sequence, whose slot in the window stays empty until a
  // copy equal to one of them comes again (empty at each open and close).
  std::vector<Q330DataCopy> data_disputed;

  // ---- Copies for a re-open (under data_copy_mutex) ------------------------------------------
  // What a re-open or a restart in the same boot needs, since every packet passed on or
  // held is acknowledged and the datalogger keeps none of them: the packets of the record
  // being assembled that were passed on (from its time-tag packet; empty once a fill ends
  // it), and the packets held beyond a gap when the stream last closed. The data thread
  // keeps them, the state file writes them from another thread.
  // data_record_restored: data_record_copy came from the state file, and the first open
  // rebuilds the record from it.
  // data_mark: the data thread's position (data_boot_*, last_good_sequence,
  // ch98_time_qdp_sequence, ch98_time_data_sequence, ch98_time) as of the copies, published
  // with them after every packet it passes on and at every open, so that the state file
  // writes a position that matches its copies.
  std::mutex data_copy_mutex;
  std::vector<Q330DataCopy> data_record_copy, data_held_copy;
  bool data_record_restored = false;
  Q330StreamMark data_mark;

  // ---- Channel link times (under link_time_mutex) --------------------------------------------
  // The last_link_time of every data, ep and status channel: set together by the write
  // thread's flush, read together by the state file.
  std::mutex link_time_mutex;

  // ---- Data records and blockettes (data thread) ---------------------------------------------
  // The record being assembled: its time tag, clock quality and sequences, and the times of
  // the expected next record and of the last restart.
  uint32_t ch98_time_data_sequence = 0, ch98_time_q330 = 0;
  uint16_t ch98_time_qdp_sequence = 0, ch98_time_qdp_sequence_first = 0;
  double ch98_time = 0, ch98_time_restart = 0, ch98_time_next = 0, ch98_lcq = 0;
  unsigned char *data_out = nullptr;  // the data record handed to the callback
  int data_out_size = 0;
  int data_out_offset = 0;
  uint16_t data_out_nchans = 0;
  // Data port channels and split-block assemblies (chan_defs, nchans and unit_nchannels
  // under config.config_mutex), and the calibration rows of the last calibration
  // blockette.
  int nchans = 0;
  int unit_nchannels = 0;  // physical channels of the datalogger (3 or 6)
  Q330ChannelDef chan_defs[Q330_CHANNELS] = {};
  Q330ChannelDat chan_dats[Q330_CHANNELS];
  std::vector<Q330CalRow> cal_rows;
  char lastcal_calseq[32] = "";  // the calibration the last rows belong to
  double lastcal_endtime = 0;
  Q330LogBufferEntry log_buffer[Q330_LOG_BUFFER_SIZE];  // repeats of datalogger messages

  // ---- Queued commands (under cmd_mutex) -----------------------------------------------------
  // Waiters sleep on cmd_cv until their reply is done, the session is killed, or the control
  // queue is closed (control_closed).
  std::mutex cmd_mutex;
  std::condition_variable cmd_cv;
  bool control_closed = false;
};

// ---- Construction and start ---------------------------------------------------------------------

// Zeroes the record and sets the defaults. 0.
int q330_params_initialize(Q330DLParams *qp);
// A new session, stopped, with `statepf` kept for the state restore; none on failure
// (logged).
Q330 *q330_create(Q330OutCallback out_callback, const Q330StateStore *statepf);
// Creates the control queue (capacity 10, blocking) and marks the threads started; 0 when
// done or already started, -1 (logged) otherwise.
int q330_thread_start(Q330 *q330);
// The datalogger's throttle word for `throttle` bytes per second: `throttle` itself when it
// is 0 or less, else 1024000 / (throttle / 10). -1 (no throttle) for 1 to 9, whose word
// does not exist.
int q330_throttle(int throttle);
// Stores `throttle` and its word in the parameters. 0.
int q330_set_throttle(Q330 *q330, int throttle);

// ---- Queued commands
// --------------------------------------------------------------------------------

// Posts `cmd` with `pf` (consumed: freed by the control thread, or here when it cannot be
// posted; none: an empty object) to the control thread and waits for the answer. 0 when the
// answer is "OK"; -1 with the answer (or the reason) in `error`, cut to err_sz - 1
// characters. Returns -1 with "control thread not running" when the session is killed, its
// control thread has ended or its control queue was closed, also while waiting. Must not be
// called on the control thread.
int q330_cmd(Q330 *q330, const char *cmd, Pf *pf, char *error, int err_sz);
// As q330_cmd, but returns once the command is queued, without waiting for the control
// thread: 0 when queued (its answer is dropped), -1 as q330_cmd when it cannot be.
int q330_cmd_post(Q330 *q330, const char *cmd, Pf *pf, char *error, int err_sz);
int q330_register(Q330 *q330, char *error, int err_sz);
int q330_deregister(Q330 *q330, char *error, int err_sz);
int q330_cfg_channels(Q330 *q330, Pf *pf, char *error, int err_sz);
int q330_cfg_channels_auto(Q330 *q330, char *error, int err_sz);
// With `pf` none, sends a new object holding "status_bitmap" = status_bitmap.
int q330_get_status(Q330 *q330, Pf *pf, unsigned int status_bitmap, char *error, int err_sz);
int q330_get_config(Q330 *q330, char *error, int err_sz);
int q330_stop_calibration(Q330 *q330);

// For the control thread: stores `text` as the answer of `item` and wakes its caller. 0.
int q330_cmd_answer(Q330 *q330, Q330Cmd *item, const char *text);
// Frees a control-queue item and its parameter object (none accepted).
void q330_cmd_free(void *item);
// Closes the control queue for good: releases its block and fails every caller waiting
// for an answer, and every later one. Called when the control thread ends. 0.
int q330_control_close(Q330 *q330);

// ---- Direct acquisition control
// ------------------------------------------------------------------

// Sets the acquisition state when it differs and raises the status-request flags. Refused
// (-1) once the state is kill. 0 otherwise.
int q330_set_acquisition_mode(Q330 *q330, Q330AcqState mode);
// From an idle state only: clears register_retries and moves to register. 0.
int q330_start_acquisition(Q330 *q330);
// Moves to shutdown unless stopped; with `wait`, waits until the state is idle (or kill). 0.
int q330_stop_acquisition(Q330 *q330, int wait);
// Moves to kill for good and fails the callers waiting on queued commands. 0.
int q330_kill_thread(Q330 *q330);
// Wakes the session's threads that wait on `wake`: called after every change of the
// acquisition state or of state_dataopen that does not go through the setters above.
void q330_wake(Q330 *q330);
// Log "Restart link." and, only from acquiring, move to restart link; with `wait`, wait until
// the state is acquiring again (or kill). 0.
int q330_restart_link(Q330 *q330, int wait);
// The same with "Restart data." and restart data.
int q330_restart_data(Q330 *q330, int wait);

// ---- Output and text services -------------------------------------------------------------------

// Typed output (see the type table). Types 3, 4, 14: a printf format and its values.
// Type 15: a pointer to a double. Always 0.
int q330_output(Q330 *q330, int type, ...);
// "YYYYDDD hh:mm:ss.mmm" in UTC, rounded to the millisecond; heap text the caller frees.
char *q330_strtime(double epoch);
// Formats an error text into the caller's buffer of err_sz bytes (none: nothing).
void q330_set_error(char *error, int err_sz, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// The control thread's heartbeat: now, unless frozen (freeze_controlthread_time), under
// last_control_thread_time_mutex.
void q330_control_heartbeat(Q330 *q330);
// Resets the status record under status.status_mutex. 0.
int q330_null_status(Q330 *q330);
// Frees *q330_str and stores a heap copy of str (none: none). 0.
int set_q330_str(char **q330_str, const char *str);

// ---- Datalogger address (any thread; each call takes address_mutex alone) ---------------------

// Copies of the address in use, the link text (q330_com) and the serial number; "" for none.
std::string q330_address(Q330 *q330);
std::string q330_link_text(Q330 *q330);
std::string q330_serial_text(Q330 *q330);
// The address a state file records: while an announced address is on trial, the last one
// that registered; else the one in use ("" for none).
std::string q330_address_settled(Q330 *q330);
// The operator's address: the next registration goes there, and no trial goes on. 0.
int q330_address_set(Q330 *q330, const char *ip);
// An address a point of contact announced. 0 when it is the one registration heads for
// already (the one on trial, else the one in use): nothing changes. 1 when the next
// registration goes there instead, with *old (when given) the address it replaces ("-"
// for none). Unless it is the address that last registered (or none has registered yet),
// it is on trial until a registration succeeds there or at the last registered one.
int q330_address_announce(Q330 *q330, const char *ip, std::string *old);

// ---- Diagnostic output
// ------------------------------------------------------------------------------

// Control debug line, and with debug_control > 1 the dump of the configuration block
// named by `structure` (a command code, 241-243 C2_PHY 0/1/3, 244-247 token areas). 0.
int q330_output_debugc(Q330 *q330, int structure, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));
// "DEBUGU: <msg>" as a log line; the verbose callback of the UDP endpoints. 0.
int q330_print_udp(Q330 *q330, const char *msg);
// The text form of `pf`, one log line each, prefixed by `pre`. 0.
int q330_output_pf(Q330 *q330, Pf *pf, const char *pre);
// Prints the texts of `arr` in key order on standard output under `title`. 0.
int dump_array(Arr *arr, const char *title);
// Dumps at most `size` packets (newest first) of the control and data packet caches as
// log lines. 0.
int q330_log_packet_cache(Q330 *q330, int size);
