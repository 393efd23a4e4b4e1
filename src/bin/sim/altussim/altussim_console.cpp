// altussim_console.cpp - the simulated datalogger's text console ("monitor mode"): the
// escape sequence, the version report, acquisition and drive commands, the switch to
// block mode, restart, call mode and the disk wipe dialogue. Runs on the service thread;
// knobs and counters are kept under the record's mutex.
#include <cctype>
#include <cstring>

#include "altussim_block.h"
#include "base/clock.h"

namespace altussim {

namespace {

const char kPrompt[] = "\r\n* ";

struct ModelName {
  const char *model;   // the name a caller gives
  const char *report;  // the name the report prints
};
const ModelName kModels[] = {
    {"K2", "K2"},           {"Etna", "Etna"},     {"MtWhitney", "Mt. Whitney"},
    {"Everest", "Everest"}, {"Makalu", "Makalu"}, {"ROCK", "ROCK"}};

}  // namespace

void Sim::set_model(const std::string &model, bool beta) {
  std::lock_guard<std::mutex> l(mutex_);
  model_ = model;
  beta_ = beta;
}
void Sim::prompt_from(int n) {
  std::lock_guard<std::mutex> l(mutex_);
  prompt_from_ = n;
}
void Sim::escape_answer(int n, const std::string &text) {
  std::lock_guard<std::mutex> l(mutex_);
  escape_answers_[n] = text;
}
void Sim::mute_blockmode(int n) {
  std::lock_guard<std::mutex> l(mutex_);
  mute_blockmode_ = n;
}
void Sim::set_console_reply(const std::string &line, const std::string &text, bool prompt) {
  std::lock_guard<std::mutex> l(mutex_);
  console_replies_[line] = ConsoleReply{text, prompt};
}
void Sim::set_offhook_text(const std::string &text) {
  std::lock_guard<std::mutex> l(mutex_);
  offhook_text_ = text;
}
void Sim::set_restart_seconds(double s) {
  std::lock_guard<std::mutex> l(mutex_);
  restart_seconds_ = s;
}
bool Sim::in_console() { return mode_.load() == Mode::CONSOLE; }
std::vector<std::string> Sim::lines() {
  std::lock_guard<std::mutex> l(mutex_);
  return lines_;
}
int Sim::escapes() {
  std::lock_guard<std::mutex> l(mutex_);
  return escapes_;
}
int Sim::restarts() {
  std::lock_guard<std::mutex> l(mutex_);
  return restarts_;
}
int Sim::blockmode_entries() {
  std::lock_guard<std::mutex> l(mutex_);
  return blockmode_entries_;
}

void Sim::send_text(const std::string &s) { send_bytes(Bytes(s.begin(), s.end())); }

std::string Sim::version_report() {
  std::string model;
  bool beta;
  {
    std::lock_guard<std::mutex> l(mutex_);
    model = model_;
    beta = beta_;
  }
  std::string name = model;
  for (const auto &m : kModels)
    if (model == m.model) name = m.report;
  if (model == "ROCK") {
    return name + " Digitizer Software 1.50" + (beta ? " BETA" : "") +
           "\r\nLast Revised: Jan 5, 2004\r\n";
  }
  std::string r = name + " Strong Motion Software 3.02\r\nLast Revised: Mar 21, 2003\r\n";
  if (beta) r += "THIS VERSION IS FOR BETA TESTING ONLY\r\n";
  return r + "System Block Version 1.20\r\nBoot Block Version 2.10\r\n";
}

// Watches every byte for the escape sequence (four backslashes and a carriage return)
// and answers it. True when the byte was taken here (the escape, or input dropped while
// the datalogger restarts).
bool Sim::console_escape(unsigned char c) {
  if (mode_.load() == Mode::RESTARTING) {
    if (clock_monotonic() < restart_until_) {
      backslashes_ = 0;
      return true;
    }
    mode_ = Mode::CONSOLE;  // up again, silent until spoken to
  }
  if (c == '\\') {
    backslashes_++;
    return false;
  }
  if (c != '\r' || backslashes_ < 4) {
    backslashes_ = 0;
    return false;
  }
  backslashes_ = 0;
  mode_ = Mode::CONSOLE;
  line_.clear();
  wipe_state_ = 0;
  std::string answer;
  {
    std::lock_guard<std::mutex> l(mutex_);
    int n = ++escapes_;
    auto it = escape_answers_.find(n);
    if (it != escape_answers_.end())
      answer = it->second;
    else if (n >= prompt_from_)
      answer = kPrompt;
  }
  if (!answer.empty()) send_text(answer);
  return true;
}

void Sim::console_byte(unsigned char c) {
  if (wipe_state_ == 1) {  // the answer to "(y/n):? " is one key
    if (c == 'y' || c == 'Y') {
      send_text("y\r\nType 'destroy' and <CR> to wipe drive " + wipe_drive_ +
                ", anything else to exit: ");
      wipe_state_ = 2;
      line_.clear();
    } else {
      send_text(std::string("\r\nWipe cancelled") + kPrompt);
      wipe_state_ = 0;
    }
    return;
  }
  if (c == '\r') {
    std::string l = line_;
    line_.clear();
    console_line(l);
    return;
  }
  if (c >= 0x20 && c < 0x7F && line_.size() < 8192) line_ += (char)c;
}

void Sim::console_line(const std::string &line) {
  ConsoleReply scripted{"", true};
  bool have_script = false;
  std::string offhook;
  double restart_seconds;
  {
    std::lock_guard<std::mutex> l(mutex_);
    lines_.push_back(line);
    auto it = console_replies_.find(line);
    if (it != console_replies_.end()) {
      scripted = it->second;
      have_script = true;
    }
    offhook = offhook_text_;
    restart_seconds = restart_seconds_;
  }
  const std::string echo = line + "\r\n";
  if (wipe_state_ == 2) {
    wipe_state_ = 0;
    if (line != "destroy") {
      send_text(echo + "Wipe cancelled" + kPrompt);
      return;
    }
    {
      std::lock_guard<std::mutex> l(mutex_);
      std::vector<Node> kept;
      for (auto &n : fs_)
        if (n.path.compare(0, wipe_drive_.size(), wipe_drive_) != 0) kept.push_back(n);
      fs_ = kept;
    }
    send_text(echo + "Drive " + wipe_drive_ + " wiped" + kPrompt);
    return;
  }
  if (have_script) {
    send_text(echo + scripted.text + (scripted.prompt ? kPrompt : ""));
    return;
  }
  if (line.empty()) {
    send_text(kPrompt);
  } else if (line == "ver") {
    send_text(echo + version_report() + kPrompt);
  } else if (line == "aq off" || line == "aq on") {
    {
      std::lock_guard<std::mutex> l(mutex_);
      acquiring_ = line == "aq on";
    }
    send_text(echo + (line == "aq on" ? "Acquisition on" : "Acquisition off") + kPrompt);
  } else if (line == "cd A:\\") {
    send_text(echo + "A:\\" + kPrompt);
  } else if (line == "blockmode") {
    {
      std::lock_guard<std::mutex> l(mutex_);
      int n = ++blockmode_entries_;
      block_mute_ = n <= mute_blockmode_;
      mode_ = Mode::BLOCK;
    }
    send_text(echo + "Type '\\\\\\' <CR> to enter monitor mode\r\n");
  } else if (line == "sys res") {
    {
      std::lock_guard<std::mutex> l(mutex_);
      restarts_++;
      restart_until_ = clock_monotonic() + restart_seconds;
      mode_ = Mode::RESTARTING;
    }
    send_text(echo + "\r\nEntering system reset, please wait\r\n");
  } else if (line == "callmode") {
    send_text(echo + "\r\nEntering auto-call mode\r\n" + offhook);
  } else if (line.compare(0, 9, "wipedisk ") == 0) {
    wipe_drive_.clear();
    for (char ch : line.substr(9)) wipe_drive_ += (char)toupper((unsigned char)ch);
    send_text(echo + "* WARNING: every file on drive " + wipe_drive_ +
              " will be destroyed\r\nContinue (y/n):? ");
    wipe_state_ = 1;
  } else {
    send_text(echo + "Unknown command: " + line + kPrompt);
  }
}

}  // namespace altussim
