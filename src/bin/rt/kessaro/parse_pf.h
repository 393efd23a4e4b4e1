// parse_pf.h - reads kessaro's parameter file into the program record: the -pfsubs
// substitution, the program keys, packet definitions, link defaults, templates and links,
// datalogger defaults, templates and dataloggers with their output channels, and the
// point-of-contact sources.
//
// Every function logs one message (elog_log) that begins with its name, or with
// "parse_pf: " for the keys and lines it reads, and returns -1 (or none) on the first fault.
// Nothing is freed on the way out of parse_pf: the program ends. Texts the file gives are
// held in growing strings; the fixed fields of the records get only what fits, and a word
// that does not fit is refused.
//
// Locking: none. Runs once in the main thread before any other thread of the program.
#pragma once

#include <string>

struct Pf;
struct Kessaro;
struct Modem;
struct AltusDatalogger;
struct AltusChan;

// Reads `pfname` (pfread), applies -pfsubs (none: no substitution), then parse_pf_tree and
// parse_pf_pocds. 0 or -1.
int parse_pf(const char *pfname, const char *pfsubs, Kessaro *altus);
// Everything after the file is read, up to (not including) the point-of-contact sources:
// program keys, packet definitions, links and dataloggers. `pf` becomes altus->pf. Opens no
// ring. 0 or -1.
int parse_pf_tree(Pf *pf, Kessaro *altus);
// The point-of-contact sources: each opens a read connection of its own and starts a reap
// worker on it. 0 or -1.
int parse_pf_pocds(Kessaro *altus);

// The tree with every key of the file `pfsubs` replaced, as plain text, by its value (the
// same tree when `pfsubs` is none or has no keys); none on failure. A replacement also
// happens inside longer words, and a later key applies to what an earlier one inserted.
// The tree given is freed when a new one is returned.
Pf *pf_substitute(Pf *pf, const char *pfsubs);

// A new link of the kind "serial", "tcpclient" or "tcpserver", copied from the template
// named `template_name`; none after a message.
Modem *parse_modem(Kessaro *altus, const char *name, const char *com_mode,
                   const char *modem_control, const char *dialin, const char *dialout,
                   const char *template_name, const char *device);
// Expands the escapes <r> <n> <t> <b> <bl> of a modem string in place. 0.
int process_modem_string(std::string &text);
// Replaces every `token` in `text` by `replacement`. 0.
int replace_string(std::string &text, const char *token, const char *replacement);
// 0 for "0", "n", "no", "f", "false" (any case); 1 for any other text.
int tobool(const char *text);

// The channel map pchan_map of `pf` into dl->data_chan (every channel cleared first) and
// dl->pchans_arr; without the key (not required) the datalogger's own map is used again.
int parse_channelparams(Pf *pf, AltusDatalogger *dl, int required);
// The acquisition matrix acq_matrix: the packet definition of each pchan and mode.
int parse_acqparams(Pf *pf, Kessaro *altus, AltusDatalogger *dl, int required);
// Checks the channel's netstachanloc, substitutes $DLNET and $DLSTA from `dl` (none: empty),
// fills net, sta, chan and loc and rewrites netstachanloc. 0 or -1.
int parse_netstachanloc(const AltusDatalogger *dl, AltusChan *chan);
// Names, calibration check, orbtags and the datalogger's own packet-definition copies.
int setup_output_channels(Kessaro *altus, AltusDatalogger *dl);

// Frees a record made by kessaro_new and filled by parse_pf, whole or half-way (tests and
// the fuzz target; the program keeps its record to the end). Stops and frees the
// point-of-contact workers; the command-line orbtags are the caller's.
void parse_pf_release(Kessaro *altus);
