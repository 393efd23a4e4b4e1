// altuscomsubs_getblock.cpp - the block transaction engine: one command, its replies,
// retries, multi-packet listings and files, and stream packets handed to the link's
// stream handler on the way.
#include "altuscomsubs_getblock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "altuscomsubs_block.h"
#include "altuscomsubs_log.h"
#include "base/elog.h"
#include "kessaro.h"
#include "support/stdtime.h"

int averbose = 0;
int cverbose = 0;

namespace {

// The stream handler installed on the link, or none.
StrdataCallback *handler_of(SerialBuf *b) { return static_cast<StrdataCallback *>(b->userdata); }

void hand_over(SerialBuf *b, void *rec, int kind) {
  StrdataCallback *h = handler_of(b);
  if (h != nullptr && h->callback != nullptr)
    h->callback(rec, kind, h->user, 0);
  else
    free(rec);
}

void call_log(SerialBuf *b, const char *text, int kind) {
  if (b->log_callback) b->log_callback(b->userdata2, b->userdata3, text, kind);
}

std::string payload_text(const AltusBlockPkt &p) {
  std::string s(reinterpret_cast<const char *>(p.data), p.dataLength);
  return s.c_str();
}

std::string name_of(char *p) {
  std::string s = p ? p : "";
  free(p);
  return s;
}

bool text_argument(int command) {
  switch (command) {
    case PKC_DELETEFILE:
    case PKC_PING:
    case PKC_OPENDIR:
    case PKC_OPENFILE:
    case PKC_RMDIR:
    case PKC_CHDIR:
    case PKC_GETEVENTSUMMARY:
    case PKC_PASSWORD:
      return true;
    default:
      return false;
  }
}

// Restores the SerialBuf's read settings when the engine's read ends.
struct ReadSettings {
  SerialBuf *b;
  int timeout, rverbose;
  ReadSettings(SerialBuf *buf, int t, AltusDatalogger *dl)
      : b(buf), timeout(buf->timeout), rverbose(buf->rverbose) {
    b->timeout = t;
    b->rverbose = altuscom_serial_verbose(dl);
  }
  ~ReadSettings() {
    b->timeout = timeout;
    b->rverbose = rverbose;
  }
};

constexpr int kMaxListing = 100000;        // entries of one directory listing
constexpr int kMaxUnsizedFile = 64 << 20;  // bytes of a file of unknown size
constexpr double kFiledirLimit = 10.0;     // s between the pieces of a listing or file

// The read timeout of a command: the control timeout for the slow ones.
int timeout_for(const SerialBuf *b, int command) {
  switch (command) {
    case PKC_SETPARAMS:
    case PKC_GETDIR:
    case PKC_ACQSTART:
    case PKC_ACQSTOP:
    case PKC_OPENDIR:
      return b->timeout_control;
    default:
      return b->timeout;
  }
}

void put_be32(unsigned char *p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 24);
  p[1] = static_cast<unsigned char>(v >> 16);
  p[2] = static_cast<unsigned char>(v >> 8);
  p[3] = static_cast<unsigned char>(v);
}

// What a phase of the exchange decided: a good packet is waiting in `pkt`, read the next
// packet, or end the call with `result`.
enum class Flow { PACKET, READ_ON, END };

// One call's exchange: its arguments and what the read loop carries from packet to packet.
struct Exchange {
  SerialBuf *buf;
  const int command;
  void *const data;
  unsigned char *const seqno;
  void **const out;
  int *const outsize;
  const int size;  // bytes of the file GETFILE fetches; 0 unknown, < 0 no progress shown
  void *const modem;
  void *const dl;
  Modem *const lm;
  AltusDatalogger *const ld;
  const bool listening;  // command 0 or 255: nothing is sent
  const int max_tries;
  const int timeout;
  const std::string cname;
  int tr = 0;            // retries so far
  int tenths_shown = 0;  // tenths of a sized file shown on standard output
  // The datalogger's timer of listings and files, set when OPENDIR/OPENFILE is answered
  // and at each further piece; without a datalogger the call keeps its own.
  double own_timer;
  double *const filedir_timer;
  unsigned char *frame = nullptr;
  int framesize = 0, nbytes = 0;
  std::unique_ptr<AltusBlockPkt> pkt = std::make_unique<AltusBlockPkt>();
  std::string rname;  // name of the reply type of `pkt`
  int result = BLOCK_OK;

  Exchange(SerialBuf *b, int cmd, void *d, unsigned char *seq, void **o, int *osize, int sz,
           void *m, void *l)
      : buf(b),
        command(cmd),
        data(d),
        seqno(seq),
        out(o),
        outsize(osize),
        size(sz),
        modem(m),
        dl(l),
        lm(static_cast<Modem *>(m)),
        ld(static_cast<AltusDatalogger *>(l)),
        listening(cmd == 0 || cmd == 255),
        max_tries(std::max((cmd == PKC_PING || cmd == PKC_GETDIRNAME) ? 0 : b->tries, 1)),
        timeout(timeout_for(b, cmd)),
        cname(name_of(cmd2str(cmd))),
        own_timer(std_now()),
        filedir_timer(l ? &static_cast<AltusDatalogger *>(l)->filedir_timer : &own_timer) {}
  ~Exchange() { free(frame); }
  Exchange(const Exchange &) = delete;
  Exchange &operator=(const Exchange &) = delete;

  int no_memory(const char *call) {
    altuscom_log_complain(lm, ld, 1, 1, "get_block: %s() error.\n", call);
    return BLOCK_FAILED;
  }
  Flow end(int r) {
    result = r;
    return Flow::END;
  }
  // The command and its replies are finished: the next command takes the next number.
  Flow done() {
    (*seqno)++;
    return end(BLOCK_OK);
  }
  Flow resend() {
    int r = send();
    return r != 0 ? end(r) : Flow::READ_ON;
  }
  // The next piece of a listing or file is asked for under the next number.
  Flow next_piece() {
    (*seqno)++;
    *filedir_timer = std_now();
    return resend();
  }
  void fail_out() {
    if (out && *out) {
      free(*out);
      *out = nullptr;
    }
    if (outsize) *outsize = 0;
  }
  // Commands whose reply the caller reads itself: nothing is read here.
  bool unanswered() const {
    return command == PKC_STRSEND ||
           (command == PKC_STRCTRL && data && *static_cast<const unsigned char *>(data) == 2);
  }

  int send();
  int argument(unsigned char *argbuf, const void **arg) const;
  void log_sent() const;
  Flow read_frame();
  Flow check_packet();
  int strdata(int kind, bool keep);
  AltusStrNak *strnak();
  int give(const void *bytes, int n);
  std::string alarm_text() const;
  Flow listen_reply();
  Flow listen_status(int type);
  Flow check_sequence();
  Flow command_reply();
  Flow mismatch(const char *name);
  Flow ack_reply();
  Flow record_reply(size_t sz, const char *complaint);
  int decode_record(void *rec) const;
  Flow dir_reply();
  Flow file_reply();
  void show_progress(double pct);
};

// The command's argument bytes: their length, with *arg pointing at them (the caller's
// data or argbuf).
int Exchange::argument(unsigned char *argbuf, const void **arg) const {
  int len = 0;
  *arg = nullptr;
  if (text_argument(command)) {
    *arg = data;
    len = data ? static_cast<int>(strlen(static_cast<const char *>(data))) + 1 : 0;
  } else if (command == PKC_SETPARAMS) {
    *arg = data;
    len = altuscom_ismw(modem, dl) ? 2736 : 2040;
  } else if (command == PKC_TIME) {
    put_be32(argbuf, data ? *static_cast<const uint32_t *>(data) : 0);
    *arg = argbuf;
    len = 4;
  } else if (command == PKC_STRCTRL) {
    argbuf[0] = data ? *static_cast<const unsigned char *>(data) : 0;
    *arg = argbuf;
    len = 1;
  } else if (command == PKC_STRSEND) {
    const auto *s = static_cast<const AltusStrSend *>(data);
    put_be32(argbuf, s ? s->sequence : 0);
    argbuf[4] = static_cast<unsigned char>(s ? s->stream : 0);
    argbuf[5] = static_cast<unsigned char>(s ? s->type : 0);
    *arg = argbuf;
    len = 6;
  }
  return (len > 0 && *arg == nullptr) ? 0 : len;
}

void Exchange::log_sent() const {
  if (text_argument(command))
    altuscom_log_message(modem, dl, 0, "S %s %d %s", cname.c_str(), *seqno,
                         data ? static_cast<const char *>(data) : "");
  else if (command == PKC_STRSEND && data)
    altuscom_log_message(modem, dl, 0, "S %s %d %d:%d", cname.c_str(), *seqno,
                         static_cast<int>(static_cast<const AltusStrSend *>(data)->sequence),
                         static_cast<int>(static_cast<const AltusStrSend *>(data)->stream));
  else
    altuscom_log_message(modem, dl, 0, "S %s %d", cname.c_str(), *seqno);
}

// Builds and sends the command with the current *seqno. Returns 0 or a result.
int Exchange::send() {
  if (listening) return BLOCK_OK;
  unsigned char argbuf[8];
  const void *arg = nullptr;
  int len = argument(argbuf, &arg);
  if (make_block_command_packet(command, arg, len, *seqno, 1, &frame, &nbytes, &framesize, modem,
                                dl) < 0) {
    altuscom_log_complain(lm, ld, 1, 0, "get_block: make_block_command_packet() error.\n");
    return BLOCK_FAILED;
  }
  if (cverbose) log_sent();
  int r = send_block_command_packet(buf, frame, nbytes);
  if (r != 0) {
    altuscom_log_complain(lm, ld, 1, 0, "get_block: send_block_command_packet() error.\n");
    return r;
  }
  return BLOCK_OK;
}

// Reads one frame; a time-out while a command waits for its reply sends it again.
Flow Exchange::read_frame() {
  int r;
  {
    ReadSettings rs(buf, timeout, ld);
    r = receive_block_packet(buf, &frame, &nbytes, &framesize);
  }
  if (r < 0) {
    altuscom_log_complain(lm, ld, 1, 0, "get_block: receive_block_packet() error.\n");
    fail_out();
    return end(r);
  }
  if (r == BLOCK_EOF) {
    altuscom_log_complain(lm, ld, 1, 0, "get_block: EOF on input.\n");
    return end(BLOCK_EOF);
  }
  if (r == BLOCK_OFFHOOK) {
    altuscom_log_complain(lm, ld, 1, 0, "get_block: input not connected.\n");
    return end(BLOCK_OFFHOOK);
  }
  if (r == BLOCK_TIMEOUT) {
    altuscom_log_complain(lm, ld, 1, 0, "get_block: timeout on input.\n");
    if (listening) return end(BLOCK_TIMEOUT);
    if (++tr >= max_tries) {
      altuscom_log_complain(lm, ld, 1, 0, "get_block: Exceeded maximum number of read timeouts.\n");
      return end(BLOCK_TIMEOUT);
    }
    altuscom_log_complain(lm, ld, 1, 0, "get_block: timeout...Retrying command.\n");
    return resend();
  }
  if (r != 0) return end(r);
  if (nbytes == 0) {
    altuscom_log_complain(lm, ld, 1, 0, "get_block: 0 length packet on input.\n");
    return end(BLOCK_EOF);
  }
  return Flow::PACKET;
}

// Decodes the frame into `pkt` and checks its sums; a bad packet is read past (stream
// data, or anything while listening on 255) or its command sent again.
Flow Exchange::check_packet() {
  buf->packets++;
  if (decode_block_packet(frame, nbytes, pkt.get(), modem, dl) < 0) {
    call_log(buf, nullptr, ALTUSLOG_KIND_BADSIZE);
    if (command == 255) {
      elog_clear_register(0);
      return end(BLOCK_OK);
    }
    buf->errors++;
    if (pkt->typeCode == PKR_STRDATA || pkt->typeCode == PKR_STRRQDATA) {
      altuscom_log_complain(lm, ld, 1, 0,
                            "get_block: decode_block_packet() error...Retrying read for %s\n",
                            cname.c_str());
      return Flow::READ_ON;
    }
    if (++tr > 5) {
      altuscom_log_complain(lm, ld, 1, 0,
                            "get_block: Exceeded maximum number of decode packet errors.\n");
      return end(BLOCK_FAILED);
    }
    altuscom_log_complain(lm, ld, 1, 0, "get_block: decode_block_packet() error...Retrying %s\n",
                          cname.c_str());
    return resend();
  }
  const int type = pkt->typeCode;
  rname = name_of(code2str(type));
  if (averbose) {
    if (type == PKR_MSG || type == PKR_DIRNAME)
      altuscom_log_message(modem, dl, 0, "R %s %d %s", rname.c_str(), pkt->seqNo,
                           payload_text(*pkt).c_str());
    else
      altuscom_log_message(modem, dl, 0, "R %s %d", rname.c_str(), pkt->seqNo);
  }
  if (pkt->headerChk != pkt->headerChk_comp || pkt->dataChk != pkt->dataChk_comp) {
    const char *what = pkt->headerChk != pkt->headerChk_comp ? "header" : "data";
    call_log(buf, nullptr, ALTUSLOG_KIND_BADCHKSUM);
    buf->errors++;
    altuscom_log_complain(lm, ld, 1, 0, "get_block: %s checksum error.\n", what);
    if (++tr > 5) {
      altuscom_log_complain(lm, ld, 1, 0,
                            "get_block: Exceeded maximum number of %s checksum errors.\n", what);
      return end(BLOCK_FAILED);
    }
    altuscom_log_complain(lm, ld, 1, 0, "get_block: %s checksum error...Retrying command.\n", what);
    return resend();
  }
  return Flow::PACKET;
}

// A stream data packet: kept for the caller (keep) or handed to the stream handler.
int Exchange::strdata(int kind, bool keep) {
  auto *sd = static_cast<AltusBlockStrdata *>(malloc(sizeof(AltusBlockStrdata)));
  if (sd == nullptr) return no_memory("malloc");
  int rc = decode_block_strdata(pkt.get(), sd);
  if (rc < 0) {
    altuscom_log_complain(lm, ld, 1, 0, "get_block: decode_block_strdata() error.\n");
    free(sd);
    return rc;
  }
  if (keep && out) {
    *out = sd;
    if (outsize) *outsize = static_cast<int>(sizeof *sd);
  } else if (keep) {
    free(sd);
  } else {
    hand_over(buf, sd, kind);
  }
  return BLOCK_OK;
}

AltusStrNak *Exchange::strnak() {
  auto *nak = static_cast<AltusStrNak *>(malloc(sizeof(AltusStrNak)));
  if (nak == nullptr) {
    no_memory("malloc");
    return nullptr;
  }
  decode_block_strnak(pkt.get(), nak);
  return nak;
}

// n bytes, with a terminating NUL, for the caller.
int Exchange::give(const void *bytes, int n) {
  if (out == nullptr || n <= 0) return BLOCK_OK;
  auto *p = static_cast<char *>(malloc(n + 1));
  if (p == nullptr) return no_memory("malloc");
  memcpy(p, bytes, n);
  p[n] = '\0';
  *out = p;
  if (outsize) *outsize = n;
  return BLOCK_OK;
}

std::string Exchange::alarm_text() const {
  unsigned v = pkt->dataLength >= 4 ? (static_cast<unsigned>(pkt->data[0]) << 24) |
                                          (pkt->data[1] << 16) | (pkt->data[2] << 8) | pkt->data[3]
                                    : 0;
  char alarm[16];
  snprintf(alarm, sizeof alarm, "0x%8.8X", v);
  return alarm;
}

// Listening: the first good packet ends the call, its kind the result.
Flow Exchange::listen_reply() {
  const int type = pkt->typeCode;
  int r = BLOCK_OK;
  switch (type) {
    case PKR_MSG:
      call_log(buf, payload_text(*pkt).c_str(), ALTUSLOG_KIND_LOG);
      r = BLOCK_MESSAGE;
      break;
    case PKR_ALARM:
      call_log(buf, alarm_text().c_str(), ALTUSLOG_KIND_ALARM);
      r = BLOCK_ALARM;
      break;
    case PKR_STATUS:
    case PKR_EXTSTATUS:
      if (listen_status(type) == Flow::END) return Flow::END;
      r = type == PKR_STATUS ? BLOCK_STATUS : BLOCK_EXTSTATUS;
      break;
    case PKR_STRNAK: {
      AltusStrNak *nak = strnak();
      if (nak == nullptr) return end(BLOCK_FAILED);
      hand_over(buf, nak, STRDATA_KIND_NAK);
      r = BLOCK_STRNAK;
      break;
    }
    case PKR_STRDATA:
    case PKR_STRRQDATA: {
      const bool live = type == PKR_STRDATA;
      int rc = strdata(live ? STRDATA_KIND_DATA : STRDATA_KIND_RQDATA, command == 0);
      if (rc < 0) return end(rc);
      r = live ? BLOCK_STRDATA : BLOCK_STRRQDATA;
      break;
    }
    default:
      break;
  }
  (*seqno)++;
  return end(r);
}

// A status heard while listening, decoded into *out when the caller asked for it.
// Flow::END on a failure, else Flow::PACKET.
Flow Exchange::listen_status(int type) {
  if (out == nullptr) return Flow::PACKET;
  size_t sz = type == PKR_STATUS ? sizeof(AltusBlockStatus) : sizeof(AltusBlockEXTStatus);
  void *rec = calloc(1, sz);
  if (rec == nullptr) return end(no_memory("malloc"));
  *out = rec;
  if (outsize) *outsize = static_cast<int>(sz);
  int rc = type == PKR_STATUS
               ? decode_block_status(pkt.get(), static_cast<AltusBlockStatus *>(rec))
               : decode_block_extstatus(pkt.get(), static_cast<AltusBlockEXTStatus *>(rec));
  return rc < 0 ? end(rc) : Flow::PACKET;
}

// The reply's place in the exchange: a stale stream-control acknowledgement and a reply
// out of sequence are read past (the latter counted as a try); unsequenced packets pass.
Flow Exchange::check_sequence() {
  const int type = pkt->typeCode;
  if (type == PKR_ACK && pkt->dataLength > 0 && pkt->data[0] == PKC_STRCTRL &&
      command != PKC_STRCTRL)
    return Flow::READ_ON;  // a stale stream-control acknowledgement
  const bool unsequenced = type == PKR_MSG || type == PKR_ALARM || type == PKR_STRNAK ||
                           type == PKR_STRDATA || type == PKR_STRRQDATA;
  if (!unsequenced && pkt->seqNo != *seqno) {
    buf->errors++;
    altuscom_log_complain(lm, ld, 1, 0,
                          "get_block: sequence number mismatch - expect %d got %d %s\n", *seqno,
                          pkt->seqNo, rname.c_str());
    if (++tr >= max_tries) {
      altuscom_log_complain(lm, ld, 1, 0,
                            "get_block: Exceeded maximum number of sequence mismatches.\n");
      return end(BLOCK_FAILED);
    }
    altuscom_log_complain(lm, ld, 1, 0, "get_block: Retrying command.\n");
    elog_clear_register(1);
    return Flow::READ_ON;
  }
  if (!unsequenced && (command == PKC_OPENDIR || command == PKC_OPENFILE))
    *filedir_timer = std_now();
  return Flow::PACKET;
}

// A command waits for its reply: unsequenced packets are passed on and reading goes on;
// the reply ends the call.
Flow Exchange::command_reply() {
  Flow f = check_sequence();
  if (f != Flow::PACKET) return f;
  const int type = pkt->typeCode;
  switch (type) {
    case PKR_MSG:
      call_log(buf, payload_text(*pkt).c_str(), ALTUSLOG_KIND_LOG);
      return Flow::READ_ON;
    case PKR_ALARM:
      call_log(buf, alarm_text().c_str(), ALTUSLOG_KIND_ALARM);
      return Flow::READ_ON;
    case PKR_STRDATA:
    case PKR_STRRQDATA:
      strdata(type == PKR_STRDATA ? STRDATA_KIND_DATA : STRDATA_KIND_RQDATA, false);
      return Flow::READ_ON;
    case PKR_STRNAK: {
      AltusStrNak *nak = strnak();
      if (nak == nullptr) return end(BLOCK_FAILED);
      if (command == PKC_STRCTRL) {
        if (out) {
          *out = nak;
          if (outsize) *outsize = static_cast<int>(sizeof *nak);
        } else {
          free(nak);
        }
        return end(BLOCK_STRNAK);
      }
      hand_over(buf, nak, STRDATA_KIND_NAK);
      return Flow::READ_ON;
    }
    case PKR_ACK:
      return ack_reply();
    case PKR_PING:
    case PKR_DIRNAME: {
      int want = type == PKR_PING ? PKC_PING : PKC_GETDIRNAME;
      if (command != want) return mismatch(type == PKR_PING ? "PKR_PING" : "PKR_DIRNAME");
      if (give(pkt->data, pkt->dataLength) < 0) return end(BLOCK_FAILED);
      return done();
    }
    case PKR_STATUS:
      if (command != PKC_GETSTATUS) return mismatch("PKR_STATUS");
      return record_reply(sizeof(AltusBlockStatus), "get_block: decode_block_status() error.\n");
    case PKR_EXTSTATUS:
      if (command != PKC_EXTSTATUS) return mismatch("PKR_EXTSTATUS");
      return record_reply(sizeof(AltusBlockEXTStatus),
                          "get_block: decode_block_extstatus() error.\n");
    case PKR_PARAMS:
      if (command != PKC_GETPARAMS) return mismatch("PKR_PARAMS");
      return record_reply(sizeof(AltusBlockParams), "get_block: decode_block_params() error.\n");
    case PKR_EVENTSUMMARY:
      if (command != PKC_GETEVENTSUMMARY) return mismatch("PKR_EVENTSUMMARY");
      return record_reply(sizeof(AltusBlockEventsummary),
                          "get_block: decode_block_eventsummary() error.\n");
    case PKR_DIR:
      if (command != PKC_GETDIR) return mismatch("PKR_DIR");
      return dir_reply();
    case PKR_FILE:
      if (command != PKC_GETFILE) return mismatch("PKR_FILE");
      return file_reply();
    default:
      altuscom_log_complain(lm, ld, 1, 0, "get_block: Unrecognized response 0x%2.2X\n", type);
      return end(BLOCK_FAILED);
  }
}

Flow Exchange::mismatch(const char *name) {
  altuscom_log_complain(lm, ld, 1, 0, "get_block: %s response does not match sent command.\n",
                        name);
  fail_out();
  return end(BLOCK_FAILED);
}

// An acknowledgement: its text (after the command and result bytes) goes to the caller,
// also with a refusal, who words its own complaint with it.
Flow Exchange::ack_reply() {
  if (pkt->dataLength < 1 || pkt->data[0] != command) return mismatch("PKR_ACK");
  std::string text =
      pkt->dataLength > 2
          ? std::string(reinterpret_cast<const char *>(pkt->data + 2), pkt->dataLength - 2)
          : std::string();
  text = text.c_str();
  if (command != PKC_STRCTRL && (pkt->dataLength < 2 || pkt->data[1] == 0)) {
    if (pkt->dataLength > 2) {
      altuscom_log_complain(lm, ld, 1, 0, "get_block: command failed - %s.\n", text.c_str());
      if (out && *out == nullptr && !text.empty())
        give(text.c_str(), static_cast<int>(text.size()));
    } else {
      altuscom_log_complain(lm, ld, 1, 0, "get_block: command failed.\n");
    }
    return end(BLOCK_FAILED);
  }
  if (pkt->dataLength > 2 && give(text.c_str(), static_cast<int>(text.size())) < 0)
    return end(BLOCK_FAILED);
  if (pkt->dataLength > 2 && outsize && out && *out) *outsize = static_cast<int>(text.size()) + 1;
  return done();
}

int Exchange::decode_record(void *rec) const {
  switch (pkt->typeCode) {
    case PKR_STATUS:
      return decode_block_status(pkt.get(), static_cast<AltusBlockStatus *>(rec));
    case PKR_EXTSTATUS:
      return decode_block_extstatus(pkt.get(), static_cast<AltusBlockEXTStatus *>(rec));
    case PKR_PARAMS:
      return decode_block_params(pkt.get(), static_cast<AltusBlockParams *>(rec),
                                 altuscom_ismw(modem, dl));
    default:
      return decode_block_eventsummary(pkt.get(), static_cast<AltusBlockEventsummary *>(rec));
  }
}

// A decoded record of sz bytes for the caller; on a decode failure the record stays in
// *out.
Flow Exchange::record_reply(size_t sz, const char *complaint) {
  void *rec = calloc(1, sz);
  if (rec == nullptr) return end(no_memory("malloc"));
  if (out) {
    *out = rec;
    if (outsize) *outsize = static_cast<int>(sz);
  }
  int rc = decode_record(rec);
  if (out == nullptr) free(rec);
  if (rc < 0) {
    altuscom_log_complain(lm, ld, 1, 0, "%s", complaint);
    return end(rc);
  }
  return done();
}

// A piece of a directory listing, appended to *out; a full piece (10 entries) asks for
// the next one.
Flow Exchange::dir_reply() {
  if (pkt->dataLength == 0) {
    if (std_now() - *filedir_timer > kFiledirLimit) {
      altuscom_log_complain(lm, ld, 1, 0, "get_block: ALTUS timeout on GETDIR.\n");
      return end(BLOCK_TIMEOUT);
    }
    return done();
  }
  int n = pkt->dataLength / 22;
  int have = outsize ? *outsize / static_cast<int>(sizeof(AltusBlockDirentry)) : 0;
  if (have + n > kMaxListing) {
    altuscom_log_complain(lm, ld, 1, 0, "get_block: listing of more than %d entries refused.\n",
                          kMaxListing);
    fail_out();
    return end(BLOCK_FAILED);
  }
  if (out) {
    auto *grown =
        static_cast<AltusBlockDirentry *>(realloc(*out, (have + n) * sizeof(AltusBlockDirentry)));
    if (grown == nullptr) {
      no_memory("realloc");
      fail_out();
      return end(BLOCK_FAILED);
    }
    *out = grown;
    for (int i = 0; i < n; i++) decode_block_direntry(pkt.get(), i, &grown[have + i]);
    if (outsize) *outsize = (have + n) * static_cast<int>(sizeof(AltusBlockDirentry));
  }
  if (n >= 10) return next_piece();
  return done();
}

// A piece of a file, appended to *out; the file ends when its size is reached or with a
// short piece, else the next piece is asked for.
Flow Exchange::file_reply() {
  int L = pkt->dataLength;
  if (L == 0) {
    if (std_now() - *filedir_timer > kFiledirLimit) {
      altuscom_log_complain(lm, ld, 1, 0, "get_block: ALTUS timeout on GETFILE.\n");
      return end(BLOCK_TIMEOUT);
    }
    return done();
  }
  int have = outsize ? *outsize : 0;
  if (size == 0 && have + L > kMaxUnsizedFile) {
    altuscom_log_complain(lm, ld, 1, 0, "get_block: file of unknown size past %d bytes refused.\n",
                          kMaxUnsizedFile);
    fail_out();
    return end(BLOCK_FAILED);
  }
  if (out) {
    auto *grown = static_cast<unsigned char *>(realloc(*out, have + L));
    if (grown == nullptr) {
      no_memory("realloc");
      fail_out();
      return end(BLOCK_FAILED);
    }
    memcpy(grown + have, pkt->data, L);
    *out = grown;
  }
  have += L;
  if (outsize) *outsize = have;
  if (size != 0) {
    double pct = have * 100.0 / std::abs(size);
    if (size > 0) show_progress(pct);
    if (pct >= 100.0) return done();
  }
  if (L <= 255) {
    if (std_now() - *filedir_timer > kFiledirLimit) {
      altuscom_log_complain(lm, ld, 1, 0, "get_block: ALTUS timeout on GETFILE.\n");
      return end(BLOCK_TIMEOUT);
    }
    return done();
  }
  return next_piece();
}

// Progress on standard output as whole lines with the log prefix, one for each tenth of
// the file reached: no backspaces, no line left open.
void Exchange::show_progress(double pct) {
  const int tenth = pct >= 100.0 ? 10 : static_cast<int>(pct / 10.0);
  if (tenth <= tenths_shown) return;
  tenths_shown = tenth;
  char pfx[ALTUSLOG_LINE_SIZE];
  init_msg(lm, ld, pfx);
  printf("%s get_block: GETFILE %5.1f%% of %d bytes\n", pfx, pct, size);
  fflush(stdout);
}

}  // namespace

int get_block(SerialBuf *bufhandle, int command, void *data, unsigned char *seqno, void **out,
              int *outsize, int size, void *modem, void *dl) {
  if (out) *out = nullptr;
  if (outsize) *outsize = 0;
  const bool listening = command == 0 || command == 255;
  if (!listening && !block_command_known(command)) {
    altuscom_log_complain(static_cast<Modem *>(modem), static_cast<AltusDatalogger *>(dl), 1, 0,
                          "get_block: Unrecognized command 0x%2.2X\n", command);
    return BLOCK_FAILED;
  }
  Exchange x(bufhandle, command, data, seqno, out, outsize, size, modem, dl);
  if (int r = x.send(); r != 0) return r;
  if (x.unanswered()) return BLOCK_OK;
  for (;;) {
    Flow f = x.read_frame();
    if (f == Flow::PACKET) f = x.check_packet();
    if (f == Flow::PACKET) f = x.listening ? x.listen_reply() : x.command_reply();
    if (f == Flow::END) return x.result;
  }
}
