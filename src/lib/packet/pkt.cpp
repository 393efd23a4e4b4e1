// pkt.cpp - packet and channel objects, the packet types and database rows.
#include "packet/pkt.h"

#include <cstdlib>
#include <cstring>

#include "base/elog.h"
#include "base/oom.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "packet/pkt_wire.h"

namespace {

const PktType kTypes[] = {
    {"GENC", Pkt_wf, "waveform, one channel"},
    {"MGENC", Pkt_wf, "waveform, one or more channels"},
    {"db", Pkt_db, "database row"},
    {"log", Pkt_log, "log text"},
    {"pf", Pkt_pf, "parameter file"},
    {"stash", Pkt_stash, "stash text"},
};

void free_channel_entry(void *entry) { freePktChannel(static_cast<PktChannel *>(entry)); }

char *copy_text(const char *text) {
  size_t n = strlen(text) + 1;
  char *copy = static_cast<char *>(malloc(n));
  if (copy == nullptr) OUT_OF_MEMORY(n, "packet text");
  memcpy(copy, text, n);
  return copy;
}

}  // namespace

Packet *newPkt(void) {
  Packet *pkt = static_cast<Packet *>(calloc(1, sizeof(Packet)));
  if (pkt == nullptr) OUT_OF_MEMORY(sizeof(Packet), "Packet");
  pkt->channels = newtbl(0);
  return pkt;
}

void freePkt(Packet *pkt) {
  if (pkt == nullptr) return;
  freetbl(pkt->channels, free_channel_entry);
  pffree(pkt->pf);
  free(pkt->db.table);
  free(pkt->db.row);
  free(pkt->string);
  free(pkt);
}

PktChannel *newPktChannel(void) {
  PktChannel *channel = static_cast<PktChannel *>(calloc(1, sizeof(PktChannel)));
  if (channel == nullptr) OUT_OF_MEMORY(sizeof(PktChannel), "PktChannel");
  return channel;
}

void freePktChannel(PktChannel *channel) {
  if (channel == nullptr) return;
  free(channel->data);
  free(channel);
}

const PktType *suffix2pkttype(const char *suffix) {
  if (suffix != nullptr) {
    for (const PktType &type : kTypes) {
      if (strcmp(type.suffix, suffix) == 0) return &type;
    }
  }
  elog_log(0, "suffix2pkttype: unknown packet suffix '%s'\n", suffix ? suffix : "(none)");
  return nullptr;
}

int pkt_setdbrow(Packet *pkt, const char *table, const char *row) {
  if (pkt == nullptr || table == nullptr || row == nullptr) {
    elog_log(0, "pkt_setdbrow: no packet, table or row\n");
    return -1;
  }
  size_t n = strlen(table);
  bool ok = n > 0 && n <= PKT_DBTABLE_MAX;
  for (size_t i = 0; ok && i < n; i++)
    ok = pktwire::table_char(static_cast<unsigned char>(table[i]));
  if (!ok) {
    elog_log(0, "pkt_setdbrow: bad table name '%.*s'\n", PKT_DBTABLE_MAX + 1, table);
    return -1;
  }
  char *table_copy = copy_text(table);
  char *row_copy = copy_text(row);
  free(pkt->db.table);
  free(pkt->db.row);
  pkt->db.table = table_copy;
  pkt->db.row = row_copy;
  return 0;
}
