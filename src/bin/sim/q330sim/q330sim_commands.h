// q330sim_commands.h - the simulator's operator commands and configuration port.
//
// Control port: C1_PULSE, C1_QCAL, C1_STOP and C1_UMSG are answered C1_CACK and recorded
// (QCAL and STOP are also kept as calibration events). Each accepted QCAL queues a
// calibration-start blockette (0xF8) and each STOP a calibration-abort blockette (0xF9) for
// the data port, which puts them behind the time tag of the next record it makes:
//   0xF8, 28 bytes: 0 code; 1 spare; 2 waveform; 4 amplitude; 6 duration; 8 calibration
//         bitmap; 10 monitor bitmap; 12 frequency divider; 14 spare; 16 coupling, 12 bytes
//   0xF9, 8 bytes:  0 code; 1 spare; 2 calibration bitmap; 4 monitor bitmap; 6 spare
// (16-bit fields big-endian). The abort names the bitmaps of the last calibration started,
// or 0 when none was.
//
// Configuration port (the base port, logical 0), a registration of its own:
//   C1_RQSRV -> C1_SRVCH; C1_SRVRSP -> C1_CACK when the digest (server random 0) matches,
//   else C1_CERR 3; C1_CTRL, C2_SBPWR -> C1_CACK; C2_TERC 1 -> 0x6A with the 104-byte
//   announce structure; C2_TERC 2 -> stores the structure, C1_CACK; C1_DSRV -> C1_CACK;
//   anything else -> C1_CERR 0. Commands other than registration need a registration.
// Knobs change the replies of the configuration port (see Q330SimCommands). Datagrams of
// the configuration port appear in Q330Sim::received() with port_type 3.
//
// Locking: `mutex` guards everything here; the simulator's loop and the test share it.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct Q330SimAnnc {
  uint16_t subcommand = 0, subresponse = 0, active = 0, unlock_flags = 0;
  struct Entry {
    uint32_t dp_ip = 0, router_ip = 0;
    uint16_t timeout = 0, resume = 0, flags = 0, port = 0;
  } entries[6];
};

struct Q330SimQcal {
  uint32_t starting_time = 0;
  uint16_t waveform = 0, amplitude = 0, duration = 0, settling_time = 0, calibration_bitmap = 0,
           trailer_time = 0, sensor_control_bitmap = 0, monitor_channel_bitmap = 0,
           frequency_divider = 0, spare = 0;
  std::string coupling;  // the 12 bytes as sent
};

struct Q330SimCommands {
  std::mutex mutex;
  // Control port: what the operator commands carried.
  struct Pulse {
    uint16_t bitmap, duration;
  };
  std::vector<Pulse> pulses;
  std::vector<Q330SimQcal> qcals;
  int stops = 0;
  std::vector<std::string> umsgs;  // the text up to its NUL
  // Calibration events: 1 a QCAL was accepted, 2 a STOP.
  std::vector<int> cal_events;
  // Their blockettes not yet taken by the data port, oldest first.
  std::vector<std::vector<uint8_t>> cal_blockettes;

  // Configuration port: what arrived and the state.
  std::vector<int> config_commands;  // every command code, in order
  std::vector<uint16_t> ctrl_flags;
  struct Sbpwr {
    uint16_t interface_number, flag_and_timeout;
  };
  std::vector<Sbpwr> sbpwrs;
  Q330SimAnnc annc;
  bool registered = false;
  int srvrsp_good = 0, srvrsp_bad = 0;
  uint16_t rqsrv_sequence = 0;         // of the last C1_RQSRV
  unsigned char last_digest[16] = {};  // the digest the responder expected last
  uint64_t auth_code = 0;              // the code the configuration port accepts

  // Knobs of the configuration port (they apply to every reply).
  bool silent = false;      // answer nothing
  int cerr = -1;            // >= 0: answer every command but C1_RQSRV with C1_CERR cerr
  int wrong_command = -1;   // >= 0: answer every command but C1_RQSRV with this empty reply
  bool short_annc = false;  // the 0x6A reply is 100 bytes
  bool late_srvch = false;  // a second C1_SRVCH (acking the C1_RQSRV) precedes each reply
                            // to C1_SRVRSP
  bool foreign = false;     // a C1_CERR from another port precedes every reply
};

// Takes the calibration blockettes queued for the data port (under the model's mutex).
std::vector<std::vector<uint8_t>> q330sim_take_cal_blockettes(Q330SimCommands &model);
