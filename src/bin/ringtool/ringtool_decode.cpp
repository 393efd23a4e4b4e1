// ringtool_decode.cpp - what `ringtool follow -v` shows of a packet's contents.
//
// Decoders are tried in order; the first that recognises a packet describes it, and a
// packet that none recognises gets a length and hex summary.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/bigendian.h"
#include "base/elog.h"
#include "packet/pkt.h"
#include "ringtool.h"

namespace {

using Decoder = bool (*)(const char *srcname, double time, const unsigned char *p, int n,
                         std::string *out);

// Shows a text with its control characters (but newlines and tabs) escaped, each of its
// lines indented.
void append_text(std::string *out, const unsigned char *p, int n) {
  std::string line = "    ";
  for (int i = 0; i < n; i++) {
    unsigned char c = p[i];
    if (c == '\n') {
      *out += line + "\n";
      line = "    ";
    } else if (c == '\t' || (c >= 0x20 && c != 0x7f)) {
      line += (char)c;
    } else {
      char esc[8];
      snprintf(esc, sizeof esc, "\\x%02x", c);
      line += esc;
    }
  }
  if (line != "    ") *out += line + "\n";
}

// Log packets: header size 8, packet size, 0x716C twice (16-bit, big-endian), then the
// text and its NUL.
bool decode_log(const char *, double, const unsigned char *p, int n, std::string *out) {
  if (n < 8 || be_get16(p) != 8 || be_get16(p + 4) != 0x716C || be_get16(p + 6) != 0x716C)
    return false;
  int end = 8;
  while (end < n && p[end] != '\0') end++;
  append_text(out, p + 8, end - 8);
  return true;
}

// Packets of the packet library (they begin with its "VP" magic): the library's own
// description, less its summary line, which follow has printed already. Bytes that carry
// the magic but do not decode fall through to the hex summary.
bool decode_packet(const char *srcname, double time, const unsigned char *p, int n,
                   std::string *out) {
  if (n < 2 || p[0] != 'V' || p[1] != 'P') return false;
  Packet *pkt = nullptr;
  int kind = unstuffPkt(srcname, time, reinterpret_cast<const char *>(p), n, &pkt);
  freePkt(pkt);
  if (kind < 0) {
    elog_clear_register(0);
    return false;
  }
  char *text = pkt_describe(srcname, time, reinterpret_cast<const char *>(p), n, 1);
  if (!text) return false;
  std::string all(text);
  free(text);
  size_t eol = all.find('\n');
  std::string detail = eol == std::string::npos ? std::string() : all.substr(eol + 1);
  size_t start = 0;
  while (start < detail.size()) {
    size_t end = detail.find('\n', start);
    if (end == std::string::npos) end = detail.size();
    *out += "    " + detail.substr(start, end - start) + "\n";
    start = end + 1;
  }
  return true;
}

const Decoder kDecoders[] = {decode_log, decode_packet};

void hex_summary(const unsigned char *p, int n, std::string *out) {
  const int shown = n < 32 ? n : 32;
  char buf[8];
  *out += "    " + std::to_string(n) + " bytes:";
  for (int i = 0; i < shown; i++) {
    snprintf(buf, sizeof buf, " %02x", p[i]);
    *out += buf;
  }
  if (shown < n) *out += " ...";
  *out += "\n";
}

}  // namespace

std::string ringtool_describe(const char *srcname, double time, const unsigned char *packet,
                              int nbytes) {
  std::string out;
  if (nbytes < 0 || (nbytes > 0 && !packet)) return out;
  for (Decoder d : kDecoders) {
    if (d(srcname, time, packet, nbytes, &out)) return out;
  }
  hex_summary(packet, nbytes, &out);
  return out;
}
