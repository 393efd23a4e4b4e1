// pkt_unstuff.cpp - decoding packets: unstuffPkt.
//
// Every field is read through a bounded Reader; counts from the wire are checked against
// the bytes left before anything is allocated for them, so hostile input can neither read
// outside the packet nor make the decoder allocate more than a bounded multiple of the
// packet's size (one sample a byte in coding 1, 32 in coding 2).
//
// Format versions: 1 knows sample coding 1 only, 2 codings 1 and 2; others are refused.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/elog.h"
#include "base/oom.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "packet/pkt.h"
#include "packet/pkt_wire.h"

using namespace pktwire;

namespace {

// What a decoding step needs: the source name for messages and the packet to fill.
struct Decode {
  const char *srcname;
  Packet *pkt;
  unsigned version;

  int fail(const char *what) const {
    elog_log(0, "unstuffPkt: %s: %s\n", srcname, what);
    return -1;
  }
};

// Empties a packet for reuse: no type, no channels in use, no tree, row or text. The
// channel objects and their sample buffers stay for the next waveform.
void clear_packet(Packet *pkt) {
  pkt->pkttype = nullptr;
  pkt->nchannels = 0;
  pffree(pkt->pf);
  pkt->pf = nullptr;
  free(pkt->db.table);
  free(pkt->db.row);
  pkt->db.table = nullptr;
  pkt->db.row = nullptr;
  free(pkt->string);
  pkt->string = nullptr;
}

// A new zero-terminated copy of n bytes, or none when they hold a zero byte.
char *text_copy(const uint8_t *bytes, size_t n) {
  if (n > 0 && memchr(bytes, 0, n) != nullptr) return nullptr;
  char *text = static_cast<char *>(malloc(n + 1));
  if (text == nullptr) OUT_OF_MEMORY(n + 1, "packet text");
  memcpy(text, bytes, n);
  text[n] = '\0';
  return text;
}

bool get_code(Reader &in, char *field, size_t size) {
  unsigned n;
  const uint8_t *bytes;
  if (!in.u8(&n) || n >= size || !in.bytes(n, &bytes)) return false;
  for (unsigned i = 0; i < n; i++) {
    if (!code_char(bytes[i])) return false;
  }
  memcpy(field, bytes, n);
  field[n] = '\0';
  return true;
}

bool get_number(Reader &in, double *value) { return in.f64(value) && std::isfinite(*value); }

// Decodes exactly `nsamp` samples from exactly the `n` coded bytes.
bool get_samples(const uint8_t *p, size_t n, int32_t *out, uint32_t nsamp) {
  const uint8_t *end = p + n;
  uint32_t prev = 0;
  for (uint32_t i = 0; i < nsamp; i++) {
    uint32_t z = 0;
    int shift = 0;
    for (;;) {
      if (p == end) return false;
      uint8_t b = *p++;
      if (shift == 28 && b > 0x0F) return false;  // more than 32 bits, or a sixth byte
      z |= static_cast<uint32_t>(b & 0x7F) << shift;
      if ((b & 0x80) == 0) break;
      shift += 7;
    }
    prev += (z >> 1) ^ (0u - (z & 1));
    out[i] = static_cast<int32_t>(prev);
  }
  return p == end;
}

PktChannel *channel_at(Packet *pkt, int i) {
  PktChannel *ch = static_cast<PktChannel *>(gettbl(pkt->channels, i));
  if (ch == nullptr) {
    ch = newPktChannel();
    settbl(pkt->channels, i, ch);
  }
  return ch;
}

int decode_channel(const Decode &d, Reader &in, int index) {
  PktChannel *ch = channel_at(d.pkt, index);
  if (!get_code(in, ch->net, sizeof ch->net) || !get_code(in, ch->sta, sizeof ch->sta) ||
      !get_code(in, ch->chan, sizeof ch->chan) || !get_code(in, ch->loc, sizeof ch->loc) ||
      !get_code(in, ch->segtype, sizeof ch->segtype)) {
    return d.fail("truncated or bad channel code");
  }
  if (!get_number(in, &ch->time) || !get_number(in, &ch->samprate) || !get_number(in, &ch->calib) ||
      !get_number(in, &ch->calper)) {
    return d.fail("truncated channel or a number that is not finite");
  }
  uint32_t nsamp, coded;
  unsigned coding;
  const uint8_t *bytes;
  if (!in.u32(&nsamp) || !in.u8(&coding) || !in.u32(&coded) || !in.bytes(coded, &bytes)) {
    return d.fail("truncated channel samples");
  }
  bool blocks = coding == kCodingDiffBlocks && d.version >= kVersionBlocks;
  if (coding != kCodingDiffVarint && !blocks) return d.fail("unknown sample coding");
  // The coded bytes bound the samples they can hold, and so the allocation.
  if (blocks ? nsamp > blocks_max_samples(coded) : nsamp > coded)
    return d.fail("more samples than coded bytes");
  if (nsamp > 0 &&
      (ch->data == nullptr || ch->datasz < 0 || nsamp > static_cast<uint32_t>(ch->datasz))) {
    size_t size = static_cast<size_t>(nsamp) * sizeof(int32_t);
    void *grown = realloc(ch->data, size);
    if (grown == nullptr) OUT_OF_MEMORY(size, "channel samples");
    ch->data = static_cast<int32_t *>(grown);
    ch->datasz = static_cast<int>(nsamp);
  }
  ch->nsamp = static_cast<int>(nsamp);
  if (!(blocks ? get_blocks(bytes, coded, ch->data, nsamp)
               : get_samples(bytes, coded, ch->data, nsamp))) {
    ch->nsamp = 0;
    return d.fail("coded samples do not match the sample count");
  }
  return 0;
}

int decode_waveform(const Decode &d, Reader &in) {
  unsigned layout, count;
  if (!in.u8(&layout) || !in.u16(&count)) return d.fail("truncated waveform header");
  if (layout != kLayoutGenc && layout != kLayoutMgenc) return d.fail("unknown waveform layout");
  if (layout == kLayoutGenc ? count != 1 : count < 1) {
    return d.fail("wrong number of channels for the layout");
  }
  for (unsigned i = 0; i < count; i++) {
    if (decode_channel(d, in, static_cast<int>(i)) < 0) return -1;
    d.pkt->nchannels = static_cast<int>(i) + 1;
  }
  if (in.left() != 0) return d.fail("bytes left over after the last channel");
  d.pkt->pkttype = suffix2pkttype(layout == kLayoutGenc ? "GENC" : "MGENC");
  return Pkt_wf;
}

int decode_db(const Decode &d, Reader &in) {
  unsigned n;
  const uint8_t *table;
  if (!in.u8(&n) || n < 1 || n > PKT_DBTABLE_MAX || !in.bytes(n, &table)) {
    return d.fail("truncated or bad db table name");
  }
  for (unsigned i = 0; i < n; i++) {
    if (!table_char(table[i])) return d.fail("bad db table name");
  }
  const uint8_t *row;
  size_t row_length = in.left();
  in.bytes(row_length, &row);
  char *row_text = text_copy(row, row_length);
  if (row_text == nullptr) return d.fail("db row holds a zero byte");
  d.pkt->db.table = text_copy(table, n);
  d.pkt->db.row = row_text;
  d.pkt->pkttype = suffix2pkttype("db");
  return Pkt_db;
}

// The rest of the body as a text: pf and stash.
char *body_text(const Decode &d, Reader &in) {
  const uint8_t *bytes;
  size_t n = in.left();
  in.bytes(n, &bytes);
  char *text = text_copy(bytes, n);
  if (text == nullptr) d.fail("text holds a zero byte");
  return text;
}

int decode_pf(const Decode &d, Reader &in) {
  char *text = body_text(d, in);
  if (text == nullptr) return -1;
  Pf *pf = nullptr;
  int result = pfcompile(text, &pf);
  free(text);
  if (result < 0) return d.fail("the parameter-file text does not read");
  d.pkt->pf = pf;
  d.pkt->pkttype = suffix2pkttype("pf");
  return Pkt_pf;
}

int decode_stash(const Decode &d, Reader &in) {
  char *text = body_text(d, in);
  if (text == nullptr) return -1;
  d.pkt->string = text;
  d.pkt->pkttype = suffix2pkttype("stash");
  return Pkt_stash;
}

int decode_ours(Decode &d, const uint8_t *bytes, size_t n) {
  if (n < kHeaderSize) return d.fail("truncated header");
  if (bytes[2] != kVersion && bytes[2] != kVersionBlocks)
    return d.fail("unknown packet format version");
  d.version = bytes[2];
  uint32_t body = be_get32(bytes + 4);
  if (body > n - kHeaderSize) return d.fail("truncated body");
  Reader in(bytes + kHeaderSize, body);
  switch (bytes[3]) {
    case Pkt_wf:
      return decode_waveform(d, in);
    case Pkt_db:
      return decode_db(d, in);
    case Pkt_pf:
      return decode_pf(d, in);
    case Pkt_stash:
      return decode_stash(d, in);
    default:
      return d.fail("unknown packet kind");
  }
}

// A log packet: header size 8, packet size, 0x716C twice, the text and its zero byte.
int decode_log(const Decode &d, const uint8_t *bytes, size_t n) {
  size_t size = be_get16(bytes + 2);
  if (size < kLogHeaderSize + 1 || size > n) return d.fail("truncated log packet");
  if (bytes[size - 1] != 0) return d.fail("log text without its zero byte");
  char *text = text_copy(bytes + kLogHeaderSize, size - kLogHeaderSize - 1);
  if (text == nullptr) return d.fail("log text holds a zero byte");
  d.pkt->string = text;
  d.pkt->pkttype = suffix2pkttype("log");
  return Pkt_log;
}

bool is_log(const uint8_t *bytes, size_t n) {
  return n >= kLogHeaderSize && be_get16(bytes) == kLogHeaderSize &&
         be_get16(bytes + 4) == kLogCode && be_get16(bytes + 6) == kLogCode;
}

}  // namespace

int unstuffPkt(const char *srcname, double time, const char *packet, int nbytes, Packet **pkt) {
  (void)time;
  if (srcname == nullptr) srcname = "(no source name)";
  if (pkt == nullptr || packet == nullptr || nbytes < 0) {
    elog_log(0, "unstuffPkt: %s: no packet bytes or no packet to fill\n", srcname);
    return -1;
  }
  bool made = *pkt == nullptr;
  if (made) *pkt = newPkt();
  Decode d{srcname, *pkt, 0};
  clear_packet(d.pkt);
  if (d.pkt->channels == nullptr) d.pkt->channels = newtbl(0);

  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(packet);
  size_t n = static_cast<size_t>(nbytes);
  int result;
  if (n >= 2 && bytes[0] == kMagic0 && bytes[1] == kMagic1) {
    result = decode_ours(d, bytes, n);
  } else if (is_log(bytes, n)) {
    result = decode_log(d, bytes, n);
  } else {
    result = d.fail("not a packet of a known layout");
  }
  if (result < 0) {
    clear_packet(d.pkt);
    if (made) {
      freePkt(*pkt);
      *pkt = nullptr;
    }
  }
  return result;
}
