// parse_pf.h - muldrin's parameter file: the top-level settings, packet definitions,
// datalogger defaults and templates, the dataloggers table with one session per row, the
// point-of-contact sources, and the datalogger parameter blocks with their channel maps.
//
// A datalogger parameter block (the top level, which holds the defaults, a template, or a
// per-datalogger block) is applied to a Q330DLParams key by key: keys a block leaves out
// keep the value held. Each Q330DLParams owns its texts, lists, maps and channel records;
// q330_copy_params makes deep copies so that no two share memory. Packet definitions
// named by channels belong to the program record (or, after parse_pf, to the session).
//
// Every error is registered (elog_log) with a message naming the key, block, row or
// datalogger and gives -1; the program then stops at start-up. Run on the main thread
// only, before other threads start; nothing here locks.
#pragma once

#include <string>

#include "muldrin.h"
#include "q330.h"
#include "ringsvc/orbreapthr.h"
#include "support/netstachan.h"

struct Packet;
struct Q330RepktBuf;

// One packet definition (an entry of packet_defs, or a datalogger's copy of one).
struct PacketDef {
  Orbtag *orbtag;  // none when data_orbtag names no command-line orbtag
  char name[32];
  char suffix[32];   // "GENC" or "MGENC"
  char subcode[32];  // empty when absent
  int twin;          // seconds
  int multiplexed;
  Packet *pkt;  // packet being built
  int output;
  Q330RepktBuf *rbuf;
};

// One point-of-contact source: a UDP port, or a ring buffer (port 0).
typedef struct pocd_ {
  int port;
  pthread_t thread;
  UDP *udp;
  OrbreapThr *orb;
  char *label;  // "POC%d" of the port, or "POC-%s" of the orbname
} POCDaemon;

// Status-name lookup used by the status map: 0 with the channel type (1 program status,
// 2 data state-of-health status), its definition row and the definition's sample interval
// (0: reported as needed); -1 for an unknown name. The data blockette tables' lookup by
// default; tests may replace it, and none makes every status name unknown.
typedef int (*ParsePfStatusLookup)(const char *name, int *type, const void **stdef, double *dt);
extern ParsePfStatusLookup parse_pf_status_lookup;
// The default lookup: data state-of-health rows (type 2) and the program's own status rows
// (type 1) of the data blockette tables, with the sample interval of their definition.
int q330_status_lookup(const char *name, int *type, const void **stdef, double *dt);

// Reads pfname and fills `muldrin` (whose target_name, orbtags, dbname_calib and statepf
// the command line set). 0 or -1.
int parse_pf(const char *pfname, Q330OutCallback out_callback, Muldrin *muldrin);
// 1 when every character is a decimal digit (also for ""), else 0.
int strisnumber(const char *text);

int parse_dlparams(Pf *pf, Muldrin *muldrin, Q330DLParams *dlp, int is_default);
// Entry `index` of the table of a parameter block's scalar keys: its name and whether the
// top level must give it (no built-in default). 0, or -1 past the end (for the
// reference text's check).
int parse_dlparams_key(int index, const char **name, int *required_at_top);
int parse_channelparams(Pf *pf, Q330DLParams *dlp, int required);
int parse_acqparams(Pf *pf, Muldrin *muldrin, Q330DLParams *dlp, int required);
int parse_statuschannelparams(Pf *pf, Q330DLParams *dlp, int required);
int parse_statuschanneldisposition(Pf *pf, Muldrin *muldrin, Q330DLParams *dlp, int required);
int parse_epchannelparams(Pf *pf, Q330DLParams *dlp, int required);
int parse_epchanneldisposition(Pf *pf, Muldrin *muldrin, Q330DLParams *dlp, int required);

// Checks a net_sta_chan_loc code and gives its parts: "$DLNET" and "$DLSTA" become the
// datalogger's codes, "$PROPTG" is kept as the station. 0 or -1.
int parse_netstachanloc(const Q330DLParams *dlp, const char *text, char net[8], char sta[16],
                        char chan[16], char loc[8]);
// 1 when the text begins with a digit and reads as a non-zero integer, or begins with
// T, Y, t or y; else 0.
int parse_bool(const char *text);

// Frees what `to` owns, then makes it a deep copy of `from`. 0.
int q330_copy_params(Q330DLParams *to, const Q330DLParams *from);
// Frees what the parameters own (texts, lists, maps, status and ep channels) and leaves
// them zeroed.
void q330_free_params(Q330DLParams *dlp);
