// q330sim_reboot.cpp - the simulator's reboot (see Q330Sim::reboot in q330sim.h), and the
// data sequence number that the LOG reports, which a reboot starts again.
//
// While the unit is down the loop reads and drops every datagram of its three ports and
// makes no data. The packet buffer survives the reboot, as the datalogger's packet
// memory does; its packets are sent again, renumbered, once a server opens the data port.
#include <cstring>
#include <string>

#include "base/clock.h"
#include "q330sim.h"
#include "q330sim_config.h"
#include "q330sim_data.h"

namespace {

enum {
  CMD_RQSRV = 0x10,
  CMD_SRVRSP = 0x11,
  CMD_POLLSN = 0x14,
  CMD_CERR = 0xA2,
  CERR_NOT_REGISTERED = 2,
};

}  // namespace

void Q330Sim::reboot(double seconds) {
  Q330SimData &m = data();
  {
    std::lock_guard<std::mutex> lock(m.mutex);
    m.open = false;
    m.held.clear();
    m.held_in.clear();
    uint16_t seq = m.knobs.data_sequence_number;
    // Renumbered packets count as never sent: an acknowledgement of the old numbers
    // (late, or from a client that has not seen the reboot) must not free them.
    for (auto &p : m.buffer) {
      p.seq = seq++;
      p.in_flight = p.ever_sent = false;
    }
    m.next_seq = seq;
  }
  Q330SimConfig &c = config();
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    c.total_number_of_reboots++;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  down_until_ = clock_monotonic() + seconds;
  unregistered_ = true;
  sequence_ = 0;
  reboots_++;
}

bool Q330Sim::rebooting() {
  std::lock_guard<std::mutex> lock(mutex_);
  return clock_monotonic() < down_until_;
}

int Q330Sim::reboots() {
  std::lock_guard<std::mutex> lock(mutex_);
  return reboots_;
}

bool Q330Sim::reboot_ignores() { return rebooting(); }

bool Q330Sim::reboot_registered(const Q330SimDatagram &in, int *reply_cmd,
                                std::vector<unsigned char> *payload) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!unregistered_ || in.command == CMD_POLLSN || in.command == CMD_RQSRV) return true;
  if (in.command == CMD_SRVRSP) {
    // A good response registers the server again; the reply itself is made as always.
    unsigned char want[16];
    std::string text = digest_text(options_.auth_code);
    q330sim_md5(text.data(), text.size(), want);
    if (in.payload.size() >= 48 && memcmp(in.payload.data() + 32, want, 16) == 0)
      unregistered_ = false;
    return true;
  }
  *reply_cmd = CMD_CERR;
  payload->clear();
  q330sim_put16(*payload, CERR_NOT_REGISTERED);
  return false;
}
