// altuscomsubs_block.cpp - Altus block-mode packet codec and payload decoders.
#include "altuscomsubs_block.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "altuscomsubs_log.h"
#include "altusevtsubs.h"
#include "base/bigendian.h"
#include "base/clock.h"
#include "base/elog.h"

namespace {

constexpr std::array<uint32_t, 256> make_crc_table() {
  std::array<uint32_t, 256> t{};
  for (uint32_t i = 0; i < 256; i++) {
    uint32_t crc = i << 8;
    for (int b = 0; b < 8; b++) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) : (crc << 1);
    t[i] = crc & 0xFFFF;
  }
  return t;
}
constexpr std::array<uint32_t, 256> kCrcTable = make_crc_table();

struct CodeName {
  int code;
  const char *name;
};

const CodeName kCommands[] = {
    {1, "PKC_GETPARAMS"},   {2, "PKC_SETPARAMS"},
    {3, "PKC_GETSTATUS"},   {4, "PKC_GETDIR"},
    {5, "PKC_GETFILE"},     {6, "PKC_DELETEFILE"},
    {8, "PKC_PING"},        {10, "PKC_ACQSTART"},
    {11, "PKC_ACQSTOP"},    {12, "PKC_OPENDIR"},
    {13, "PKC_CLOSEDIR"},   {14, "PKC_OPENFILE"},
    {15, "PKC_CLOSEFILE"},  {18, "PKC_RMDIR"},
    {20, "PKC_CHDIR"},      {21, "PKC_FT"},
    {22, "PKC_GETDIRNAME"}, {23, "PKC_RESETALARM"},
    {24, "PKC_TRIGGER"},    {25, "PKC_DETRIGGER"},
    {26, "PKC_TIME"},       {27, "PKC_GETEVENTSUMMARY"},
    {28, "PKC_PASSWORD"},   {30, "PKC_EXTSTATUS"},
    {32, "PKC_STRCTRL"},    {33, "PKC_STRSEND"},
};

const CodeName kResponses[] = {
    {0, "PKR_MSG"},
    {128, "PKR_ACK"},
    {129, "PKR_PARAMS"},
    {131, "PKR_STATUS"},
    {132, "PKR_DIR"},
    {133, "PKR_FILE"},
    {134, "PKR_EXTSTATUS"},
    {136, "PKR_PING"},
    {137, "PKR_STRNAK"},
    {138, "PKR_STRDATA"},
    {139, "PKR_STRRQDATA"},
    {150, "PKR_DIRNAME"},
    {155, "PKR_EVENTSUMMARY"},
};

// Copies n characters and cuts trailing blanks and what follows the first NUL.
void copy_text(char *dst, const unsigned char *src, int n, bool trim) {
  memcpy(dst, src, n);
  dst[n] = '\0';
  if (trim) {
    int len = static_cast<int>(strlen(dst));
    while (len > 0 && dst[len - 1] == ' ') dst[--len] = '\0';
  }
}

// The payload decoders read only what a parsed packet can hold: a record left by a
// refused parse may carry any dataLength.
bool length_ok(const AltusBlockPkt *pkt, const char *who) {
  if (pkt->dataLength <= BLOCK_MAX_DATA) return true;
  elog_complain(0, "%s: Illegal data length %d.\n", who, pkt->dataLength);
  return false;
}

}  // namespace

const uint32_t CRC_TABLE[256] = {
#define R(i) kCrcTable[i], kCrcTable[i + 1], kCrcTable[i + 2], kCrcTable[i + 3]
#define R16(i) R(i), R(i + 4), R(i + 8), R(i + 12)
    R16(0),   R16(16),  R16(32),  R16(48),  R16(64),  R16(80),  R16(96),  R16(112),
    R16(128), R16(144), R16(160), R16(176), R16(192), R16(208), R16(224), R16(240),
#undef R16
#undef R
};

int checksum(const unsigned char *buf, int len) {
  int sum = 0;
  for (int i = 0; i < len; i++) sum += buf[i];
  return sum;
}

uint16_t datacrc(const unsigned char *buf, int len) {
  uint16_t crc = 0;
  for (int i = 0; i < len; i++)
    crc = static_cast<uint16_t>((crc << 8) ^ (CRC_TABLE[((crc >> 8) ^ buf[i]) & 0xFF] & 0xFFFF));
  return crc;
}

char *cmd2str(int command) {
  for (const auto &c : kCommands)
    if (c.code == command) return strdup(c.name);
  return strdup("PKC_unknown");
}

char *code2str(int code) {
  for (const auto &c : kResponses)
    if (c.code == code) return strdup(c.name);
  char buf[32];
  snprintf(buf, sizeof buf, "UNKNOWN(0x%2.2x)", static_cast<unsigned>(code));
  return strdup(buf);
}

int block_command_known(int command) {
  for (const auto &c : kCommands)
    if (c.code == command) return 1;
  return 0;
}

int make_block_command_packet(int command, const void *data, int lendata, unsigned char seqno,
                              int source, unsigned char **packet, int *nbytes, int *bufsize,
                              void *modem, void *dl) {
  Modem *lm = static_cast<Modem *>(modem);
  AltusDatalogger *ld = static_cast<AltusDatalogger *>(dl);
  if (lendata < 0 || lendata > BLOCK_MAX_DATA) {
    altuscom_log_complain(lm, ld, 1, 0, "make_block_command_packet: Illegal data size %d.\n",
                          lendata);
    return -1;
  }
  int need = lendata + 11;
  if (*packet == nullptr) {
    *packet = static_cast<unsigned char *>(calloc(need, 1));
    if (*packet == nullptr) {
      altuscom_log_complain(lm, ld, 1, 1, "make_block_command_packet: malloc() error.\n");
      return -1;
    }
    *bufsize = need;
  } else if (*bufsize < need) {
    auto *p = static_cast<unsigned char *>(realloc(*packet, need));
    if (p == nullptr) {
      altuscom_log_complain(lm, ld, 1, 1, "make_block_command_packet: realloc() error.\n");
      return -1;
    }
    memset(p + *bufsize, 0, need - *bufsize);
    *packet = p;
    *bufsize = need;
  }
  unsigned char *p = *packet;
  p[0] = static_cast<unsigned char>(command);
  p[1] = seqno;
  be_put16(p + 2, static_cast<unsigned>(source));
  be_put16(p + 4, 0);
  be_put16(p + 6, static_cast<unsigned>(lendata));
  p[8] = static_cast<unsigned char>(checksum(p, 8));
  if (lendata > 0) memcpy(p + 9, data, lendata);
  be_put16(p + 9 + lendata, static_cast<unsigned>(checksum(p + 9, lendata)) & 0xFFFF);
  *nbytes = need;
  if (altuscom_data_verbose(ld) > 1) {
    auto img = std::make_unique<AltusBlockPkt>();
    img->typeCode = p[0];
    img->seqNo = p[1];
    img->source = static_cast<uint16_t>(source);
    img->dataLength = static_cast<uint16_t>(lendata);
    img->headerChk = img->headerChk_comp = p[8];
    if (lendata > 0) memcpy(img->data, data, lendata);
    img->dataChk = img->dataChk_comp = be_get16(p + 9 + lendata);
    AltusDebugLines debug(true);
    AltusDumpLines dump(altuslog_opening());
    print_block(modem, dl, 1, img.get());
  }
  return 0;
}

int send_block_command_packet(SerialBuf *sbuf, const unsigned char *packet, int nbytes) {
  unsigned char out[136];
  int n = 0;
  auto flush = [&]() -> int {
    int w = serialbuf_write(sbuf, out, n);
    if (w != n) {
      elog_complain(0, "send_block_command_packet: serialbuf_write() error.\n");
      return -1;
    }
    if (sbuf->wverbose) {
      printf("writing %d bytes\n", n);
      fflush(stdout);
    }
    n = 0;
    return 0;
  };
  out[n++] = 0xC0;
  for (int i = 0; i < nbytes; i++) {
    if (packet[i] == 0xC0) {
      out[n++] = 0x5C;
      out[n++] = 0xDD;
    } else if (packet[i] == 0x5C) {
      out[n++] = 0x5C;
      out[n++] = 0xDC;
    } else {
      out[n++] = packet[i];
    }
    if (n > 128 && flush() < 0) return -1;
  }
  out[n++] = 0xC0;
  return flush();
}

// Byte-read status of serialbuf_get_byte to read_packet's result; 0 means go on.
static int map_read_status(int st) {
  switch (st) {
    case 0:
      return 0;
    case 1:
      return 2;
    case 2:
      return 1;
    case 3:
      return 5;
    case 4:
      return 6;
    case 5:
      return 8;
    default:
      if (st < 0) elog_complain(0, "read_packet: serialbuf_get_byte() error.\n");
      return st;
  }
}

double block_line_rate(const SerialBuf *handle) {
  if (handle != nullptr && handle->com_mode == SERIALBUF_SERIAL &&
      handle->modem_control == SERIALBUF_MODEM_NONE && handle->baud / 10.0 > BLOCK_FLOOR_RATE)
    return handle->baud / 10.0;
  return BLOCK_FLOOR_RATE;
}

int read_packet(SerialBuf *handle, unsigned char flag_char, unsigned char **packet, int *nbytes,
                int *bufsize, int maxsize) {
  unsigned char c = 0;
  int r = map_read_status(serialbuf_get_byte(handle, &c, 1));
  if (r != 0) return r;
  // Each byte's wait is bounded by the link's time-out. A line that trickles bytes (noise
  // or an endless frame), each within that time-out, must not hold the reader for ever:
  // the noise, and then the frame, each have the time-out plus the time the longest frame
  // takes at the line's pace. A frame that comes at that pace always fits.
  const bool bounded = handle->timeout > 0;
  const double allowed =
      handle->timeout / 1000.0 + (std::max(maxsize, 0) + 2) / block_line_rate(handle);
  double deadline = clock_monotonic() + allowed;
  // The clock is read only after a byte that had to be waited for (the buffer was empty):
  // bytes already buffered come at once, and a trickle empties the buffer every time.
  // This thread is the buffer's only reader.
  auto next = [&]() -> int {
    const bool waited = handle->ptr >= handle->occupied;
    int st = map_read_status(serialbuf_get_byte(handle, &c, 1));
    if (st == 0 && bounded && waited && clock_monotonic() > deadline) return 2;
    return st;
  };
  // Skip noise up to the delimiter, then every delimiter of the run.
  bool seen_flag = false;
  while (!(seen_flag && c != flag_char)) {
    if (c == flag_char) seen_flag = true;
    r = next();
    if (r != 0) return r;
  }
  // The frame's own time starts at its first byte.
  if (bounded) deadline = clock_monotonic() + allowed;
  if (*packet == nullptr) {
    *packet = static_cast<unsigned char *>(calloc(BLOCK_MAX_FRAME, 1));
    if (*packet == nullptr) {
      elog_complain(1, "read_packet: malloc() error.\n");
      return -1;
    }
    *bufsize = BLOCK_MAX_FRAME;
  }
  int count = 0;
  for (;;) {
    if (count > maxsize) {
      if (handle->log_callback)
        handle->log_callback(handle->userdata2, handle->userdata3, nullptr, ALTUSLOG_KIND_BADSIZE);
      elog_complain(0, "read_packet: Attempt to exceed maximum buffer size.\n");
      return -1;
    }
    while (count >= *bufsize) {
      int grown = static_cast<int>(*bufsize * 1.5);
      if (grown <= *bufsize) grown = *bufsize + 1;
      auto *p = static_cast<unsigned char *>(realloc(*packet, grown));
      if (p == nullptr) {
        elog_complain(1, "read_packet: realloc() error.\n");
        return -1;
      }
      memset(p + *bufsize, 0, grown - *bufsize);
      *packet = p;
      *bufsize = grown;
    }
    (*packet)[count++] = c;
    r = next();
    if (r != 0) return r;
    if (c == flag_char) break;
  }
  *nbytes = count;
  // The closing delimiter may also open the next frame: hand it back to the reader.
  serialbuf_putback_bytes(handle, &flag_char, 1);
  return 0;
}

int block_unstuff(unsigned char *frame, int nbytes) {
  int o = 0, i = 0;
  while (i < nbytes - 1) {
    if (frame[i] == 0x5C && frame[i + 1] == 0xDD) {
      frame[o++] = 0xC0;
      i += 2;
    } else if (frame[i] == 0x5C && frame[i + 1] == 0xDC) {
      frame[o++] = 0x5C;
      i += 2;
    } else {
      frame[o++] = frame[i++];
    }
  }
  if (i < nbytes) frame[o++] = frame[i];
  return o;
}

int receive_block_packet(SerialBuf *handle, unsigned char **packet, int *nbytes, int *bufsize) {
  int r = read_packet(handle, 0xC0, packet, nbytes, bufsize, BLOCK_MAX_FRAME);
  if (r < 0) {
    elog_complain(0, "receive_block_packet: read_packet() error.\n");
    return r;
  }
  if (r != 0) return r;
  *nbytes = block_unstuff(*packet, *nbytes);
  return 0;
}

int decode_block_packet(const unsigned char *packet, int nbytes, AltusBlockPkt *pkt, void *modem,
                        void *dl) {
  Modem *lm = static_cast<Modem *>(modem);
  AltusDatalogger *ld = static_cast<AltusDatalogger *>(dl);
  memset(pkt, 0, sizeof *pkt);
  const int n = nbytes;
  if (n >= 1) pkt->typeCode = packet[0];
  if (n >= 2) pkt->seqNo = packet[1];
  if (n >= 4) pkt->source = be_get16(packet + 2);
  if (n >= 6) pkt->destination = be_get16(packet + 4);
  if (n >= 8) pkt->dataLength = be_get16(packet + 6);
  if (n >= 9) {
    pkt->headerChk = packet[8];
    pkt->headerChk_comp = static_cast<uint8_t>(checksum(packet, 8));
  }
  const int L = pkt->dataLength;
  char *name = code2str(pkt->typeCode);
  const char *nm = name ? name : "";
  int bad = 1;
  // The rows are tried in order; the first that applies names the fault.
  if (n < 2) {
    altuscom_log_complain(
        lm, ld, 1, 0, "decode_block_packet: short packet (%d) at seqNo - unable to decode %s.\n", n,
        nm);
  } else if (n == 2) {
    altuscom_log_complain(
        lm, ld, 1, 0, "decode_block_packet: short packet (%d) at source - unable to decode %s.\n",
        n, nm);
  } else if (n <= 4) {
    altuscom_log_complain(
        lm, ld, 1, 0,
        "decode_block_packet: short packet (%d) at destination - unable to decode %s.\n", n, nm);
  } else if (n <= 6) {
    altuscom_log_complain(
        lm, ld, 1, 0,
        "decode_block_packet: short packet (%d) at dataLength - unable to decode %s.\n", n, nm);
  } else if (n <= 8) {
    altuscom_log_complain(
        lm, ld, 1, 0,
        "decode_block_packet: short packet (%d) at headerChk - unable to decode %s.\n", n, nm);
  } else if (n == 9) {
    altuscom_log_complain(lm, ld, 1, 0,
                          "decode_block_packet: short packet (%d) at data - unable to decode %s.\n",
                          n, nm);
  } else if (L > BLOCK_MAX_DATA) {
    altuscom_log_complain(lm, ld, 1, 0, "decode_block_packet: Illegal data length (%d) for %s.\n",
                          L, nm);
  } else if (n <= 9 + L) {
    int got = n - 9;
    memcpy(pkt->data, packet + 9, got);
    pkt->dataChk_comp = static_cast<uint16_t>(checksum(pkt->data, got));
    altuscom_log_complain(
        lm, ld, 1, 0,
        "decode_block_packet: short packet (%d<%d) at dataChk - unable to decode %s.\n", n, 9 + L,
        nm);
  } else {
    memcpy(pkt->data, packet + 9, L);
    pkt->dataChk_comp = static_cast<uint16_t>(checksum(pkt->data, L));
    if (n == 10 + L) {
      altuscom_log_complain(lm, ld, 1, 0,
                            "decode_block_packet: short packet (%d<%d) - unable to decode %s.\n", n,
                            L + 11, nm);
    } else {
      pkt->dataChk = be_get16(packet + 9 + L);
      if (n > L + 11)
        altuscom_log_complain(lm, ld, 1, 0,
                              "decode_block_packet: long packet (%d>%d) - unable to decode %s.\n",
                              n, L + 11, nm);
      else
        bad = 0;
    }
  }
  free(name);
  // A refused packet's bytes are dumped only while the operator debugs the data: with
  // debugging off, a line that sends garbage costs one complaint line per packet, not a
  // dump of what it sent. Dumps of bad data, and those a link's opening turns on by
  // itself, have a small flood gate of their own; those of the operator's debug switch
  // pass.
  const int verbose = altuscom_data_verbose(ld);
  if (bad ? altuscom_log_data_errors(ld) != 0 && verbose >= 1 : verbose >= 2) {
    AltusDebugLines debug(true);
    AltusDumpLines dump(bad || altuslog_opening());
    print_block(modem, dl, 0, pkt);
  }
  return bad ? -1 : 0;
}

int decode_block_status(const AltusBlockPkt *pkt, AltusBlockStatus *out) {
  if (!length_ok(pkt, "decode_block_status")) return -1;
  if (pkt->typeCode != PKR_STATUS) {
    elog_complain(0, "decode_block_status: Input not a status response packet.\n");
    return -1;
  }
  if (pkt->dataLength != 24) {
    elog_complain(0, "decode_block_status: Wrong size for status packet data.\n");
    return -1;
  }
  const unsigned char *d = pkt->data;
  memset(out, 0, sizeof *out);
  out->systemTime = be_get32(d);
  out->serialNumber = be_get16(d + 4);
  out->events = be_get16(d + 6);
  out->recordingErrors = be_get16(d + 8);
  out->triggerStatus = be_get16(d + 10);
  out->batteryStatus = d[12];
  out->hardwareStatus = d[13];
  out->driveStatus[0] = be_get16(d + 14);
  out->driveStatus[1] = be_get16(d + 16);
  memcpy(out->stnID, d + 18, 5);
  out->clockSource = d[23];
  return 0;
}

int decode_block_extstatus(const AltusBlockPkt *pkt, AltusBlockEXTStatus *out) {
  if (!length_ok(pkt, "decode_block_extstatus")) return -1;
  if (pkt->typeCode != PKR_EXTSTATUS) {
    elog_complain(0, "decode_block_extstatus: Input not a extstatus response packet.\n");
    return -1;
  }
  if (pkt->dataLength != 12) {
    elog_complain(0, "decode_block_extstatus: Wrong size for extstatus packet data.\n");
    return -1;
  }
  const unsigned char *d = pkt->data;
  memset(out, 0, sizeof *out);
  out->temperature = static_cast<int16_t>(be_get16(d));
  out->restartTime = be_get32(d + 2);
  out->fault = be_get16(d + 6);
  out->lastRAMError = be_get32(d + 8);
  return 0;
}

int decode_block_eventsummary(const AltusBlockPkt *pkt, AltusBlockEventsummary *out) {
  if (!length_ok(pkt, "decode_block_eventsummary")) return -1;
  if (pkt->typeCode != PKR_EVENTSUMMARY) {
    elog_complain(0, "decode_block_eventsummary: Input not a eventsummary response packet.\n");
    return -1;
  }
  const unsigned char *d = pkt->data;
  const int L = pkt->dataLength;
  int nchan = L >= 2 ? static_cast<int16_t>(be_get16(d)) : 0;
  if (L < 32 || nchan < 0 || L < nchan * 32 + 32) {
    elog_complain(0, "decode_block_eventsummary: Wrong size for eventsummary packet data.\n");
    return -1;
  }
  memset(out, 0, sizeof *out);
  out->nchan = static_cast<int16_t>(nchan);
  out->a2dBits = static_cast<int16_t>(be_get16(d + 2));
  out->flags = be_get16(d + 4);
  out->sps = be_get16(d + 6);
  out->nscans = be_get32(d + 8);
  out->triggerTime = be_get32(d + 12);
  out->triggerTimeMsec = be_get16(d + 16);
  out->startTime = be_get32(d + 18);
  out->startTimeMsec = be_get16(d + 22);
  out->triggerBitMap = be_get32(d + 24);
  out->channelBitMap = be_get32(d + 28);
  // The record holds 18 entries; further ones are not kept.
  int keep = nchan < ALTUS_MAXCHAN ? nchan : ALTUS_MAXCHAN;
  for (int i = 0; i < keep; i++) {
    const unsigned char *c = d + 32 + 32 * i;
    AltusBlockEventsummaryChan &ch = out->chan[i];
    ch.maxPeak = static_cast<int32_t>(be_get32(c));
    ch.maxPeakOffset = be_get32(c + 4);
    ch.minPeak = static_cast<int32_t>(be_get32(c + 8));
    ch.minPeakOffset = be_get32(c + 12);
    uint32_t bits = be_get32(c + 16);
    memcpy(&ch.sensitivity, &bits, 4);
    bits = be_get32(c + 20);
    memcpy(&ch.fullscale, &bits, 4);
    ch.gain = be_get16(c + 24);
    memcpy(ch.id, c + 26, 5);
  }
  return 0;
}

int decode_block_direntry(const AltusBlockPkt *pkt, int index, AltusBlockDirentry *out) {
  if (!length_ok(pkt, "decode_block_direntry")) return -1;
  if (pkt->typeCode != PKR_DIR) {
    elog_complain(0, "decode_block_direntry: Input not a direntry response packet.\n");
    return -1;
  }
  if (index < 0 || (index + 1) * 22 > pkt->dataLength) {
    elog_complain(0, "decode_block_direntry: entry %d beyond the packet.\n", index);
    return -1;
  }
  const unsigned char *d = pkt->data + 22 * index;
  memset(out, 0, sizeof *out);
  out->time = be_get32(d);
  out->size = be_get32(d + 4);
  copy_text(out->ext, d + 8, 3, true);
  copy_text(out->name, d + 12, 8, true);
  out->attr = d[21];
  return 0;
}

int decode_block_strdata(const AltusBlockPkt *pkt, AltusBlockStrdata *out) {
  if (!length_ok(pkt, "decode_block_strdata")) return -1;
  if (pkt->typeCode != PKR_STRDATA && pkt->typeCode != PKR_STRRQDATA) {
    elog_complain(0, "decode_block_strdata: Input not a strdata packet.\n");
    return -1;
  }
  memset(out, 0, sizeof *out);
  const unsigned char *d = pkt->data;
  const int L = pkt->dataLength;
  if (L < 20) {
    elog_complain(0, "decode_block_strdata: packet of %d bytes shorter than its header.\n", L);
    return -1;
  }
  out->serNo = be_get16(d);
  out->stream = d[2];
  out->format = d[3] & 0x07;
  out->dataSeq = be_get32(d + 4);
  out->time_altusepoch = be_get32(d + 8);
  out->time_msec = be_get16(d + 12);
  int nbytes = L - 20;
  if (nbytes > BLOCK_MAX_STRDATA_BYTES) {
    elog_complain(0, "decode_block_strdata: Attempt to exceed maximum block buffer size (%d>%d)\n",
                  nbytes, BLOCK_MAX_STRDATA_BYTES);
    return -1;
  }
  out->dataChk = be_get32(d + L - 4);
  out->dataChk_comp = datacrc(d, L - 4);
  // CRC-16 values compared as 16 bits; the stream handler judges the mismatch.
  if ((out->dataChk & 0xFFFF) != out->dataChk_comp) return 0;
  const unsigned char *s = d + 16;
  int i = 0, ns = 0;
  int32_t prev = 0;
  while (i < nbytes) {
    if (ns >= BLOCK_MAX_STRDATA_SAMPLES) {
      elog_complain(0, "decode_block_strdata: Attempt to exceed maximum data buffer size of %d\n",
                    BLOCK_MAX_STRDATA_SAMPLES);
      return -1;
    }
    if ((s[i] & 0x80) == 0) {
      if (i + 2 > nbytes) {
        elog_complain(0, "decode_block_strdata: sample cut off at byte %d.\n", i);
        return -1;
      }
      int32_t w = (s[i] << 8) | s[i + 1];
      if (w & 0x4000) w -= 0x8000;
      prev = static_cast<int32_t>(static_cast<uint32_t>(prev) + 2u * static_cast<uint32_t>(w));
      i += 2;
    } else {
      if (i + 3 > nbytes) {
        elog_complain(0, "decode_block_strdata: sample cut off at byte %d.\n", i);
        return -1;
      }
      int32_t w = ((s[i] & 0x7F) << 16) | (s[i + 1] << 8) | s[i + 2];
      if (w & 0x400000) w -= 0x800000;
      prev = 2 * w;
      i += 3;
    }
    out->data[ns++] = prev;
  }
  out->nsamp = ns;
  return 0;
}

int decode_block_strnak(const AltusBlockPkt *pkt, AltusStrNak *out) {
  memset(out, 0, sizeof *out);
  if (pkt->typeCode != PKR_STRNAK) {
    elog_complain(0, "decode_block_strnak: Input not a strnak packet.\n");
    return -1;
  }
  if (!length_ok(pkt, "decode_block_strnak")) return -1;
  if (pkt->dataLength > 1) out->code = pkt->data[1];
  if (pkt->dataLength > 6) {
    out->sequence = be_get32(pkt->data + 2);
    out->stream = pkt->data[6];
  }
  return 0;
}

int decode_block_params(const AltusBlockPkt *pkt, AltusBlockParams *out, int ismw) {
  if (!length_ok(pkt, "decode_block_params")) return -1;
  // A PKC_SETPARAMS command carries the same header, which the packet dump decodes.
  if (pkt->typeCode != PKR_PARAMS && pkt->typeCode != PKC_SETPARAMS) {
    elog_complain(0, "decode_block_params: Input not a params response packet.\n");
    return -1;
  }
  unsigned char *cursor = const_cast<unsigned char *>(pkt->data);
  unsigned short chk = 0;
  int nframes = 0;
  if (evt_readaltusfilehdr(nullptr, &cursor, pkt->data + pkt->dataLength, out, pkt->dataLength, 1,
                           ismw, &chk, &nframes) < 0) {
    elog_complain(0, "decode_block_params: evt_readaltusfilehdr() error.\n");
    return -1;
  }
  return 0;
}
