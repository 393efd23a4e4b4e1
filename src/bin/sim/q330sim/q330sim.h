// q330sim.h - a fake Q330 for tests and for running by hand: answers QDP commands on a
// control port (base + 2 x logical) and polls the next one as data port, on a loopback
// address (127.0.0.1 unless the options name another, such as 127.0.0.2).
//
// Written from the protocol alone, with its own CRC, MD5 and digest text. Replies carry
// version 2, the right length and CRC, and as ack the sequence of the command answered:
//   C1_POLLSN -> C1_MYSN; C1_RQSRV -> C1_SRVCH; C1_SRVRSP -> C1_CACK when the digest
//   matches the accepted code, else C1_CERR 3; C1_DSRV -> C1_CACK; anything else ->
//   C1_CERR 0.
// Faults can be set per command and per n-th datagram of it (see Q330SimFault).
//
// Locking: one thread runs the loop; `mutex` guards the options, the fault list and the
// log of what was received, which the test reads while the loop runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Models of the protocol areas beyond registration, each kept in a file of its own
// (q330sim_<area>.cpp and .h); a model is made when its area is first used.
struct Q330SimConfig;    // configuration blocks, LOG, tokens (C1_RQ* / C1_S* / C2_*)
struct Q330SimStatus;    // C1_RQSTAT and its sub-blocks
struct Q330SimData;      // the data port: DT_OPEN, DT_DATA, DT_DACK, the packet buffer
struct Q330SimCommands;  // operator commands and the configuration port

// Big-endian fields of the simulator's datagrams.
inline void q330sim_put16(std::vector<unsigned char> &v, unsigned x) {
  v.push_back(static_cast<unsigned char>(x >> 8));
  v.push_back(static_cast<unsigned char>(x));
}
inline void q330sim_put32(std::vector<unsigned char> &v, uint32_t x) {
  q330sim_put16(v, x >> 16);
  q330sim_put16(v, x & 0xFFFF);
}
inline unsigned q330sim_get16(const unsigned char *p) {
  return static_cast<unsigned>(p[0] << 8 | p[1]);
}
inline uint32_t q330sim_get32(const unsigned char *p) {
  return static_cast<uint32_t>(q330sim_get16(p)) << 16 | q330sim_get16(p + 2);
}

// Bitwise QDP CRC-32 (polynomial 0x56070368, MSB first, initial 0, no final XOR).
uint32_t q330sim_crc(const unsigned char *buf, size_t len);
// RFC 1321 MD5.
void q330sim_md5(const void *data, size_t len, unsigned char digest[16]);

struct Q330SimOptions {
  int base_port = 0;  // 0: a free base port is chosen
  int logical = 1;
  uint64_t serial = 0x0100000012345678ull;
  uint64_t auth_code = 0;  // the code whose digest is accepted
  uint32_t property_tag = 3301;
  uint32_t challenge_high = 0x01234567, challenge_low = 0x89ABCDEF;
  uint16_t registration_number = 7;
  std::string address = "127.0.0.1";  // the loopback address the ports are bound to
};

enum Q330SimFaultKind {
  Q330SIM_DROP,          // no reply
  Q330SIM_DELAY,         // reply after `value` seconds (clock seam)
  Q330SIM_DUPLICATE,     // reply twice
  Q330SIM_BADCRC,        // reply with a wrong CRC
  Q330SIM_WRONGLENGTH,   // reply whose length field is one too many
  Q330SIM_STALEACK,      // reply with ack one behind
  Q330SIM_WRONGCOMMAND,  // reply with command `value` and an empty payload
  Q330SIM_CERR,          // reply C1_CERR with code `value`
  Q330SIM_EMPTY,         // a 0-byte datagram instead of the reply
  Q330SIM_SHORT,         // an 8-byte datagram instead of the reply
  Q330SIM_OTHERPORT,     // the reply from another port of 127.0.0.1
  Q330SIM_OTHERADDR,     // the reply from 127.0.0.2
};

struct Q330SimFault {
  int command = -1;  // command code it applies to; -1 any
  int nth = 0;       // the n-th datagram (1-based) of that command; 0 every one
  int kind = Q330SIM_DROP;
  int value = 0;
  int count = 1;  // with nth 0: how many times it fires; 0 for ever
};

// One datagram the simulator received.
struct Q330SimDatagram {
  int port_type;  // 1 control, 2 data, 3 configuration
  int command;
  uint16_t sequence, ack;
  std::vector<unsigned char> payload;
  bool crc_ok;
};

class Q330Sim {
 public:
  explicit Q330Sim(const Q330SimOptions &options);
  ~Q330Sim();
  Q330Sim(const Q330Sim &) = delete;
  Q330Sim &operator=(const Q330Sim &) = delete;

  // Binds the ports and starts the loop. 0 or -1.
  int start();
  void stop();
  int base_port() const { return base_; }
  const std::string &address() const { return options_.address; }
  int control_port() const { return base_ + 2 * options_.logical; }
  int data_port() const { return control_port() + 1; }
  // The configuration port (logical 0) and the model of the operator commands and of
  // that port (q330sim_commands.h), made on first use.
  int config_port() const { return base_; }
  std::shared_ptr<Q330SimCommands> commands();

  void add_fault(const Q330SimFault &fault);
  std::vector<Q330SimDatagram> received();
  int count(int command);
  // Waits (at most `seconds` of clock time) until `n` datagrams of `command` arrived;
  // their count.
  int wait_count(int command, int n, double seconds);
  // The digest text the simulator expects for a challenge answer.
  std::string digest_text(uint64_t code) const;
  // The status model (made on first use); its knobs and records are under its mutex.
  std::shared_ptr<Q330SimStatus> status_model();
  // The configuration model (made on first use; see q330sim_config.h). Hold its mutex to
  // change it while the loop runs.
  Q330SimConfig &config();
  // The data port's model (q330sim_data.h), made on first use: knobs and counters.
  Q330SimData &data();
  // Announces this unit with a C2_POC datagram (its serial number, `ip` as its address,
  // its logical port's data port number) sent to 127.0.0.1:`poc_port` from `from_addr`
  // (a loopback address, e.g. "127.0.0.2" for a unit that moved), on a socket of its own.
  // 0, or -1 when it could not be sent.
  int send_poc(int poc_port, uint32_t ip, const char *from_addr);
  // Moves the unit to another loopback address (q330sim_poc.cpp): the loop stops, the same
  // port numbers are bound on `address`, and the loop goes on there with everything it
  // held (registration, data stream, packet buffer). 0, or -1 when the ports cannot be
  // bound there (the unit is then down).
  int move(const std::string &address);
  // Reboots the unit (q330sim_reboot.cpp): it answers nothing for `seconds` of clock time,
  // then comes back with no registration (control commands other than C1_POLLSN, C1_RQSRV
  // and C1_SRVRSP are answered C1_CERR 2 until a server registers again), its data port
  // closed until the next DT_OPEN, the reboot count raised, and its sequence numbers
  // started again: the control port's from 1, and the packets still in the packet buffer
  // (kept, never acknowledged) renumbered from the LOG's first data sequence number.
  void reboot(double seconds);
  // True while a reboot lasts.
  bool rebooting();
  int reboots();

 private:
  void loop();
  // Reboot hooks of the loop (q330sim_reboot.cpp): true when the datagram is to be ignored
  // (the unit is down), and the registration check of a control-port command (true when
  // the command may be answered; else *reply_cmd and *payload carry the C1_CERR 2).
  bool reboot_ignores();
  bool reboot_registered(const Q330SimDatagram &in, int *reply_cmd,
                         std::vector<unsigned char> *payload);
  // Area hooks, each defined in its area's file. The answer_* hooks are asked in turn for
  // a good control-port command; the first that returns true made the reply (command and
  // payload; faults still apply to it). data_received gets every datagram of the data
  // port; tick runs on each pass of the loop (at least every 20 ms).
  bool answer_config(const Q330SimDatagram &in, int *reply_cmd,
                     std::vector<unsigned char> *payload);
  bool answer_status(const Q330SimDatagram &in, int *reply_cmd,
                     std::vector<unsigned char> *payload);
  bool answer_commands(const Q330SimDatagram &in, int *reply_cmd,
                       std::vector<unsigned char> *payload);
  void data_received(int fd, const Q330SimDatagram &in, const void *from, unsigned fromlen);
  void tick();
  // A datagram that arrived on the configuration port (q330sim_commands.cpp).
  void config_port_received(const unsigned char *buf, size_t n, const void *from, unsigned fromlen);
  void handle(int fd, int port_type, const unsigned char *buf, size_t n, const void *from,
              unsigned fromlen);
  std::vector<unsigned char> datagram(int command, uint16_t ack,
                                      const std::vector<unsigned char> &payload);

  Q330SimOptions options_;
  int base_ = 0;
  int fd_control_ = -1, fd_data_ = -1, fd_other_port_ = -1, fd_other_addr_ = -1;
  int fd_config_ = -1;
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Q330SimFault> faults_;
  std::vector<Q330SimDatagram> received_;
  uint16_t sequence_ = 0;
  std::shared_ptr<Q330SimConfig> config_;
  std::shared_ptr<Q330SimStatus> status_;
  std::shared_ptr<Q330SimData> data_;
  std::shared_ptr<Q330SimCommands> commands_;
  // Reboot state, under mutex_.
  double down_until_ = 0;
  bool unregistered_ = false;
  int reboots_ = 0;
};
