// altussim_dial.h - the line in front of a simulated Altus datalogger: a datalogger that
// calls in (a TCP client of a TCP-server link, the far end of a pseudo-terminal, or a
// terminal server that a TCP-client link connects to), a datalogger that is called (a TCP
// server), and a scripted modem between it and the line.
//
// A Line owns one simulator per connection (made fresh by the setup function, so that every
// call meets the same datalogger) and one service thread per connection. The thread plays
// the call's dialogue on the line, then relays bytes between the line and the simulator,
// which it reaches through a socket pair. Knobs are set before the call; counters and the
// simulators are read under the Line's mutex.
//
// Dial-in dialogue on a line without modem control: the listen text and a dial string
// ending "\r", a wait for the response text, "FROM: ...", then the banner
//   " Kinemetrics Altus <model>\r\n"   (no leading blank behind a modem)
//   "S/N <serial>\r\n"
//   "Press any key to go to command line\r\n"
// or, with event_detected, "EVENT DETECTED\r\n" in place of all of it.
// Modem front: every "AT" command is answered "OK"; a dial ("ATD...") gets the dial answer
// ("CONNECT 9600", "BUSY", "NO CARRIER", or nothing); a dial-in rings ("RING", then
// "CONNECT 9600") once the modem has been told to listen.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "altussim_block.h"

namespace altussim {

struct CallScript {
  bool emulated = true;  // no modem: listen text, dial string, response, FROM
  std::string listen = "RING\r\n";
  std::string dial = "ATDT5551234\r";
  std::string response = "CONNECT\r\n";
  std::string from = "FROM: 5551234\r\n";
  bool event_detected = false;
  std::string model = "Altus K2";  // the banner's model text
  std::string serial = "1234";     // the banner's serial text
};

struct ModemFront {
  bool on = false;
  std::string dial_answer = "CONNECT 9600";  // "" for silence
  bool ring = true;                          // a dial-in rings after the listen command
};

// Where a line drop comes: after the listen text, after the response was heard, in the
// middle of the banner, right after the call was made (dial-out: the modem's CONNECT or
// the TCP accept), or once `drop_bytes` bytes went from the simulator to the line.
enum class Drop { NONE, AFTER_LISTEN, AFTER_RESPONSE, IN_BANNER, AFTER_CALL, AFTER_BYTES };

class Line {
 public:
  using Setup = std::function<void(Sim &)>;
  explicit Line(Setup setup = nullptr);
  ~Line();
  Line(const Line &) = delete;
  Line &operator=(const Line &) = delete;

  // Dial-in: connects to 127.0.0.1:port and calls. 0, or -1 when no connection.
  int call_tcp(int port, const CallScript &script);
  // Dial-in on a descriptor (a pseudo-terminal master; not closed here).
  void call_fd(int fd, const CallScript &script);
  // Dial-out: answers every connection to a loopback port (0: a free one) of `host` (a
  // dotted address of 127.0.0.0/8; none: 127.0.0.1). The port or -1.
  int answer_tcp(int port = 0, const char *host = nullptr);
  // Dial-in on a TCP-client link: answers every connection to a loopback port (0: a free
  // one), as a terminal server in front of the datalogger does, and calls in on it at
  // once. The port or -1.
  int answer_tcp_dialin(const CallScript &script, int port = 0);
  // Dial-out on a descriptor behind the modem front (a pseudo-terminal master).
  void answer_fd(int fd);

  void set_modem(const ModemFront &m);
  // The n-th connection (1 = first; 0 = every one) drops the line at `where`.
  void drop(Drop where, int nth = 0, size_t bytes = 0);

  void stop();
  int connections();    // connections (or calls answered by the modem front) so far
  bool finished();      // every service thread has ended
  std::string heard();  // what the line received from the program before the relay
  // The simulator of the n-th connection (1 = first), or none yet. It lives as long as
  // the Line.
  Sim *sim(int n);

 private:
  struct Conn;
  void start_conn(int fd, bool own, bool dialin, const CallScript &script);
  int accept_on(int port, bool dialin, const CallScript &script, const char *host = nullptr);
  void serve(Conn *c);
  bool dialogue(Conn *c);
  bool modem_front(Conn *c);
  void relay(Conn *c);
  bool drops(Conn *c, Drop where);
  bool wait_for(Conn *c, const std::string &text, double seconds);
  void put(Conn *c, const std::string &text);

  Setup setup_;
  std::mutex mutex_;
  std::atomic<bool> stop_{false};
  ModemFront modem_;
  Drop drop_ = Drop::NONE;
  int drop_nth_ = 0;
  size_t drop_bytes_ = 0;
  int listen_fd_ = -1;
  std::thread accept_thread_;
  std::vector<std::unique_ptr<Conn>> conns_;
  std::string heard_;
};

// The dial modes of the altussim program: -dialin port, -dialin-pty, -dialout port,
// -dialout-pty, -dialin-answer port. Runs until *stop is set. 0, or -1 when the line could
// not be made.
struct DialOptions {
  int dialin_port = -1;
  bool dialin_pty = false;
  int dialout_port = -1;  // also the port of -dialin-answer
  bool dialout_pty = false;
  bool dialin_on_answer = false;  // -dialin-answer: the answered connections call in
  CallScript script;
  ModemFront modem;
  Drop drop = Drop::NONE;
  size_t drop_bytes = 0;
  bool refuse_password = false;  // PASSWORD is refused
};
int altussim_dial_run(const DialOptions &options, Line::Setup setup, const std::atomic<bool> *stop);
// Parses one dial option at argv[*i] (advancing *i over its value). True when it was one.
bool altussim_dial_option(int argc, char **argv, int *i, DialOptions *options);
// The usage lines of the dial options.
const char *altussim_dial_usage();

}  // namespace altussim
