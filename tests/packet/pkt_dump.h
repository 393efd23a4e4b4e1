// pkt_dump.h - the whole content of a decoded or to-be-encoded packet as one text, so that
// tests and the fuzz target compare packets field by field (doubles exactly, as "%a").
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/pf.h"
#include "base/tbl.h"
#include "packet/pkt.h"

inline std::string pkt_dump(const Packet *pkt) {
  std::string out;
  char line[512];
  if (pkt == nullptr) return "(no packet)";
  out += pkt->pkttype ? pkt->pkttype->suffix : "(no type)";
  out += "\n";
  if (pkt->pkttype == nullptr) return out;
  switch (pkt->pkttype->kind) {
    case Pkt_wf:
      for (int i = 0; i < pkt->nchannels; i++) {
        const PktChannel *ch = static_cast<const PktChannel *>(gettbl(pkt->channels, i));
        snprintf(line, sizeof line,
                 "%s|%s|%s|%s|%s time %a rate %a calib %a calper %a n %d:", ch->net, ch->sta,
                 ch->chan, ch->loc, ch->segtype, ch->time, ch->samprate, ch->calib, ch->calper,
                 ch->nsamp);
        out += line;
        for (int k = 0; k < ch->nsamp; k++) out += " " + std::to_string(ch->data[k]);
        out += "\n";
      }
      break;
    case Pkt_pf: {
      char *text = pf2string(pkt->pf);
      out += text ? text : "(pf2string failed)";
      free(text);
      break;
    }
    case Pkt_db:
      out += std::string(pkt->db.table ? pkt->db.table : "(none)") + "\n" +
             (pkt->db.row ? pkt->db.row : "(none)");
      break;
    default:
      out += pkt->string ? pkt->string : "(none)";
      break;
  }
  return out;
}
