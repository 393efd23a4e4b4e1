// q330_data.cpp - the data port of a session (see q330_data.h).
#include "q330_data.h"

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "base/bigendian.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/timetext.h"
#include "pwb.h"
#include "q330_dblk.h"
#include "q330_qdp.h"
#include "q330_state.h"

namespace {

constexpr int SLOT_BYTES = Q330_QDP_DATA_MAX;  // the largest data payload
constexpr double DUMP_INTERVAL = 60.0;         // packet-cache dumps of dropped packets
constexpr int DUMP_ALL = 1 << 30;              // dump the caches whole
// A data record sequence no record carries for a century yet: the record a packet without
// a time tag could go on with, when there is none.
constexpr uint32_t NO_RECORD = 0xFFFFFFFFu;
// The read's own result for a wait cut short by the acknowledgement timer that ended empty.
constexpr int TIMER_RAN_OUT = 1000;

int fold60000(int d) {
  if (d < -60000) d += 65536;
  if (d > 60000) d -= 65536;
  return d;
}

int fold32768(int d) {
  d &= 0xFFFF;
  return d > 32768 ? d - 65536 : d;
}

uint32_t *bitmap_word(Q330DACKPkt *dack, int k) {
  switch (k / 32) {
    case 0:
      return &dack->ack_bitmap_0to31;
    case 1:
      return &dack->ack_bitmap_32to63;
    case 2:
      return &dack->ack_bitmap_64to95;
    default:
      return &dack->ack_bitmap_96to127;
  }
}

bool get_bit(const Q330DACKPkt *dack, int k) {
  return (*bitmap_word(const_cast<Q330DACKPkt *>(dack), k) >> (k % 32)) & 1u;
}

void set_bit(Q330DACKPkt *dack, int k) { *bitmap_word(dack, k) |= 1u << (k % 32); }

bool same_dack(const Q330DACKPkt &a, const Q330DACKPkt &b) {
  return a.qdp_ack == b.qdp_ack && a.new_throttle_value == b.new_throttle_value &&
         a.ack_bitmap_0to31 == b.ack_bitmap_0to31 && a.ack_bitmap_32to63 == b.ack_bitmap_32to63 &&
         a.ack_bitmap_64to95 == b.ack_bitmap_64to95 && a.ack_bitmap_96to127 == b.ack_bitmap_96to127;
}

bool debug(const Q330 *q330) { return q330->params.debug_data != 0; }

// Dumps the packet caches whole, at most once a minute; the dumps left out are counted
// and reported with the next one.
void rate_limited_dump(Q330 *q330) {
  double now = clock_monotonic();
  if (q330->data_dump_time != 0 && now - q330->data_dump_time < DUMP_INTERVAL) {
    q330->data_dump_suppressed++;
    return;
  }
  if (q330->data_dump_suppressed > 0)
    q330_output(q330, Q330_OUT_LOG, "%d packet cache dumps suppressed.\n",
                q330->data_dump_suppressed);
  q330->data_dump_time = now;
  q330->data_dump_suppressed = 0;
  q330_log_packet_cache(q330, DUMP_ALL);
}

void debug_read_line(Q330 *q330, int command, unsigned sequence, const unsigned char *pkt,
                     int nbytes) {
  int chan = nbytes > 4 ? pkt[4] : 0;
  const char *name = q330_cmdstr(static_cast<unsigned>(command));
  if (command == Q330_DT_DATA && chan == 0x98 && nbytes >= 16) {
    double t = q330->epoch_2000 + be_get32(pkt) + be_get32(pkt + 8) + be_get32(pkt + 12) * 1e-6;
    char *text = epoch2str(t, "%Y%j:%T");
    q330_output(q330, Q330_OUT_LOG,
                "DEBUGD: q330_read_data: read cmd=%s, seq=%d, nbytes=%d, nlack=%d, chan=0x%2.2X, "
                "time=%s.\n",
                name ? name : "?", sequence, nbytes, q330->packets_received_since_last_ack, chan,
                text ? text : "");
    free(text);
    return;
  }
  q330_output(q330, Q330_OUT_LOG,
              "DEBUGD: q330_read_data: read cmd=%s, seq=%d, nbytes=%d, nlack=%d, chan=0x%2.2X.\n",
              name ? name : "?", sequence, nbytes, q330->packets_received_since_last_ack, chan);
}

void free_window(Q330 *q330) {
  packet_window_buffer_free(q330->pwb);
  q330->pwb = nullptr;
  q330->data_disputed.clear();
}

// The data endpoint, created when missing (with the averagers when `averages`); 0, or the
// failing step as q330_make_endpoint.
int data_endpoint(Q330 *q330, bool averages) {
  double origin = 0;
  if (averages) {
    std::lock_guard<std::mutex> lock(q330->status.status_mutex);
    origin = q330->status.datarate_origin;
  }
  return q330_make_endpoint(q330, &q330->udp_data, q330->params.udp_packetcache_size_data,
                            q330->params.data_drop_packet_pcnt, averages, origin);
}

// Station code from the property tag for a channel that takes it.
void station_from_tag(Q330 *q330, Q330Chan *c, const char *tag) {
  if (!c->user_data || !c->stafromproptag) return;
  snprintf(c->sta, sizeof c->sta, "%s", tag);
  c->stafromproptag = 0;
  if (!q330->nowritestash) q330->pendingstashrequest = 1;
}

void clear_bit(Q330DACKPkt *dack, int k) { *bitmap_word(dack, k) &= ~(1u << (k % 32)); }

// True when the window holds exactly these bytes for the sequence.
bool same_as_held(const Q330 *q330, int command, unsigned sequence, const unsigned char *pkt,
                  int nbytes) {
  const unsigned char *held = nullptr;
  int held_bytes = 0, held_command = 0;
  return packet_window_buffer_peek(q330->pwb, sequence, &held, &held_bytes, &held_command) &&
         held_command == command && held_bytes == nbytes &&
         memcmp(held, pkt, static_cast<size_t>(nbytes)) == 0;
}

// Most copies kept of one contested sequence: the datalogger's resend matches one of the
// first two, so more come only from a forger, whose newest copies replace its older ones.
constexpr size_t DISPUTED_COPIES_MAX = 4;

bool contested(const Q330 *q330, unsigned sequence) {
  for (const Q330DataCopy &c : q330->data_disputed)
    if (c.sequence == (sequence & 0xFFFF)) return true;
  return false;
}

// True when a copy of the contested `sequence` equal to this packet came before: the
// contest is over, and the packet may take its slot.
bool settles(Q330 *q330, int command, unsigned sequence, const unsigned char *pkt, int nbytes) {
  std::vector<Q330DataCopy> &d = q330->data_disputed;
  bool equal = false;
  for (const Q330DataCopy &c : d)
    equal |= c.sequence == (sequence & 0xFFFF) && c.command == command &&
             c.bytes.size() == static_cast<size_t>(nbytes) &&
             memcmp(c.bytes.data(), pkt, static_cast<size_t>(nbytes)) == 0;
  if (equal)
    d.erase(
        std::remove_if(d.begin(), d.end(),
                       [&](const Q330DataCopy &c) { return c.sequence == (sequence & 0xFFFF); }),
        d.end());
  return equal;
}

// Keeps one more copy of a contested sequence, first forgetting those of sequences the
// window has passed and the oldest of this one beyond the limit.
void keep_disputed(Q330 *q330, int command, unsigned sequence, const unsigned char *pkt,
                   int nbytes) {
  std::vector<Q330DataCopy> &d = q330->data_disputed;
  const PWB *w = q330->pwb;
  d.erase(std::remove_if(d.begin(), d.end(),
                         [&](const Q330DataCopy &c) {
                           return !w || static_cast<uint16_t>(c.sequence - w->bottom) >= w->size;
                         }),
          d.end());
  size_t mine = 0;
  for (const Q330DataCopy &c : d) mine += c.sequence == (sequence & 0xFFFF);
  if (mine >= DISPUTED_COPIES_MAX)
    d.erase(std::find_if(d.begin(), d.end(),
                         [&](const Q330DataCopy &c) { return c.sequence == (sequence & 0xFFFF); }));
  d.push_back(
      {static_cast<uint16_t>(sequence), command, std::vector<unsigned char>(pkt, pkt + nbytes)});
}

// A packet with the sequence of one held but other bytes: one of the two is not the
// datalogger's. Neither is passed on: the held one leaves its slot and both are kept, and
// its mark is taken back, so that no acknowledgement frees the datalogger's packet on the
// strength of a copy that may be the forged one. The datalogger then sends it again, and
// the first copy equal to one kept settles it (push_packet). Counted, and complained
// about at most once a minute.
void conflicting_packet(Q330 *q330, int command, unsigned sequence, const unsigned char *pkt,
                        int nbytes) {
  q330->npkts_conflicting++;
  const unsigned char *held = nullptr;
  int held_bytes = 0, held_command = 0;
  if (packet_window_buffer_peek(q330->pwb, sequence, &held, &held_bytes, &held_command)) {
    keep_disputed(q330, held_command, sequence, held, held_bytes);
    packet_window_buffer_drop(q330->pwb, sequence);
  }
  keep_disputed(q330, command, sequence, pkt, nbytes);
  const int k = fold60000(static_cast<int>(sequence & 0xFFFF) - q330->last_dack.qdp_ack);
  if (k > 0 && k < 128) clear_bit(&q330->last_dack, k);
  Q330DropLimit &limit = q330->conflict_limit;
  limit.dropped++;
  const double now = clock_monotonic();
  if (limit.time != 0 && now - limit.time < 60.0) return;
  q330_output(q330, Q330_OUT_LOG,
              "q330_read_data: %d packet%s with the sequence of one held but other bytes "
              "dropped (the last %u); held back until the datalogger sends it again.\n",
              limit.dropped, limit.dropped == 1 ? "" : "s", sequence & 0xFFFF);
  limit.time = now;
  limit.dropped = 0;
}

// Most packets of one record kept for a restart: far more than a second of data from a
// Q330 fills, and a bound on what a stream that never sends a time tag can make it hold.
constexpr size_t RECORD_COPY_MAX = 256;

// Publishes the data thread's position with the copies (data_copy_mutex held).
void publish_mark_locked(Q330 *q330) {
  Q330StreamMark &m = q330->data_mark;
  m.known = q330->data_boot_known;
  m.boot_reboots = q330->data_boot_reboots;
  m.boot_time = q330->data_boot_time;
  m.last_good_sequence = q330->last_good_sequence;
  m.qdp_sequence = q330->ch98_time_qdp_sequence;
  m.data_sequence = q330->ch98_time_data_sequence;
  m.ch98_time = q330->ch98_time;
}

// Keeps the packets the window holds beyond the gap before it, for the next open.
void keep_held(Q330 *q330) {
  if (!q330->pwb) return;
  std::vector<Q330DataCopy> held;
  for (int d = 0; d < q330->pwb->size; d++) {
    const uint16_t sequence = static_cast<uint16_t>(q330->pwb->bottom + d);
    const unsigned char *bytes = nullptr;
    int nbytes = 0, command = 0;
    if (packet_window_buffer_peek(q330->pwb, sequence, &bytes, &nbytes, &command))
      held.push_back({sequence, command, std::vector<unsigned char>(bytes, bytes + nbytes)});
  }
  std::lock_guard<std::mutex> lock(q330->data_copy_mutex);
  q330->data_held_copy.swap(held);
}

// Puts the packets kept at the last close back into the new window, marked as held.
void restore_held(Q330 *q330) {
  std::vector<Q330DataCopy> held;
  {
    // Copied: the kept packets stay until the open publishes its position with them gone.
    std::lock_guard<std::mutex> lock(q330->data_copy_mutex);
    held = q330->data_held_copy;
  }
  for (const Q330DataCopy &c : held)
    if (packet_window_buffer_push(q330->pwb, c.command, c.sequence, c.bytes.data(),
                                  static_cast<int>(c.bytes.size())) == PWB_STORED)
      add_to_last_dack(q330, c.sequence);
}

// Rebuilds, in a program started again, the record it was assembling when it stopped,
// from the copies of its packets the state file kept: its time tag and the split blocks
// not yet whole. The entries already whole were passed on before the stop and are not
// passed on again; the packets that follow add the rest of the record.
void rebuild_record(Q330 *q330) {
  std::vector<Q330DataCopy> copy;
  {
    std::lock_guard<std::mutex> lock(q330->data_copy_mutex);
    copy = q330->data_record_copy;
  }
  auto data = std::make_unique<Q330DATAPkt>();
  // No record was delivered in this run: the time tag must not count one.
  const double saved_time = q330->ch98_time;
  q330->ch98_time = 0;
  int used = 0;
  bool timed = false;
  for (Q330DataCopy &c : copy) {
    if (c.command != Q330_DT_DATA ||
        q330_unstuff_pkt(q330, c.command, c.sequence, 0, c.bytes.data(),
                         static_cast<int>(c.bytes.size()), data.get()) != 0) {
      elog_clear_register(0);
      continue;
    }
    used++;
    q330->data_record_sequence = data->data_record_sequence;
    q330->qdp_sequence = data->qdp_sequence;
    q330->ch98_time_qdp_sequence = q330->qdp_sequence;
    for (int i = 0; i < data->nblockettes; i++) {
      Q330DATABlockette &b = data->blockette[i];
      int r = 0;
      if (b.channel == 0x98) {
        r = q330_process_DBLK_DSAMP_TIME(b.type, b.blockette, q330);
        timed = true;
      } else if (b.channel >= 0xF0 && b.channel <= 0xF5)
        r = q330_process_DBLK_DATA_COMPR_CONT(b.type, b.blockette, q330);
      if (r < 0) elog_clear_register(0);
    }
  }
  q330->data_out_offset = Q330_DATA_RECORD_HEADER;
  q330->data_out_nchans = 0;
  if (!timed) {
    // No time tag to go on from (a fill ended the record, or none was kept): the rest of
    // a record is dropped until the next time tag.
    q330->ch98_time = saved_time;
    q330->ch98_time_data_sequence = NO_RECORD;
    return;
  }
  q330_output(q330, Q330_OUT_LOG,
              "data record %u taken up again from %d packets passed on before the restart.\n",
              static_cast<unsigned>(q330->ch98_time_data_sequence), used);
}

}  // namespace

// ---- Acknowledgements ---------------------------------------------------------------------

int add_to_last_dack(Q330 *q330, unsigned sequence) {
  int k = fold60000(static_cast<int>(sequence & 0xFFFF) - q330->last_dack.qdp_ack);
  if (k < 0) {
    shift_last_dack(q330, sequence);
    k = 0;
  }
  if (k < 128) set_bit(&q330->last_dack, k);
  return 0;
}

int shift_last_dack(Q330 *q330, unsigned base_sequence) {
  Q330DACKPkt &d = q330->last_dack;
  int k = fold60000(static_cast<int>(base_sequence & 0xFFFF) - d.qdp_ack);
  if (k == 0) return 0;
  Q330DACKPkt old = d;
  d.qdp_ack = static_cast<uint16_t>(base_sequence);
  d.ack_bitmap_0to31 = 1;
  d.ack_bitmap_32to63 = d.ack_bitmap_64to95 = d.ack_bitmap_96to127 = 0;
  for (int c = 0; c < 128; c++) {
    int from = c + k;
    if (from >= 1 && from <= 127 && get_bit(&old, from)) set_bit(&d, c);
  }
  return 0;
}

int dack_holes(Q330 *q330) {
  int highest = -1;
  for (int k = 0; k < 128; k++)
    if (get_bit(&q330->last_dack, k)) highest = k;
  int holes = 0;
  for (int k = 0; k < highest; k++) holes += !get_bit(&q330->last_dack, k);
  return holes;
}

int print_dack(Q330 *q330, Q330DACKPkt *dack, const char *dbgmsg) {
  if (!q330->params.debug_data && !q330->params.debug_ack) return 0;
  std::string label = dbgmsg ? dbgmsg : "";
  if (!label.empty() && same_dack(*dack, q330->last_print_dack)) label[0] = 'l';
  q330->last_print_dack = *dack;
  if (q330->params.ack_print_bit_flag == 1) {
    std::string bits;
    for (int k = 0; k < 128; k++) bits += get_bit(dack, k) ? '+' : '0';
    size_t last = bits.find_last_of('+');
    bits.resize(last == std::string::npos ? 0 : last + 1);
    q330_output(q330, Q330_OUT_LOG, "DEBUGA: %s: %5.5d %s\n", label.c_str(), dack->qdp_ack,
                bits.c_str());
  } else {
    q330_output(q330, Q330_OUT_LOG, "DEBUGA: %s: %4.4X 0x%8.8x 0x%8.8x 0x%8.8x 0x%8.8x\n",
                label.c_str(), dack->qdp_ack, dack->ack_bitmap_0to31, dack->ack_bitmap_32to63,
                dack->ack_bitmap_64to95, dack->ack_bitmap_96to127);
  }
  return 0;
}

int send_dack(Q330 *q330, const char *dbgmsg) {
  // The base is the last packet passed on; the bitmap marks every packet held beyond it,
  // so the datalogger frees them and resends only what is missing. What that frees lives
  // only here from then on: the record being assembled and the packets held beyond a gap
  // are kept across a re-open (q330_close_data, q330_open_data) and, through the state
  // file, across an orderly restart.
  shift_last_dack(q330, q330->last_good_sequence);
  if (q330->params.stop_acks) {
    std::string label = std::string(dbgmsg ? dbgmsg : "") + "(NOSEND)";
    print_dack(q330, &q330->last_dack, label.c_str());
  } else {
    print_dack(q330, &q330->last_dack, dbgmsg);
    if (q330_sendcmd(q330, Q330_DT_DACK, &q330->last_dack) < 0) return -1;
  }
  q330->time_last_dack = 0;
  q330->sequence_last_dack = q330->last_dack.qdp_ack;
  q330->packets_received_since_last_ack = 0;
  return 0;
}

// ---- The stream ---------------------------------------------------------------------------

namespace {

// Open, first phase: the data endpoint (made once per session, else emptied), the
// registration it needs, and the window and acknowledgement state of the last stream
// cleared. 0, or -1 with `error` set.
int open_endpoint(Q330 *q330, char *error, int err_sz) {
  q330_set_error(error, err_sz, "%s", "");
  Q330DLParams &p = q330->params;
  {
    std::lock_guard<std::mutex> lock(q330->status.status_mutex);
    q330->status.npkts_processed_total = 0;
  }
  if (q330->udp_data) {
    if (debug(q330))
      q330_output(q330, Q330_OUT_LOG, "DEBUGD: Closing local data port %d.\n", p.local_port_data);
    udp_close(q330->udp_data);
  } else {
    static const char *const steps[] = {"", "udp_new(udp_data) error",
                                        "udp_new_packet_cache(udp_data) error.\n",
                                        "udp_setup_averages(udp_data) error"};
    int step = data_endpoint(q330, true);
    if (step != 0) {
      elog_clear_register(0);
      q330_set_error(error, err_sz, "q330_open_data: %s", steps[step]);
      return -1;
    }
    q330_read_state_udp(q330, 2);  // the saved 24-hour byte counts, once per session
  }
  if (!q330->state_registered) {
    q330_set_error(error, err_sz, "q330_open_data: Must register server first");
    return -1;
  }
  keep_held(q330);
  free_window(q330);
  q330->packets_received_since_last_ack = 0;
  q330->time_last_dack = 0;
  return 0;
}

// The channels set up on the datalogger, and every output channel's station taken
// from the property tag where asked. 0, or -1 with `error` set.
int open_channels(Q330 *q330, char *error, int err_sz) {
  Q330DLParams &p = q330->params;
  if (debug(q330))
    q330_output(q330, Q330_OUT_LOG, "q330_open_data: requesting auto configure channels...\n");
  if (q330_cfg_channels_auto(q330, error, err_sz) < 0) return -1;
  if (debug(q330))
    q330_output(q330, Q330_OUT_LOG, "q330_open_data: auto configure channels successful.\n");

  char tag[16];
  snprintf(tag, sizeof tag, "%d", static_cast<int>(q330->config.config_pkt.fix.kmi_property_tag));
  for (auto &row : p.data_chan)
    for (Q330Chan &c : row) {
      c.first_output_time = 0;
      if (c.outputthischan) station_from_tag(q330, &c, tag);
    }
  for (Q330Chan *c : p.ep_channels) {
    if (!c) continue;
    c->first_output_time = 0;
    c->pf_dvalue = 2.0e30f;
    station_from_tag(q330, c, tag);
  }
  if (q330->pendingstashrequest)
    q330_output(q330, Q330_OUT_LOG, "--------q330 %s sending stash--------\n",
                p.dlname ? p.dlname : "");
  return 0;
}

// A full status readout; in *log_out the LOG block it leaves, in *size_out the window
// that block allows. 0, or -1 with `error` set.
int open_status(Q330 *q330, Q330LOGPkt *log_out, int *size_out, char *error, int err_sz) {
  q330->first_status = 1;
  q330->full_status = 1;
  {
    std::lock_guard<std::mutex> lock(q330->status.status_mutex);
    q330->status.time_last_status_pkt = 0;
  }
  if (debug(q330)) q330_output(q330, Q330_OUT_LOG, "q330_open_data: requesting status...\n");
  if (q330_get_status(q330, nullptr, 0, error, err_sz) < 0) return -1;
  if (debug(q330)) q330_output(q330, Q330_OUT_LOG, "q330_open_data: status request successful.\n");

  *log_out = q330->config.config_pkt.log;
  const Q330LOGPkt &log = *log_out;
  int size = log.window_size;
  if (size < 1) {
    q330_set_error(error, err_sz, "q330_open_data: datalogger window_size %d cannot carry data",
                   size);
    q330_output(q330, Q330_OUT_LOG, "ERROR: Unable to open data stream: window_size %d.\n", size);
    return -1;
  }
  if (size > Q330_DATA_WINDOW_MAX) {
    q330_output(q330, Q330_OUT_LOG,
                "WARNING: datalogger window_size %d is beyond the acknowledgement span; %d "
                "used.\n",
                size, Q330_DATA_WINDOW_MAX);
    size = Q330_DATA_WINDOW_MAX;
  }
  *size_out = size;
  return 0;
}

// The sequence the new stream starts at, and in *resume whether it goes on where the
// last stream of this boot stopped; the boot it belongs to is remembered.
uint16_t open_start(Q330 *q330, const Q330LOGPkt &log, int size, bool *resume, bool *drop_record) {
  // The datalogger starts at its oldest packet not acknowledged: the one after the last
  // passed on, or earlier when the last acknowledgements were lost. When this session
  // knows where it stands in the same boot (it opened the stream before, or its state
  // file keeps the record begun) and the datalogger starts no farther back than a
  // window, the stream goes on after the last packet passed on: the older ones the
  // datalogger resends fall behind the window and are acknowledged by the base, not
  // passed on twice, and the packets held beyond a gap are taken up again. Otherwise the
  // stream is taken where the datalogger starts it.
  const Q330FIXPkt &fix = q330->config.config_pkt.fix;
  uint16_t start = log.data_sequence_number;
  const uint16_t next = static_cast<uint16_t>(q330->last_good_sequence + 1);
  const int passed = static_cast<uint16_t>(next - start);
  const bool same_boot = q330->data_boot_known &&
                         q330->data_boot_reboots == fix.total_number_of_reboots &&
                         q330->data_boot_time == fix.time_of_last_reboot;
  *resume = same_boot && (q330->data_stream_opened || q330->data_record_restored) && passed <= size;
  if (*resume) {
    if (passed > 0)
      q330_output(q330, Q330_OUT_LOG,
                  "data stream re-opened at %d: %d packets from %d already passed on.\n", next,
                  passed, start);
    start = next;
    if (!q330->data_stream_opened) rebuild_record(q330);
  } else {
    // What was held is dropped; the copy of the record begun stays with the record this
    // program goes on assembling. Both when the open publishes its position.
    *drop_record = !q330->data_stream_opened;
    // Another boot numbers its packets afresh: the last sequence seen means nothing in it,
    // and the rest of a record begun before (the packets the datalogger still kept,
    // renumbered) must still pass.
    if (!same_boot) q330->ch98_time_qdp_sequence = static_cast<uint16_t>(start - 1);
    // A program started afresh that cannot go on where it stopped holds no record: the
    // rest of one whose time tag it never saw is dropped until the next time tag.
    if (!q330->data_stream_opened) q330->ch98_time_data_sequence = NO_RECORD;
  }
  q330->data_record_restored = false;
  q330->data_boot_known = true;
  q330->data_stream_opened = true;
  q330->data_boot_reboots = fix.total_number_of_reboots;
  q330->data_boot_time = fix.time_of_last_reboot;
  return start;
}

// The acknowledgement state of the new stream, starting at `start`, with the packets held
// before taken up again when it resumes.
void open_acks(Q330 *q330, const Q330LOGPkt &log, uint16_t start, bool resume) {
  const Q330DLParams &p = q330->params;
  q330->last_good_sequence = static_cast<uint16_t>(start - 1);
  if (p.verbose_log > 1 && q330->ch98_time_qdp_sequence_first != 0 &&
      fold32768(q330->last_good_sequence - q330->ch98_time_qdp_sequence_first) > 0)
    q330_output(q330, Q330_OUT_LOG,
                "DEBUGT: New starting seq (%d) > last 0x98 blockette seq (%d)\n",
                log.data_sequence_number, q330->ch98_time_qdp_sequence_first);

  q330->last_dack = Q330DACKPkt{};
  q330->last_dack.qdp_ack = q330->last_good_sequence;
  q330->last_dack.ack_bitmap_0to31 = 1;
  q330->last_dack.new_throttle_value = static_cast<uint16_t>(p.throttle_q330);
  if (resume) restore_held(q330);
}

// The stream is open: the first data are awaited, and the control port's inactivity
// deadline starts.
void open_done(Q330 *q330, const Q330LOGPkt &log) {
  const Q330DLParams &p = q330->params;
  q330->first_data = 1;
  q330->state_dataopen = 1;
  q330_wake(q330);
  if (log.flags & 0x4000)
    q330_output(q330, Q330_OUT_LOG, "data stream open - starting with %d and base96 encoding.\n",
                log.data_sequence_number);
  else
    q330_output(q330, Q330_OUT_LOG, "data stream open - starting with %d.\n",
                log.data_sequence_number);
  {
    std::lock_guard<std::mutex> lock(q330->timeout_mutex);
    q330->control_timeout =
        p.control_inactivity_timeout > 0 ? clock_now() + p.control_inactivity_timeout : 0;
  }
}

}  // namespace

int q330_open_data(Q330 *q330, char *error, int err_sz) {
  if (open_endpoint(q330, error, err_sz) < 0) return -1;
  if (open_channels(q330, error, err_sz) < 0) return -1;
  if (const char *why = q330_breakout(q330->state_acquisition, nullptr)) {
    q330_output(q330, Q330_OUT_LOG, "Open data breakout due to %s\n", why);
    return -2;
  }

  Q330LOGPkt log{};
  int size = 0;
  if (open_status(q330, &log, &size, error, err_sz) < 0) return -1;
  if (debug(q330)) q330_output(q330, Q330_OUT_LOG, "q330_open_data: requesting DT_OPEN...\n");
  if (q330_sendcmd(q330, Q330_DT_OPEN) < 0) {
    q330_set_error(error, err_sz, "q330_open_data: q330_sendcmd(DT_OPEN) error");
    q330_output(q330, Q330_OUT_LOG, "ERROR: Unable to open data stream.\n");
    return -1;
  }
  q330->time_dtopen = clock_now();

  bool resume = false, drop_record = false;
  const uint16_t start = open_start(q330, log, size, &resume, &drop_record);
  if (packet_window_buffer_new(&q330->pwb, size, start, SLOT_BYTES) < 0) {
    elog_clear_register(0);
    q330_set_error(error, err_sz, "q330_open_data: packet_window_buffer_new() error");
    return -1;
  }

  open_acks(q330, log, start, resume);
  {
    // The held packets are in the window now, or dropped; the position and the copies
    // change in one step.
    std::lock_guard<std::mutex> lock(q330->data_copy_mutex);
    if (drop_record) q330->data_record_copy.clear();
    q330->data_held_copy.clear();
    publish_mark_locked(q330);
  }
  open_done(q330, log);
  return 0;
}

namespace {

// Hands every in-order packet of the window to q330_proc_data, waiting out a busy
// consumer. A packet that cannot be decoded is counted and passed over as processed.
void pop_in_order(Q330 *q330) {
  std::vector<unsigned char> pkt(Q330_QDP_MAX);
  for (;;) {
    int command = 0, nbytes = static_cast<int>(pkt.size());
    uint16_t sequence = 0;
    if (packet_window_buffer_pop(q330->pwb, &command, &sequence, pkt.data(), &nbytes) != PWB_POPPED)
      return;
    {
      std::lock_guard<std::mutex> lock(q330->status.status_mutex);
      q330->status.npkts_processed_total++;
    }
    if (debug(q330))
      q330_output(q330, Q330_OUT_LOG, "DEBUGD: q330_read_data: popped seq=%d\n", sequence);
    int rc;
    char *bytes = reinterpret_cast<char *>(pkt.data());
    while ((rc = q330_proc_data(q330, command, sequence, bytes, nbytes)) == Q330_OUT_BUSY)
      myusleep(0.1);
    if (rc < 0) {
      q330->npkts_undecodable++;
      q330->last_good_sequence = sequence;
      q330_publish_data_mark(q330);
    }
  }
}

}  // namespace

namespace {

// The data port's time-outs from the acknowledgement timer of the LOG block.
void read_timeouts_setup(Q330 *q330) {
  Q330DLParams &p = q330->params;
  const Q330LOGPkt &log = q330->config.config_pkt.log;
  p.ack_timeout_data = log.acknowledge_timeout * 0.1;
  p.udp_timeout_data = p.ack_timeout_data + 0.005;
  if (p.udp_timeout_data > 10.0) p.udp_timeout_data = 10.0;
  double tries = p.timeout_data / p.udp_timeout_data + 0.5;
  p.maxretries_data = tries >= 1 ? (tries > 1e6 ? 1000000 : static_cast<int>(tries)) : 1;
}

// The first packet of a stream: the status report is asked for, the datalogger given time
// to send its backlog, and a user message sent where asked.
void first_data_packet(Q330 *q330) {
  const Q330DLParams &p = q330->params;
  const Q330LOGPkt &log = q330->config.config_pkt.log;
  q330->first_data = 0;
  q330->pendingstatusrequest = 1;
  if (q330->pendingstatusrequests) *q330->pendingstatusrequests = 1;
  q330_output(q330, Q330_OUT_LOG, "First data packet.\n");
  myusleep(2.0);
  if (p.user_message_level > 0) {
    if (log.flags & 0x4000)
      q330_output(q330, Q330_OUT_UMSG, "dopen %d L%d b96", log.data_sequence_number,
                  p.q330_port_logical);
    else
      q330_output(q330, Q330_OUT_UMSG, "dopen %d L%d", log.data_sequence_number,
                  p.q330_port_logical);
  }
}

// Puts a packet into the window: acknowledged and passed on in order when it fits
// (*stored), noted otherwise. 0, or -1 with `error` set when a slot cannot hold it.
int push_packet(Q330 *q330, int command, unsigned short sequence, unsigned char *buf, int nbytes,
                bool *stored, char *error, int err_sz) {
  if (debug(q330))
    q330_output(q330, Q330_OUT_LOG, "DEBUGD: q330_read_data: pushing seq=%d\n", sequence);
  if (contested(q330, sequence) && !settles(q330, command, sequence, buf, nbytes)) {
    conflicting_packet(q330, command, sequence, buf, nbytes);
    return 0;
  }
  switch (packet_window_buffer_push(q330->pwb, command, sequence, buf, nbytes)) {
    case PWB_AHEAD:
      if (debug(q330))
        q330_output(q330, Q330_OUT_LOG, "DEBUGD: q330_read_data: EOOR: seq %d too big - retrying\n",
                    sequence);
      break;
    case PWB_BEHIND:
      if (debug(q330))
        q330_output(q330, Q330_OUT_LOG,
                    "DEBUGD: q330_read_data: EOOR: seq %d too small - retrying\n", sequence);
      break;
    case PWB_HELD:
      if (same_as_held(q330, command, sequence, buf, nbytes)) {
        add_to_last_dack(q330, sequence);
        if (debug(q330))
          q330_output(q330, Q330_OUT_LOG,
                      "DEBUGD: q330_read_data: EDUP: duplicate sequence - retrying\n");
      } else {
        conflicting_packet(q330, command, sequence, buf, nbytes);
      }
      break;
    case PWB_STORED:
      add_to_last_dack(q330, sequence);
      pop_in_order(q330);
      *stored = true;
      break;
    default:
      // Slots hold the largest payload the datagram layer passes, so this means a
      // fault of this program: restart the link rather than lose packets silently.
      q330_output(q330, Q330_OUT_LOG,
                  "q330_read_data: data packet too big for packet window buffer.\n");
      q330_set_error(error, err_sz, "q330_read_data: data packet too big for packet window buffer");
      return -1;
  }
  return 0;
}

// A read time-out: -1 with `error` set once there were too many or DT_OPEN cannot be
// sent again; 0 otherwise, after sending DT_OPEN again when no data came for 30 s.
int read_timeout(Q330 *q330, int *timeouts, char *error, int err_sz) {
  const Q330DLParams &p = q330->params;
  if (++*timeouts >= p.maxretries_data) {
    if (debug(q330))
      q330_output(q330, Q330_OUT_LOG,
                  "DEBUGD: q330_read_data: ETTO: too many timeouts - will attempt to "
                  "re-register\n");
    q330_set_error(error, err_sz, "TIMEOUT");
    return -1;
  }
  if (q330->first_data) {
    if (clock_now() - q330->time_dtopen > 30.0) {
      if (debug(q330))
        q330_output(q330, Q330_OUT_LOG,
                    "DEBUGD: q330_read_data: ETIM: timeout  %.3f (%d) - resending DT_OPEN "
                    "and retrying read\n",
                    p.timeout_data, p.maxretries_data - *timeouts);
      if (q330_sendcmd(q330, Q330_DT_OPEN) < 0) {
        q330_output(q330, Q330_OUT_LOG, "q330_read_data: q330_sendcmd(DT_OPEN) error.\n");
        q330_set_error(error, err_sz, "DT_OPEN");
        return -1;
      }
      q330->time_dtopen = clock_now();
    } else if (debug(q330)) {
      q330_output(q330, Q330_OUT_LOG,
                  "DEBUGD: q330_read_data: ETIM: timeout  %.3f (%d) - retrying read\n",
                  p.timeout_data, p.maxretries_data - *timeouts);
    }
  } else if (debug(q330)) {
    q330_output(q330, Q330_OUT_LOG, "DEBUGD: q330_read_data: ETIM: timeout %.3f (%d) - retrying\n",
                p.udp_timeout_data, p.maxretries_data - *timeouts);
  }
  return 0;
}

// Sends the acknowledgement when enough packets came ("ct") or its timer ran out ("to"),
// and starts the timer with the first packet since the last one. 0, or -1 with `error`
// set.
int ack_if_due(Q330 *q330, char *error, int err_sz) {
  const Q330DLParams &p = q330->params;
  const Q330LOGPkt &log = q330->config.config_pkt.log;
  // Unset throttle (-1) goes out as 0.
  q330->last_dack.new_throttle_value = static_cast<uint16_t>(p.throttle_q330 + 1);
  const char *label = nullptr;
  if (q330->packets_received_since_last_ack >= log.acknowledge_count) {
    label = "ct";
  } else if (q330->packets_received_since_last_ack == 1 && q330->time_last_dack == 0) {
    q330->time_last_dack = clock_now();
  } else if (q330->time_last_dack != 0 && clock_now() - q330->time_last_dack > p.ack_timeout_data) {
    label = "to";
  }
  if (label) {
    if (send_dack(q330, label) < 0) {
      q330_output(q330, Q330_OUT_LOG, "q330_read_data: send_dack() error.\n");
      q330_set_error(error, err_sz, "SEND_DACK");
      return -1;
    }
  }
  return 0;
}

// The debug line of a packet dropped for its CRC or its size.
void debug_bad_packet(Q330 *q330, int rc) {
  if (!debug(q330)) return;
  q330_output(q330, Q330_OUT_LOG, "%s",
              rc == Q330_RECV_CRC ? "DEBUGD: q330_read_data: ECRC: bad CRC - retrying\n"
              : rc == Q330_RECV_DATASIZE
                  ? "DEBUGD: q330_read_data: ESZ1: QDP data size inconsistent with UDP "
                    "data size - retrying\n"
                  : "DEBUGD: q330_read_data: ESZ2: QDP data size greater than MTU limit "
                    "- retrying\n");
}

// Packets keep coming (`rc` is no time-out) but none was stored for timeout_data since
// `last_progress`: the stream has stopped moving.
bool no_progress(Q330 *q330, int rc, double last_progress) {
  const Q330DLParams &p = q330->params;
  const bool silent = rc == Q330_RECV_TIMEOUT || rc == Q330_RECV_WOULDBLOCK || rc == TIMER_RAN_OUT;
  if (silent || p.timeout_data <= 0 || clock_now() - last_progress <= p.timeout_data) return false;
  if (debug(q330))
    q330_output(q330, Q330_OUT_LOG,
                "DEBUGD: q330_read_data: ETTO: no packet stored for %.3f s - will attempt "
                "to re-register\n",
                p.timeout_data);
  return true;
}

}  // namespace

int q330_read_data(Q330 *q330, char *error, int err_sz) {
  q330_set_error(error, err_sz, "%s", "");
  Q330DLParams &p = q330->params;
  if (!q330->state_dataopen || !q330->pwb) {
    q330_output(q330, Q330_OUT_LOG, "q330_read_data: Must open data socket first.\n");
    q330_set_error(error, err_sz, "q330_read_data: Must open data socket first");
    return -1;
  }
  read_timeouts_setup(q330);
  int timeouts = 0;
  // Packets that arrive but never enter the window (behind it, ahead of it, held already,
  // corrupt) reset the time-out count; without this bound a stream that has stopped moving
  // would keep the call here for ever, past every deadline of the data thread.
  double last_progress = clock_now();
  std::vector<unsigned char> buf(Q330_QDP_MAX);

  for (;;) {
    int command = 0, nbytes = 0;
    unsigned short sequence = 0;
    // While the acknowledgement timer runs, the wait ends when it runs out, so that "to"
    // leaves on time rather than up to a whole wait later, when the datalogger may be
    // resending already. Such a shortened wait that ends empty is no time-out of the read.
    double wait = p.udp_timeout_data;
    bool timer_wait = false;
    if (q330->time_last_dack != 0) {
      const double left = q330->time_last_dack + p.ack_timeout_data + 0.005 - clock_now();
      if (left < wait) {
        wait = left > 0.001 ? left : 0.001;
        timer_wait = true;
      }
    }
    int rc = q330_recv_pkt_data_wait(q330, wait, &command, &sequence, buf.data(), &nbytes);
    if (timer_wait && rc == Q330_RECV_TIMEOUT) rc = TIMER_RAN_OUT;
    if (const char *why = q330_breakout(q330->state_acquisition, "link restart")) {
      q330_output(q330, Q330_OUT_LOG, "Read data breakout due to %s\n", why);
      return -2;
    }
    if (rc == Q330_RECV_OK && nbytes < 4) {
      // Every data-port packet carries at least its record sequence; a shorter one is a
      // size fault and is never stored, or its empty slot would stall the window.
      std::lock_guard<std::mutex> lock(q330->status.status_mutex);
      q330->status.npkts_wrongsize_error++;
      rc = Q330_RECV_DATASIZE;
    }
    bool stored = false;
    switch (rc) {
      case Q330_RECV_OK: {
        timeouts = 0;
        q330->packets_received_since_last_ack++;
        if (debug(q330)) debug_read_line(q330, command, sequence, buf.data(), nbytes);
        if (q330->first_data) {
          first_data_packet(q330);
          last_progress = clock_now();
        }
        if (push_packet(q330, command, sequence, buf.data(), nbytes, &stored, error, err_sz) < 0)
          return -1;
        break;
      }
      case TIMER_RAN_OUT:
        break;
      case Q330_RECV_TIMEOUT:
      case Q330_RECV_WOULDBLOCK:
        if (rc == Q330_RECV_WOULDBLOCK)
          q330_output(q330, Q330_OUT_LOG, "ERROR: udp_read() returns EWOULDBLOCK\n");
        if (read_timeout(q330, &timeouts, error, err_sz) < 0) return -1;
        break;
      case Q330_RECV_CRC:
      case Q330_RECV_DATASIZE:
      case Q330_RECV_TOOBIG:
        debug_bad_packet(q330, rc);
        timeouts = 0;
        break;
      default:
        if (debug(q330))
          q330_output(q330, Q330_OUT_LOG,
                      "DEBUGD: q330_read_data: ERDE: Bad read packet from q330 (%d).\n", rc);
        q330_set_error(error, err_sz, "q330_read_data: bad read packet (%d)", rc);
        return -1;
    }
    if (const char *why = q330_breakout(q330->state_acquisition, "link restart")) {
      q330_output(q330, Q330_OUT_LOG, "Read data breakout due to %s\n", why);
      return -2;
    }

    if (ack_if_due(q330, error, err_sz) < 0) return -1;
    if (stored) return 0;
    if (no_progress(q330, rc, last_progress)) {
      q330_set_error(error, err_sz, "TIMEOUT");
      return -1;
    }
  }
}

int q330_proc_data(Q330 *q330, int command, unsigned sequence, char *pkt, int nbytes) {
  auto data = std::make_unique<Q330DATAPkt>();
  auto *bytes = reinterpret_cast<unsigned char *>(pkt);
  // Only data and fill packets belong on this port; anything else is not decoded.
  int rc = command == Q330_DT_DATA || command == Q330_DT_FILL
               ? q330_unstuff_pkt(q330, command, sequence, 0, bytes, nbytes, data.get())
               : -1;
  if (rc != 0) {
    elog_clear_register(0);
    if (rc == Q330_RECV_BLOCKETTES)
      q330_output(q330, Q330_OUT_LOG,
                  "ERROR: Cannot unstuff packet - internal data buffer overrun\n");
    q330_output(q330, Q330_OUT_LOG, "ERROR: Cannot unstuff packet seq %u - packet skipped\n",
                sequence);
    rate_limited_dump(q330);
    return -1;
  }
  // The copy of what the record is made of so far, for a restart (rebuild_record): changed
  // with the position when the packet is through.
  bool clear_copy = false, keep_copy = false;
  if (command == Q330_DT_FILL) {
    // The datalogger had nothing more to send: the record begun is complete.
    clear_copy = true;
    if (debug(q330)) {
      auto *fill = reinterpret_cast<Q330FILLPkt *>(data.get());
      q330_output(q330, Q330_OUT_LOG, "DEBUGD: fill: seq %d, rec %d\n", fill->qdp_sequence,
                  static_cast<int>(fill->data_record_sequence));
    }
  } else if (command == Q330_DT_DATA) {
    q330->data_record_sequence = data->data_record_sequence;
    q330->qdp_sequence = data->qdp_sequence;
    int d = fold32768(q330->qdp_sequence - q330->ch98_time_qdp_sequence);
    bool first_is_time = data->nblockettes > 0 && data->blockette[0].channel == 0x98;
    bool same_record = q330->data_record_sequence == q330->ch98_time_data_sequence;
    if (first_is_time || q330->ch98_time <= 0 || (same_record && d > 0)) {
      q330->ch98_time_qdp_sequence = q330->qdp_sequence;
      for (int i = 0; i < data->nblockettes; i++) {
        const Q330DATABlockette &b = data->blockette[i];
        int r = q330_process_dblk(q330, b.channel, b.type, b.blockette);
        if (r == Q330_OUT_BUSY) return Q330_OUT_BUSY;
        if (r < 0) elog_clear_register(0);
      }
      clear_copy = first_is_time;
      keep_copy = true;
    } else if (q330->params.verbose_log > 1) {
      if (!same_record)
        q330_output(q330, Q330_OUT_LOG,
                    "DEBUGT: Dropping UDP packet seq %d due to mismatch in data record seq (%d != "
                    "%d)\n",
                    static_cast<int>(sequence & 0xFFFF),
                    static_cast<int>(q330->data_record_sequence),
                    static_cast<int>(q330->ch98_time_data_sequence));
      else
        q330_output(q330, Q330_OUT_LOG,
                    "DEBUGT: Dropping UDP packet seq %d due to repeated qdp seq (%d <= %d)\n",
                    static_cast<int>(sequence & 0xFFFF), q330->qdp_sequence,
                    q330->ch98_time_qdp_sequence);
      rate_limited_dump(q330);
    }
  }
  q330->last_good_sequence = static_cast<uint16_t>(sequence);
  std::lock_guard<std::mutex> lock(q330->data_copy_mutex);
  if (clear_copy) q330->data_record_copy.clear();
  if (keep_copy && q330->data_record_copy.size() < RECORD_COPY_MAX)
    q330->data_record_copy.push_back({static_cast<uint16_t>(sequence), command,
                                      std::vector<unsigned char>(bytes, bytes + nbytes)});
  publish_mark_locked(q330);
  return 0;
}

void q330_publish_data_mark(Q330 *q330) {
  std::lock_guard<std::mutex> lock(q330->data_copy_mutex);
  publish_mark_locked(q330);
}

int q330_close_data(Q330 *q330, char *error, int err_sz) {
  q330_set_error(error, err_sz, "%s", "");
  while (q330_flush_data(q330, 1, 0) == Q330_OUT_BUSY) myusleep(0.1);
  if (q330->out_callback) q330->out_callback(q330, Q330_OUT_FLUSH, nullptr, 0);
  q330->state_dataopen = 0;
  q330_wake(q330);
  if (!q330->udp_data) {
    static const char *const steps[] = {"", "udp_new(udp_data) error",
                                        "udp_new_packet_cache(udp_data) error.\n", ""};
    int step = data_endpoint(q330, false);
    if (step != 0) {
      elog_clear_register(0);
      q330_set_error(error, err_sz, "q330_close_data: %s", steps[step]);
      keep_held(q330);
      free_window(q330);
      return -1;
    }
  }
  // The window goes in either case; an unregistered link would otherwise leak it. The
  // packets it holds beyond a gap were acknowledged: they are kept for the next open (and
  // the state file) until the gap is filled.
  keep_held(q330);
  free_window(q330);
  if (!q330->state_registered) {
    q330_set_error(error, err_sz, "q330_close_data: Must register server first");
    return -1;
  }
  q330_output(q330, Q330_OUT_LOG, "Close data successful\n");
  return 0;
}
