// pkt_stuff.cpp - encoding packets: stuffPkt and stuffStashPkt.
//
// Everything is checked before the caller's buffer is touched; the buffer is then grown
// to an upper bound of the encoded size (samples at their longest) and the packet is
// written straight into it, its length fields filled in at the end. Waveform samples are
// written in coding 2 (pkt_samples.cpp), in a packet of format version 2.
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/clock.h"
#include "base/elog.h"
#include "base/oom.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "packet/pkt.h"
#include "packet/pkt_wire.h"

using namespace pktwire;

namespace {

// Makes the buffer hold at least `need` bytes (need <= INT_MAX).
uint8_t *reserve(char **packet, int *bufsize, size_t need) {
  if (*packet == nullptr || *bufsize < 0 || static_cast<size_t>(*bufsize) < need) {
    void *grown = realloc(*packet, need);
    if (grown == nullptr) OUT_OF_MEMORY(need, "packet buffer");
    *packet = static_cast<char *>(grown);
    *bufsize = static_cast<int>(need);
  }
  return reinterpret_cast<uint8_t *>(*packet);
}

uint8_t *put_header(uint8_t *p, int kind, size_t body) {
  be_emit8(&p, kMagic0);
  be_emit8(&p, kMagic1);
  be_emit8(&p, kind == Pkt_wf ? kVersionBlocks : kVersion);
  be_emit8(&p, static_cast<unsigned>(kind));
  be_emit32(&p, static_cast<uint32_t>(body));
  return p;
}

bool fits(uint64_t total, const char *who = "stuffPkt") {
  if (total <= static_cast<uint64_t>(INT_MAX)) return true;
  elog_log(0, "%s: the packet would be longer than %d bytes\n", who, INT_MAX);
  return false;
}

bool check_code(int index, const char *what, const char *field, size_t size) {
  size_t n = strnlen(field, size);
  if (n == size) {
    elog_log(0, "stuffPkt: channel %d: %s is not terminated within %zu bytes\n", index, what, size);
    return false;
  }
  for (size_t i = 0; i < n; i++) {
    if (!code_char(static_cast<unsigned char>(field[i]))) {
      elog_log(0,
               "stuffPkt: channel %d: %s '%s' holds a blank, '_', '/' or an unprintable "
               "character\n",
               index, what, field);
      return false;
    }
  }
  return true;
}

bool check_number(int index, const char *what, double value) {
  if (std::isfinite(value)) return true;
  elog_log(0, "stuffPkt: channel %d: %s is not a finite number\n", index, what);
  return false;
}

bool check_channel(int index, const PktChannel *ch) {
  if (ch == nullptr) {
    elog_log(0, "stuffPkt: channel %d is missing\n", index);
    return false;
  }
  if (!check_code(index, "net", ch->net, sizeof ch->net) ||
      !check_code(index, "sta", ch->sta, sizeof ch->sta) ||
      !check_code(index, "chan", ch->chan, sizeof ch->chan) ||
      !check_code(index, "loc", ch->loc, sizeof ch->loc) ||
      !check_code(index, "segtype", ch->segtype, sizeof ch->segtype) ||
      !check_number(index, "time", ch->time) || !check_number(index, "samprate", ch->samprate) ||
      !check_number(index, "calib", ch->calib) || !check_number(index, "calper", ch->calper)) {
    return false;
  }
  if (ch->nsamp < 0 || ch->nsamp > ch->datasz) {
    elog_log(0, "stuffPkt: channel %d: nsamp %d is outside 0 .. datasz %d\n", index, ch->nsamp,
             ch->datasz);
    return false;
  }
  if (ch->nsamp > 0 && ch->data == nullptr) {
    elog_log(0, "stuffPkt: channel %d: %d samples but no data\n", index, ch->nsamp);
    return false;
  }
  return true;
}

uint8_t *put_text(uint8_t *p, const char *text) {
  size_t n = strlen(text);  // checked: shorter than its field
  be_emit8(&p, static_cast<unsigned>(n));
  memcpy(p, text, n);
  return p + n;
}

int stuff_waveform(Packet *pkt, char *srcname, double *time, char **packet, int *nbytes,
                   int *bufsize) {
  bool genc = strcmp(pkt->pkttype->suffix, "GENC") == 0;
  int n = pkt->nchannels;
  if (genc ? n != 1 : (n < 1 || n > 0xFFFF)) {
    elog_log(0, "stuffPkt: a %s packet can't hold %d channels\n", pkt->pkttype->suffix, n);
    return -1;
  }
  if (pkt->channels == nullptr || maxtbl(pkt->channels) < n) {
    elog_log(0, "stuffPkt: nchannels is %d but the packet has %ld channels\n", n,
             pkt->channels ? maxtbl(pkt->channels) : 0L);
    return -1;
  }
  uint64_t bound = kHeaderSize + 3;
  double first = 0;
  for (int i = 0; i < n; i++) {
    const PktChannel *ch = static_cast<const PktChannel *>(gettbl(pkt->channels, i));
    if (!check_channel(i, ch)) return -1;
    bound += kChannelFixed + strlen(ch->net) + strlen(ch->sta) + strlen(ch->chan) +
             strlen(ch->loc) + strlen(ch->segtype) + blocks_bound(static_cast<uint32_t>(ch->nsamp));
    if (i == 0 || ch->time < first) first = ch->time;
  }
  if (!fits(bound)) return -1;

  uint8_t *start = reserve(packet, bufsize, static_cast<size_t>(bound));
  uint8_t *p = start + kHeaderSize;
  be_emit8(&p, genc ? kLayoutGenc : kLayoutMgenc);
  be_emit16(&p, static_cast<uint16_t>(n));
  for (int i = 0; i < n; i++) {
    const PktChannel *ch = static_cast<const PktChannel *>(gettbl(pkt->channels, i));
    p = put_text(p, ch->net);
    p = put_text(p, ch->sta);
    p = put_text(p, ch->chan);
    p = put_text(p, ch->loc);
    p = put_text(p, ch->segtype);
    be_emitf64(&p, ch->time);
    be_emitf64(&p, ch->samprate);
    be_emitf64(&p, ch->calib);
    be_emitf64(&p, ch->calper);
    be_emit32(&p, static_cast<uint32_t>(ch->nsamp));
    be_emit8(&p, kCodingDiffBlocks);
    uint8_t *coded_length = p;
    p = put_blocks(p + 4, ch->data, static_cast<uint32_t>(ch->nsamp));
    be_put32(coded_length, static_cast<uint32_t>(p - coded_length - 4));
  }
  size_t total = static_cast<size_t>(p - start);
  put_header(start, Pkt_wf, total - kHeaderSize);
  *nbytes = static_cast<int>(total);

  if (srcname != nullptr) {
    const PktChannel *ch = static_cast<const PktChannel *>(gettbl(pkt->channels, 0));
    if (!genc) {
      snprintf(srcname, PKT_SRCNAME_SIZE, "%s_%s/MGENC", ch->net, ch->sta);
    } else if (ch->loc[0] != '\0') {
      snprintf(srcname, PKT_SRCNAME_SIZE, "%s_%s_%s_%s/GENC", ch->net, ch->sta, ch->chan, ch->loc);
    } else {
      snprintf(srcname, PKT_SRCNAME_SIZE, "%s_%s_%s/GENC", ch->net, ch->sta, ch->chan);
    }
  }
  if (time != nullptr) *time = first;
  return 0;
}

// A packet whose body is `text` (stash, pf) or a table name and a row (db).
void put_text_packet(int kind, const char *table, const char *text, size_t length, char **packet,
                     int *nbytes, int *bufsize) {
  size_t table_length = table ? strlen(table) : 0;
  size_t body = (table ? 1 + table_length : 0) + length;
  uint8_t *start = reserve(packet, bufsize, kHeaderSize + body);
  uint8_t *p = put_header(start, kind, body);
  if (table != nullptr) {
    be_emit8(&p, static_cast<unsigned>(table_length));
    memcpy(p, table, table_length);
    p += table_length;
  }
  memcpy(p, text, length);
  *nbytes = static_cast<int>(kHeaderSize + body);
}

int stuff_db(Packet *pkt, char **packet, int *nbytes, int *bufsize) {
  const char *table = pkt->db.table;
  const char *row = pkt->db.row;
  if (table == nullptr || row == nullptr) {
    elog_log(0, "stuffPkt: db packet without a table name or row\n");
    return -1;
  }
  size_t n = strlen(table);
  bool ok = n > 0 && n <= PKT_DBTABLE_MAX;
  for (size_t i = 0; ok && i < n; i++) ok = table_char(static_cast<unsigned char>(table[i]));
  if (!ok) {
    elog_log(0, "stuffPkt: bad db table name '%.*s'\n", PKT_DBTABLE_MAX + 1, table);
    return -1;
  }
  size_t row_length = strlen(row);
  if (!fits(kHeaderSize + 1 + n + static_cast<uint64_t>(row_length))) return -1;
  put_text_packet(Pkt_db, table, row, row_length, packet, nbytes, bufsize);
  return 0;
}

int stuff_pf(Packet *pkt, char **packet, int *nbytes, int *bufsize) {
  Tbl *keys = pkt->pf ? pfkeys(pkt->pf) : nullptr;
  if (keys == nullptr) {
    elog_log(0, "stuffPkt: pf packet without a parameter-file tree\n");
    return -1;
  }
  freetbl(keys, nullptr);
  char *text = pf2string(pkt->pf);
  if (text == nullptr) {
    elog_log(0, "stuffPkt: the parameter-file tree can't be written as text\n");
    return -1;
  }
  size_t length = strlen(text);
  bool ok = fits(kHeaderSize + static_cast<uint64_t>(length));
  if (ok) put_text_packet(Pkt_pf, nullptr, text, length, packet, nbytes, bufsize);
  free(text);
  return ok ? 0 : -1;
}

int stuff_stash_text(const char *who, const char *text, size_t length, char **packet, int *nbytes,
                     int *bufsize) {
  if (!fits(kHeaderSize + static_cast<uint64_t>(length), who)) return -1;
  put_text_packet(Pkt_stash, nullptr, text, length, packet, nbytes, bufsize);
  return 0;
}

int stuff_log(Packet *pkt, char **packet, int *nbytes, int *bufsize) {
  size_t length = strlen(pkt->string);
  if (length > PKT_LOG_TEXT_MAX) {
    elog_log(0, "stuffPkt: a log text of %zu characters is longer than %d\n", length,
             PKT_LOG_TEXT_MAX);
    return -1;
  }
  size_t size = kLogHeaderSize + length + 1;
  uint8_t *p = reserve(packet, bufsize, size);
  be_emit16(&p, static_cast<uint16_t>(kLogHeaderSize));
  be_emit16(&p, static_cast<uint16_t>(size));
  be_emit16(&p, kLogCode);
  be_emit16(&p, kLogCode);
  memcpy(p, pkt->string, length + 1);
  *nbytes = static_cast<int>(size);
  return 0;
}

}  // namespace

int stuffPkt(Packet *pkt, char *srcname, double *time, char **packet, int *nbytes, int *bufsize) {
  if (pkt == nullptr || packet == nullptr || nbytes == nullptr || bufsize == nullptr) {
    elog_log(0, "stuffPkt: no packet or no buffer\n");
    return -1;
  }
  if (pkt->pkttype == nullptr) {
    elog_log(0, "stuffPkt: the packet has no type\n");
    return -1;
  }
  int kind = pkt->pkttype->kind;
  if (kind == Pkt_wf) return stuff_waveform(pkt, srcname, time, packet, nbytes, bufsize);

  const char *name;
  int result;
  switch (kind) {
    case Pkt_db:
      result = stuff_db(pkt, packet, nbytes, bufsize);
      name = "/db/";
      break;
    case Pkt_pf:
      result = stuff_pf(pkt, packet, nbytes, bufsize);
      name = "/pf";
      break;
    case Pkt_log:
    case Pkt_stash:
      if (pkt->string == nullptr) {
        elog_log(0, "stuffPkt: %s packet without a text\n", pkt->pkttype->suffix);
        return -1;
      }
      result = kind == Pkt_log ? stuff_log(pkt, packet, nbytes, bufsize)
                               : stuff_stash_text("stuffPkt", pkt->string, strlen(pkt->string),
                                                  packet, nbytes, bufsize);
      name = kind == Pkt_log ? "/log" : "/stash";
      break;
    default:
      elog_log(0, "stuffPkt: unknown packet kind %d\n", kind);
      return -1;
  }
  if (result < 0) return result;
  if (srcname != nullptr) {
    snprintf(srcname, PKT_SRCNAME_SIZE, "%s%s", name, kind == Pkt_db ? pkt->db.table : "");
  }
  if (time != nullptr) *time = clock_now();
  return 0;
}

int stuffStashPkt(const char *text, int length, char **packet, int *nbytes, int *bufsize) {
  if (text == nullptr || packet == nullptr || nbytes == nullptr || bufsize == nullptr) {
    elog_log(0, "stuffStashPkt: no text or no buffer\n");
    return -1;
  }
  if (length < 1 || text[length - 1] != '\0' ||
      memchr(text, '\0', static_cast<size_t>(length - 1)) != nullptr) {
    elog_log(0, "stuffStashPkt: the text is not %d bytes ending in its only zero byte\n", length);
    return -1;
  }
  return stuff_stash_text("stuffStashPkt", text, static_cast<size_t>(length - 1), packet, nbytes,
                          bufsize);
}
