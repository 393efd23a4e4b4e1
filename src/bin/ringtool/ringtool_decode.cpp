// ringtool_decode.cpp - what `ringtool follow -v` shows of a packet's contents.
//
// Decoders are tried in order; the first that recognises a packet describes it, and a
// packet that none recognises gets a length and hex summary. Decoders of the packet
// library's kinds (waveform, parameter-file) belong in kDecoders.
#include <cstdint>
#include <cstdio>
#include <string>

#include "ringtool.h"

namespace {

using Decoder = bool (*)(const char *srcname, double time, const unsigned char *p, int n,
                         std::string *out);

unsigned be16(const unsigned char *p) { return (unsigned)(p[0] << 8 | p[1]); }

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
  if (n < 8 || be16(p) != 8 || be16(p + 4) != 0x716C || be16(p + 6) != 0x716C) return false;
  int end = 8;
  while (end < n && p[end] != '\0') end++;
  append_text(out, p + 8, end - 8);
  return true;
}

const Decoder kDecoders[] = {decode_log};

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
