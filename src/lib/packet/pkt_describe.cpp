// pkt_describe.cpp - packets described for people (the ring tool's listings).
//
// Texts from the wire are shown with their control characters (other than newline and
// tab in the verbose detail) replaced by '.', so a packet can't drive the terminal.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/elog.h"
#include "base/oom.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "base/timetext.h"
#include "packet/pkt.h"

namespace {

bool shown_as_is(unsigned char c, bool multiline) {
  return (c >= 0x20 && c != 0x7f) || (multiline && (c == '\n' || c == '\t'));
}

// The first line of a text, "..." marking a cut.
void append_first_line(std::string &out, const char *text) {
  size_t n = strcspn(text, "\n");
  for (size_t i = 0; i < n; i++) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    out += shown_as_is(c, false) ? static_cast<char>(c) : '.';
  }
  if (text[n] != '\0' && text[n + 1] != '\0') out += " ...";
}

// The whole text, ending in a newline.
void append_text(std::string &out, const char *text) {
  for (const char *p = text; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    out += shown_as_is(c, true) ? static_cast<char>(c) : '.';
  }
  if (out.empty() || out.back() != '\n') out += '\n';
}

std::string time_text(double time) {
  char *text = epoch2str(time, "%Y-%m-%d %H:%M:%S.%s");
  std::string out = text ? text : "?";
  free(text);
  return out;
}

void describe_waveform(std::string &out, Packet *pkt, int verbose) {
  long samples = 0;
  for (int i = 0; i < pkt->nchannels; i++) {
    samples += static_cast<const PktChannel *>(gettbl(pkt->channels, i))->nsamp;
  }
  const PktChannel *first = static_cast<const PktChannel *>(gettbl(pkt->channels, 0));
  string_appendf(out, "%s: %d channel%s, %ld samples", pkt->pkttype->suffix, pkt->nchannels,
                 pkt->nchannels == 1 ? "" : "s", samples);
  if (pkt->nchannels == 1) {
    string_appendf(out, ", %s_%s_%s%s%s at %g sps", first->net, first->sta, first->chan,
                   first->loc[0] ? "_" : "", first->loc, first->samprate);
  }
  out += '\n';
  if (!verbose) return;
  for (int i = 0; i < pkt->nchannels; i++) {
    const PktChannel *ch = static_cast<const PktChannel *>(gettbl(pkt->channels, i));
    string_appendf(out,
                   "  %s_%s_%s%s%s segtype '%s' time %s samprate %g calib %g calper %g nsamp %d\n",
                   ch->net, ch->sta, ch->chan, ch->loc[0] ? "_" : "", ch->loc, ch->segtype,
                   time_text(ch->time).c_str(), ch->samprate, ch->calib, ch->calper, ch->nsamp);
    for (int k = 0; k < ch->nsamp; k++) {
      string_appendf(out, "%s%d", k % 10 == 0 ? "    " : " ", static_cast<int>(ch->data[k]));
      if (k % 10 == 9 || k == ch->nsamp - 1) out += '\n';
    }
  }
}

void describe(std::string &out, int kind, Packet *pkt, int verbose) {
  switch (kind) {
    case Pkt_wf:
      describe_waveform(out, pkt, verbose);
      return;
    case Pkt_db:
      string_appendf(out, "db: table %s, row of %zu bytes\n", pkt->db.table, strlen(pkt->db.row));
      if (verbose) append_text(out, pkt->db.row);
      return;
    case Pkt_pf: {
      Tbl *keys = pfkeys(pkt->pf);
      string_appendf(out, "pf: %ld keys\n", keys ? maxtbl(keys) : 0L);
      freetbl(keys, nullptr);
      if (verbose) {
        char *text = pf2string(pkt->pf);
        if (text != nullptr && text[0] != '\0') append_text(out, text);
        free(text);
      }
      return;
    }
    case Pkt_log:
      out += "log: ";
      append_first_line(out, pkt->string);
      out += '\n';
      if (verbose && strchr(pkt->string, '\n') != nullptr) append_text(out, pkt->string);
      return;
    case Pkt_stash:
      string_appendf(out, "stash: %zu bytes of text\n", strlen(pkt->string));
      if (verbose && pkt->string[0] != '\0') append_text(out, pkt->string);
      return;
  }
}

}  // namespace

char *pkt_describe(const char *srcname, double time, const char *packet, int nbytes, int verbose) {
  if (srcname == nullptr) srcname = "";
  int mark = elog_mark();
  std::string out;
  append_first_line(out, srcname);
  string_appendf(out, " %s %d bytes ", time_text(time).c_str(), nbytes);
  Packet *pkt = nullptr;
  int kind = unstuffPkt(srcname, time, packet, nbytes, &pkt);
  if (kind >= 0) describe(out, kind, pkt, verbose);
  freePkt(pkt);

  Elog_msg *messages = nullptr;
  int n = elog_query(2, mark, &messages);
  if (kind < 0) {
    // The decoder's own reason first, without its "unstuffPkt: srcname: " prefix, then
    // what the functions it called said.
    std::string prefix = std::string("unstuffPkt: ") + srcname + ": ";
    std::string reason, others;
    for (int i = 0; i < n; i++) {
      std::string m = messages[i].msg;
      while (!m.empty() && m.back() == '\n') m.pop_back();
      if (reason.empty() && m.compare(0, prefix.size(), prefix) == 0) {
        reason = m.substr(prefix.size());
      } else {
        others += (others.empty() ? "" : "; ") + m;
      }
    }
    if (reason.empty()) reason = "unknown reason";
    if (!others.empty()) reason += " (" + others + ")";
    out += "undecodable: ";
    for (char &c : reason) {
      if (c == '\n') c = ' ';
    }
    append_first_line(out, reason.c_str());
    out += '\n';
  }
  for (int i = 0; i < n; i++) elog_free_msg(&messages[i]);
  free(messages);

  char *result = static_cast<char *>(malloc(out.size() + 1));
  if (result == nullptr) OUT_OF_MEMORY(out.size() + 1, "packet description");
  memcpy(result, out.c_str(), out.size() + 1);
  return result;
}
