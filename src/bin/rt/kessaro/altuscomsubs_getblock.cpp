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

}  // namespace

int get_block(SerialBuf *bufhandle, int command, void *data, unsigned char *seqno, void **out,
              int *outsize, int size, void *modem, void *dl) {
  Modem *lm = static_cast<Modem *>(modem);
  AltusDatalogger *ld = static_cast<AltusDatalogger *>(dl);
  if (out) *out = nullptr;
  if (outsize) *outsize = 0;
  const bool listening = command == 0 || command == 255;
  if (!listening && !block_command_known(command)) {
    altuscom_log_complain(lm, ld, 1, 0, "get_block: Unrecognized command 0x%2.2X\n", command);
    return -1;
  }
  int tries = (command == PKC_PING || command == PKC_GETDIRNAME) ? 0 : bufhandle->tries;
  const int max_tries = std::max(tries, 1);
  int tr = 0;
  int tenths_shown = 0;  // tenths of a sized file shown on standard output
  // The datalogger's timer of listings and files, set when OPENDIR/OPENFILE is answered
  // and at each further piece; without a datalogger the call keeps its own.
  double own_timer = std_now();
  double &filedir_timer = dl ? static_cast<AltusDatalogger *>(dl)->filedir_timer : own_timer;
  unsigned char *frame = nullptr;
  int framesize = 0, nbytes = 0;
  struct FrameFree {
    unsigned char **f;
    ~FrameFree() { free(*f); }
  } frame_free{&frame};
  auto pkt = std::make_unique<AltusBlockPkt>();
  const std::string cname = name_of(cmd2str(command));

  int timeout = bufhandle->timeout;
  switch (command) {
    case PKC_SETPARAMS:
    case PKC_GETDIR:
    case PKC_ACQSTART:
    case PKC_ACQSTOP:
    case PKC_OPENDIR:
      timeout = bufhandle->timeout_control;
      break;
    default:
      break;
  }

  // Builds and sends the command with the current *seqno. Returns 0 or a result.
  auto send = [&]() -> int {
    if (listening) return 0;
    unsigned char argbuf[8];
    const void *arg = nullptr;
    int len = 0;
    if (text_argument(command)) {
      arg = data;
      len = data ? static_cast<int>(strlen(static_cast<const char *>(data))) + 1 : 0;
    } else if (command == PKC_SETPARAMS) {
      arg = data;
      len = altuscom_ismw(modem, dl) ? 2736 : 2040;
    } else if (command == PKC_TIME) {
      unsigned v = data ? *static_cast<const uint32_t *>(data) : 0;
      argbuf[0] = static_cast<unsigned char>(v >> 24);
      argbuf[1] = static_cast<unsigned char>(v >> 16);
      argbuf[2] = static_cast<unsigned char>(v >> 8);
      argbuf[3] = static_cast<unsigned char>(v);
      arg = argbuf;
      len = 4;
    } else if (command == PKC_STRCTRL) {
      argbuf[0] = data ? *static_cast<const unsigned char *>(data) : 0;
      arg = argbuf;
      len = 1;
    } else if (command == PKC_STRSEND) {
      const auto *s = static_cast<const AltusStrSend *>(data);
      uint32_t q = s ? s->sequence : 0;
      argbuf[0] = static_cast<unsigned char>(q >> 24);
      argbuf[1] = static_cast<unsigned char>(q >> 16);
      argbuf[2] = static_cast<unsigned char>(q >> 8);
      argbuf[3] = static_cast<unsigned char>(q);
      argbuf[4] = static_cast<unsigned char>(s ? s->stream : 0);
      argbuf[5] = static_cast<unsigned char>(s ? s->type : 0);
      arg = argbuf;
      len = 6;
    }
    if (len > 0 && arg == nullptr) len = 0;
    if (make_block_command_packet(command, arg, len, *seqno, 1, &frame, &nbytes, &framesize, modem,
                                  dl) < 0) {
      altuscom_log_complain(lm, ld, 1, 0, "get_block: make_block_command_packet() error.\n");
      return -1;
    }
    if (cverbose) {
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
    int r = send_block_command_packet(bufhandle, frame, nbytes);
    if (r != 0) {
      altuscom_log_complain(lm, ld, 1, 0, "get_block: send_block_command_packet() error.\n");
      return r;
    }
    return 0;
  };

  auto fail_out = [&]() {
    if (out && *out) {
      free(*out);
      *out = nullptr;
    }
    if (outsize) *outsize = 0;
  };

  int r = send();
  if (r != 0) return r;
  if (command == PKC_STRSEND ||
      (command == PKC_STRCTRL && data && *static_cast<const unsigned char *>(data) == 2))
    return 0;

  for (;;) {
    {
      ReadSettings rs(bufhandle, timeout, ld);
      r = receive_block_packet(bufhandle, &frame, &nbytes, &framesize);
    }
    if (r < 0) {
      altuscom_log_complain(lm, ld, 1, 0, "get_block: receive_block_packet() error.\n");
      fail_out();
      return r;
    }
    if (r == 1) {
      altuscom_log_complain(lm, ld, 1, 0, "get_block: EOF on input.\n");
      return 1;
    }
    if (r == 6) {
      altuscom_log_complain(lm, ld, 1, 0, "get_block: input not connected.\n");
      return 6;
    }
    if (r == 2) {
      altuscom_log_complain(lm, ld, 1, 0, "get_block: timeout on input.\n");
      if (listening) return 2;
      if (++tr >= max_tries) {
        altuscom_log_complain(lm, ld, 1, 0,
                              "get_block: Exceeded maximum number of read timeouts.\n");
        return 2;
      }
      altuscom_log_complain(lm, ld, 1, 0, "get_block: timeout...Retrying command.\n");
      if ((r = send()) != 0) return r;
      continue;
    }
    if (r != 0) return r;
    if (nbytes == 0) {
      altuscom_log_complain(lm, ld, 1, 0, "get_block: 0 length packet on input.\n");
      return 1;
    }
    bufhandle->packets++;
    if (decode_block_packet(frame, nbytes, pkt.get(), modem, dl) < 0) {
      call_log(bufhandle, nullptr, 7);
      if (command == 255) {
        elog_clear_register(0);
        return 0;
      }
      bufhandle->errors++;
      if (pkt->typeCode == PKR_STRDATA || pkt->typeCode == PKR_STRRQDATA) {
        altuscom_log_complain(lm, ld, 1, 0,
                              "get_block: decode_block_packet() error...Retrying read for %s\n",
                              cname.c_str());
        continue;
      }
      if (++tr > 5) {
        altuscom_log_complain(lm, ld, 1, 0,
                              "get_block: Exceeded maximum number of decode packet errors.\n");
        return -1;
      }
      altuscom_log_complain(lm, ld, 1, 0, "get_block: decode_block_packet() error...Retrying %s\n",
                            cname.c_str());
      if ((r = send()) != 0) return r;
      continue;
    }
    const int type = pkt->typeCode;
    const std::string rname = name_of(code2str(type));
    if (averbose) {
      if (type == PKR_MSG || type == PKR_DIRNAME)
        altuscom_log_message(modem, dl, 0, "R %s %d %s", rname.c_str(), pkt->seqNo,
                             payload_text(*pkt).c_str());
      else
        altuscom_log_message(modem, dl, 0, "R %s %d", rname.c_str(), pkt->seqNo);
    }
    if (pkt->headerChk != pkt->headerChk_comp || pkt->dataChk != pkt->dataChk_comp) {
      const char *what = pkt->headerChk != pkt->headerChk_comp ? "header" : "data";
      call_log(bufhandle, nullptr, 8);
      bufhandle->errors++;
      altuscom_log_complain(lm, ld, 1, 0, "get_block: %s checksum error.\n", what);
      if (++tr > 5) {
        altuscom_log_complain(lm, ld, 1, 0,
                              "get_block: Exceeded maximum number of %s checksum errors.\n", what);
        return -1;
      }
      altuscom_log_complain(lm, ld, 1, 0, "get_block: %s checksum error...Retrying command.\n",
                            what);
      if ((r = send()) != 0) return r;
      continue;
    }

    auto strdata = [&](int kind, bool keep) -> int {
      auto *sd = static_cast<AltusBlockStrdata *>(malloc(sizeof(AltusBlockStrdata)));
      if (sd == nullptr) {
        altuscom_log_complain(lm, ld, 1, 1, "get_block: malloc() error.\n");
        return -1;
      }
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
        hand_over(bufhandle, sd, kind);
      }
      return 0;
    };
    auto strnak = [&]() -> AltusStrNak * {
      auto *nak = static_cast<AltusStrNak *>(malloc(sizeof(AltusStrNak)));
      if (nak == nullptr) {
        altuscom_log_complain(lm, ld, 1, 1, "get_block: malloc() error.\n");
        return nullptr;
      }
      decode_block_strnak(pkt.get(), nak);
      return nak;
    };
    char alarm[16] = "";
    if (type == PKR_ALARM) {
      unsigned v = pkt->dataLength >= 4
                       ? (static_cast<unsigned>(pkt->data[0]) << 24) | (pkt->data[1] << 16) |
                             (pkt->data[2] << 8) | pkt->data[3]
                       : 0;
      snprintf(alarm, sizeof alarm, "0x%8.8X", v);
    }

    if (listening) {
      int result = 0;
      switch (type) {
        case PKR_MSG:
          call_log(bufhandle, payload_text(*pkt).c_str(), 3);
          result = 10;
          break;
        case PKR_ALARM:
          call_log(bufhandle, alarm, 4);
          result = 11;
          break;
        case PKR_STATUS:
        case PKR_EXTSTATUS: {
          result = type == PKR_STATUS ? 16 : 17;
          if (out == nullptr) break;
          size_t sz = type == PKR_STATUS ? sizeof(AltusBlockStatus) : sizeof(AltusBlockEXTStatus);
          void *rec = calloc(1, sz);
          if (rec == nullptr) {
            altuscom_log_complain(lm, ld, 1, 1, "get_block: malloc() error.\n");
            return -1;
          }
          *out = rec;
          if (outsize) *outsize = static_cast<int>(sz);
          int rc = type == PKR_STATUS
                       ? decode_block_status(pkt.get(), static_cast<AltusBlockStatus *>(rec))
                       : decode_block_extstatus(pkt.get(), static_cast<AltusBlockEXTStatus *>(rec));
          if (rc < 0) return rc;
          break;
        }
        case PKR_STRNAK: {
          AltusStrNak *nak = strnak();
          if (nak == nullptr) return -1;
          hand_over(bufhandle, nak, 9);
          result = 9;
          break;
        }
        case PKR_STRDATA:
        case PKR_STRRQDATA: {
          int kind = type == PKR_STRDATA ? 12 : 13;
          int rc = strdata(kind, command == 0);
          if (rc < 0) return rc;
          result = kind;
          break;
        }
        default:
          break;
      }
      (*seqno)++;
      return result;
    }

    // Command mode.
    if (type == PKR_ACK && pkt->dataLength > 0 && pkt->data[0] == PKC_STRCTRL &&
        command != PKC_STRCTRL)
      continue;  // a stale stream-control acknowledgement
    const bool unsequenced = type == PKR_MSG || type == PKR_ALARM || type == PKR_STRNAK ||
                             type == PKR_STRDATA || type == PKR_STRRQDATA;
    if (!unsequenced && pkt->seqNo != *seqno) {
      bufhandle->errors++;
      altuscom_log_complain(lm, ld, 1, 0,
                            "get_block: sequence number mismatch - expect %d got %d %s\n", *seqno,
                            pkt->seqNo, rname.c_str());
      if (++tr >= max_tries) {
        altuscom_log_complain(lm, ld, 1, 0,
                              "get_block: Exceeded maximum number of sequence mismatches.\n");
        return -1;
      }
      altuscom_log_complain(lm, ld, 1, 0, "get_block: Retrying command.\n");
      elog_clear_register(1);
      continue;
    }
    if (!unsequenced && (command == PKC_OPENDIR || command == PKC_OPENFILE))
      filedir_timer = std_now();

    auto mismatch = [&](const char *name) {
      altuscom_log_complain(lm, ld, 1, 0, "get_block: %s response does not match sent command.\n",
                            name);
      fail_out();
      return -1;
    };
    auto done = [&]() {
      (*seqno)++;
      return 0;
    };
    auto give = [&](const void *bytes, int n) -> int {
      if (out == nullptr || n <= 0) return 0;
      auto *p = static_cast<char *>(malloc(n + 1));
      if (p == nullptr) {
        altuscom_log_complain(lm, ld, 1, 1, "get_block: malloc() error.\n");
        return -1;
      }
      memcpy(p, bytes, n);
      p[n] = '\0';
      *out = p;
      if (outsize) *outsize = n;
      return 0;
    };
    // A decoded record for the caller; on a decode failure the record stays in *out.
    auto record = [&](size_t sz, auto decode, const char *complaint) -> int {
      void *rec = calloc(1, sz);
      if (rec == nullptr) {
        altuscom_log_complain(lm, ld, 1, 1, "get_block: malloc() error.\n");
        return -1;
      }
      if (out) {
        *out = rec;
        if (outsize) *outsize = static_cast<int>(sz);
      }
      int rc = decode(rec);
      if (out == nullptr) free(rec);
      if (rc < 0) {
        altuscom_log_complain(lm, ld, 1, 0, "%s", complaint);
        return rc;
      }
      return done();
    };

    switch (type) {
      case PKR_MSG:
        call_log(bufhandle, payload_text(*pkt).c_str(), 3);
        continue;
      case PKR_ALARM:
        call_log(bufhandle, alarm, 4);
        continue;
      case PKR_STRDATA:
      case PKR_STRRQDATA:
        strdata(type == PKR_STRDATA ? 12 : 13, false);
        continue;
      case PKR_STRNAK: {
        AltusStrNak *nak = strnak();
        if (nak == nullptr) return -1;
        if (command == PKC_STRCTRL) {
          if (out) {
            *out = nak;
            if (outsize) *outsize = static_cast<int>(sizeof *nak);
          } else {
            free(nak);
          }
          return 9;
        }
        hand_over(bufhandle, nak, 9);
        continue;
      }
      case PKR_ACK: {
        if (pkt->dataLength < 1 || pkt->data[0] != command) return mismatch("PKR_ACK");
        std::string text =
            pkt->dataLength > 2
                ? std::string(reinterpret_cast<const char *>(pkt->data + 2), pkt->dataLength - 2)
                : std::string();
        text = text.c_str();
        if (command != PKC_STRCTRL && (pkt->dataLength < 2 || pkt->data[1] == 0)) {
          if (pkt->dataLength > 2) {
            altuscom_log_complain(lm, ld, 1, 0, "get_block: command failed - %s.\n", text.c_str());
            // The refusal's text goes to the caller, who words its own complaint with it.
            if (out && *out == nullptr && !text.empty())
              give(text.c_str(), static_cast<int>(text.size()));
          } else {
            altuscom_log_complain(lm, ld, 1, 0, "get_block: command failed.\n");
          }
          return -1;
        }
        if (pkt->dataLength > 2 && give(text.c_str(), static_cast<int>(text.size())) < 0) return -1;
        if (pkt->dataLength > 2 && outsize && out && *out)
          *outsize = static_cast<int>(text.size()) + 1;
        return done();
      }
      case PKR_PING:
      case PKR_DIRNAME: {
        int want = type == PKR_PING ? PKC_PING : PKC_GETDIRNAME;
        if (command != want) return mismatch(type == PKR_PING ? "PKR_PING" : "PKR_DIRNAME");
        if (give(pkt->data, pkt->dataLength) < 0) return -1;
        return done();
      }
      case PKR_STATUS:
        if (command != PKC_GETSTATUS) return mismatch("PKR_STATUS");
        return record(
            sizeof(AltusBlockStatus),
            [&](void *r2) {
              return decode_block_status(pkt.get(), static_cast<AltusBlockStatus *>(r2));
            },
            "get_block: decode_block_status() error.\n");
      case PKR_EXTSTATUS:
        if (command != PKC_EXTSTATUS) return mismatch("PKR_EXTSTATUS");
        return record(
            sizeof(AltusBlockEXTStatus),
            [&](void *r2) {
              return decode_block_extstatus(pkt.get(), static_cast<AltusBlockEXTStatus *>(r2));
            },
            "get_block: decode_block_extstatus() error.\n");
      case PKR_PARAMS:
        if (command != PKC_GETPARAMS) return mismatch("PKR_PARAMS");
        return record(
            sizeof(AltusBlockParams),
            [&](void *r2) {
              return decode_block_params(pkt.get(), static_cast<AltusBlockParams *>(r2),
                                         altuscom_ismw(modem, dl));
            },
            "get_block: decode_block_params() error.\n");
      case PKR_EVENTSUMMARY:
        if (command != PKC_GETEVENTSUMMARY) return mismatch("PKR_EVENTSUMMARY");
        return record(
            sizeof(AltusBlockEventsummary),
            [&](void *r2) {
              return decode_block_eventsummary(pkt.get(),
                                               static_cast<AltusBlockEventsummary *>(r2));
            },
            "get_block: decode_block_eventsummary() error.\n");
      case PKR_DIR: {
        if (command != PKC_GETDIR) return mismatch("PKR_DIR");
        if (pkt->dataLength == 0) {
          if (std_now() - filedir_timer > kFiledirLimit) {
            altuscom_log_complain(lm, ld, 1, 0, "get_block: ALTUS timeout on GETDIR.\n");
            return 2;
          }
          return done();
        }
        int n = pkt->dataLength / 22;
        int have = outsize ? *outsize / static_cast<int>(sizeof(AltusBlockDirentry)) : 0;
        if (have + n > kMaxListing) {
          altuscom_log_complain(
              lm, ld, 1, 0, "get_block: listing of more than %d entries refused.\n", kMaxListing);
          fail_out();
          return -1;
        }
        if (out) {
          auto *grown = static_cast<AltusBlockDirentry *>(
              realloc(*out, (have + n) * sizeof(AltusBlockDirentry)));
          if (grown == nullptr) {
            altuscom_log_complain(lm, ld, 1, 1, "get_block: realloc() error.\n");
            fail_out();
            return -1;
          }
          *out = grown;
          for (int i = 0; i < n; i++) decode_block_direntry(pkt.get(), i, &grown[have + i]);
          if (outsize) *outsize = (have + n) * static_cast<int>(sizeof(AltusBlockDirentry));
        }
        if (n >= 10) {
          (*seqno)++;
          filedir_timer = std_now();
          if ((r = send()) != 0) return r;
          continue;
        }
        return done();
      }
      case PKR_FILE: {
        if (command != PKC_GETFILE) return mismatch("PKR_FILE");
        int L = pkt->dataLength;
        if (L == 0) {
          if (std_now() - filedir_timer > kFiledirLimit) {
            altuscom_log_complain(lm, ld, 1, 0, "get_block: ALTUS timeout on GETFILE.\n");
            return 2;
          }
          return done();
        }
        int have = outsize ? *outsize : 0;
        if (size == 0 && have + L > kMaxUnsizedFile) {
          altuscom_log_complain(lm, ld, 1, 0,
                                "get_block: file of unknown size past %d bytes refused.\n",
                                kMaxUnsizedFile);
          fail_out();
          return -1;
        }
        if (out) {
          auto *grown = static_cast<unsigned char *>(realloc(*out, have + L));
          if (grown == nullptr) {
            altuscom_log_complain(lm, ld, 1, 1, "get_block: realloc() error.\n");
            fail_out();
            return -1;
          }
          memcpy(grown + have, pkt->data, L);
          *out = grown;
        }
        have += L;
        if (outsize) *outsize = have;
        if (size != 0) {
          double pct = have * 100.0 / std::abs(size);
          if (size > 0) {
            // Progress on standard output as whole lines with the log prefix, one for each
            // tenth of the file reached: no backspaces, no line left open.
            const int tenth = pct >= 100.0 ? 10 : static_cast<int>(pct / 10.0);
            if (tenth > tenths_shown) {
              tenths_shown = tenth;
              char pfx[ALTUSLOG_LINE_SIZE];
              init_msg(lm, ld, pfx);
              printf("%s get_block: GETFILE %5.1f%% of %d bytes\n", pfx, pct, size);
              fflush(stdout);
            }
          }
          if (pct >= 100.0) return done();
        }
        if (L <= 255) {
          if (std_now() - filedir_timer > kFiledirLimit) {
            altuscom_log_complain(lm, ld, 1, 0, "get_block: ALTUS timeout on GETFILE.\n");
            return 2;
          }
          return done();
        }
        (*seqno)++;
        filedir_timer = std_now();
        if ((r = send()) != 0) return r;
        continue;
      }
      default:
        altuscom_log_complain(lm, ld, 1, 0, "get_block: Unrecognized response 0x%2.2X\n", type);
        return -1;
    }
  }
}
