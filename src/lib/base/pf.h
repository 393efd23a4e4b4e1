// pf.h - parameter files: a tree of texts, lists and key-sorted arrays, read from and
// written as parameter-file text.
//
// Text form, one item per line:
//   key value          a text; the value is the rest of the line without its leading and
//                      trailing blanks and tabs. A value that begins and ends with '"' loses
//                      that one pair of quotes (so "  x " keeps its blanks; there are no
//                      escapes). A key may be quoted the same way ("a b" value).
//   key &Arr{ ... }    a nested array: key lines until a line "}"
//   key &Tbl{ ... }    a list: one element per line until a line "}"; an element is a text
//                      (quoted as above) or itself "&Arr{", "&Tbl{" or "&Literal{"
//   key &Literal{ ...} a text kept as written: the lines between the braces, joined with
//                      newlines, each without the indentation of the line that opened the
//                      block. Braces inside are counted; the block ends at the first '}'
//                      that ends a line (only blanks after it) and balances the opening
//                      brace, so "log &Literal{\nmessage}" and "x &Literal{\ntext\n}" both
//                      hold one line.
//   # ...              a comment line (outside literals), also allowed after "}", "&Arr{"
//                      and "&Tbl{" on their line; blank lines are skipped.
// A later key replaces an earlier one of the same array. Lines may end in CR LF. A text
// holding other control characters, a line longer than PF_MAX_LINE bytes, blocks nested
// deeper than PF_MAX_DEPTH, an unclosed block or a stray "}" is refused with the line
// number.
//
// pf2string writes the canonical text: keys in ascending byte order, one blank between key
// and value, no indentation, quotes only where needed, texts with newlines as literals.
// pfcompile reads it back to the same tree.
//
// Ownership: every tree returned by pfnew, pfcompile, pfin, pfread and pfdup belongs to the
// caller (pffree). Nodes and texts handed out by pfget, pfget_string, pfget_tbl, pfget_arr
// and pfkeys belong to the tree: valid until the tree (or that entry) is changed or freed;
// never pffree a nested node. parse_param results are the caller's (see there). A tree has no
// lock: one thread at a time; separate trees are independent, except that a copy (pfdup,
// parse_param of a block) shares with its original, under a lock of its own, the record of
// which keys readers asked for (see pfwarn_unused). Every node read from text remembers its
// line and, when read from a file, the file; copies keep both.
#pragma once

#include <cstdio>
#include <string_view>

struct Pf;
struct Tbl;
struct Arr;

// Kinds of nodes, as pfget reports them. PFFILE is a whole tree (from a file or text);
// PFARR a nested array; both hold keys and are used alike.
enum PfKind {
  PFINVALID = 0,  // no such key, or no tree
  PFSTRING = 1,
  PFTBL = 2,
  PFARR = 3,
  PFFILE = 4,
};

enum {
  PF_MAX_LINE = 65535,  // bytes in one line, without its newline
  PF_MAX_DEPTH = 100,   // nested &Arr{ and &Tbl{ blocks
};

// A new empty node of that kind (PFFILE, PFARR, PFTBL or PFSTRING with ""); none for
// another kind.
Pf *pfnew(int kind);
void pffree(Pf *pf);      // none: nothing
Pf *pfdup(const Pf *pf);  // a deep copy; none for none

// Each stores a new tree in *pf and returns 0; on failure *pf is none, the reason (with
// the line number for bad text) is registered and the result is -1. An empty text gives an
// empty tree.
int pfcompile(const char *text, Pf **pf);
int pfin(FILE *stream, Pf **pf);  // reads the stream to its end
// A name without '/' is looked up along PFPATH (directories separated by ':'; unset, empty
// or an empty entry means "."), as name.pf unless it already ends in ".pf"; every file
// found is read, and a later one replaces the top-level keys it gives. A name with '/' is
// that one file (".pf" added unless present). No file found is a failure.
int pfread(const char *name, Pf **pf);
// pfread's file, checked for "pf_revision_time" (an epoch number or a time text) not older
// than `time_text` ("2005010:00:00:00"). 0 up to date, -1 no usable pf_revision_time
// (absent, not a text, or not a time), -2 out of date, -3 syntax error, -4 no file found
// (or one that can't be read), -5 `time_text` is not a time. The reason is registered.
int pfrequire(const char *name, const char *time_text);

// One line of a literal block: counts its braces into *depth (1 at the block's opening)
// and returns where its closing brace stands (the '}' that ends the line and balances the
// opening one), or std::string_view::npos when the block goes on past this line.
size_t pf_literal_close(std::string_view line, long *depth);

// The canonical text of the tree (see above), a new text the caller frees with free(); a
// PFSTRING node gives its text. None, with the reason registered, when the tree holds
// something the text form cannot carry (a control character, a line over PF_MAX_LINE, a
// key that needs quotes but holds '"', a multi-line text whose braces would end its
// literal early).
char *pf2string(const Pf *pf);

// Looks up `key` in an array node, or the element with that decimal index in a list node.
// Returns the kind of the value (PFINVALID when absent) and, when `value` is given, sets
// *value to the text (char *) for PFSTRING or to the nested node (Pf *) otherwise (none
// when absent). Both belong to the tree.
int pfget(Pf *pf, const char *key, void **value);
char *pfget_string(Pf *pf, const char *key);  // none when absent or not a text
// The value read as parse_param reads it; 0 when absent or unreadable (parse_param tells
// the cases apart).
int pfget_int(Pf *pf, const char *key);
double pfget_double(Pf *pf, const char *key);
int pfget_boolean(Pf *pf, const char *key);
// A new list (free with freetbl(tbl, 0)) of the elements of a list value: char * for a
// text, Pf * for a nested block; the entries belong to the tree. None when absent or not a
// list.
Tbl *pfget_tbl(Pf *pf, const char *key);
// A new array (free with freearr(arr, 0)) of the entries of an array value, char * or
// Pf * as for pfget_tbl, belonging to the tree. None when absent or not an array.
Arr *pfget_arr(Pf *pf, const char *key);
// A new list (freetbl(tbl, 0)) of the keys of an array node in ascending order; the texts
// belong to the tree. None for a node that is not an array.
Tbl *pfkeys(Pf *pf);

// Each stores a copy under `key` of an array node (replacing what was there), or at the
// index `key` of a list node (0 .. count; count appends). 0, or -1 when the node cannot
// take it. pfput_double writes the shortest text that reads back to the same double;
// pfput_boolean writes "1" or "0". pfput_tbl copies the list's entries as texts (none
// entries as ""); pfput_arr stores a nested array of copies of the array's values as texts.
int pfput_string(Pf *pf, const char *key, const char *text);
int pfput_int(Pf *pf, const char *key, int value);
int pfput_double(Pf *pf, const char *key, double value);
int pfput_boolean(Pf *pf, const char *key, int value);
int pfput_tbl(Pf *pf, const char *key, Tbl *tbl);
int pfput_arr(Pf *pf, const char *key, Arr *arr);

// Kinds for parse_param, with the destination each one fills.
enum ParseParamKind {
  P_LINT = 1,    // int *: decimal in int range, or 0x hexadecimal up to 0xffffffff (bits)
  P_SINT = 2,    // short *: decimal in short range, or hexadecimal up to 0xffff
  P_DBL = 3,     // double *: a finite number
  P_STR = 4,     // char **: a new copy of the text (free()); the old value is not freed
  P_STRCP = 5,   // char[P_STRCP_SIZE]: the text copied in; a longer text is refused
  P_TBL = 6,     // Tbl **: a new list of new texts (freetbl(tbl, free)); a single text
                 // gives a list of one
  P_FLT = 7,     // float *: a finite number within float range
  P_ARRPF = 8,   // Arr **: a new array of new trees, one per nested block (each pffree)
  P_ARRSTR = 9,  // Arr **: a new array of new texts (freearr(arr, free))
  P_ARR = 10,    // Pf **: a new tree copied from the nested block (pffree)
  P_BOOL = 11,   // int *: 1 or 0 from yes/no, y/n, true/false, t/f, on/off (any case) or
                 // an integer (non-zero is 1)
};
enum { P_STRCP_SIZE = 256 };

// Reads `key` of `pf` as `kind` into `destination`. 0 on success, and also when the key is
// absent and not required: the destination is then left as it was. -1 when a required key
// is absent, -2 when the value is not of the kind (the destination is left as it was), -3
// for an unknown kind or no destination; the reason, naming the key, the value, and the
// file and line it was read from, is registered. A required key that is absent while a
// key of the same block differs from it by a slip of the keyboard names that key and its
// line too. A none tree counts as empty.
int parse_param(Pf *pf, const char *key, int kind, int required, void *destination);

// The range of a number setting, both ends included.
struct PfRange {
  double min;
  double max;
};

// parse_param for the number kinds (P_LINT, P_SINT, P_DBL, P_FLT) that also refuses a
// value outside `range` with -2 and the reason registered; other kinds are parse_param's.
int parse_param_range(Pf *pf, const char *key, int kind, int required, void *destination,
                      PfRange range);

// Reads `text`, the value given for the setting `key` (a remote command's word, a table
// cell), as a number of `kind` (P_LINT, P_SINT, P_DBL or P_FLT) within `range`, the same
// way parse_param reads a file's value: NaN, infinities, numbers too large for the kind,
// trailing words and texts that are no number are refused. 0 with *destination set, or
// -1 with the reason ("key 'k': 'nan' is not a finite number") in why[why_size] (when
// given) and *destination left as it was.
int pfnumber(const char *key, const char *text, int kind, PfRange range, void *destination,
             char *why, int why_size);

// A number setting of a remote command: its key, kind (as pfnumber) and range.
struct PfNumberKey {
  const char *key;
  int kind;
  PfRange range;
};

// Checks `value`, given for `key` in a remote command, against the table keys[n]: 0 when it
// suits or `key` is not in the table, else -1 with the reason in why[why_size]. A word that
// does not begin like a number reads as 0, as the commands have always read it.
int pfnumber_check(const PfNumberKey *keys, int n, const char *key, const char *value, char *why,
                   int why_size);

// "'file' line N" for where `key` of `pf` was read ("line N" for a text or stream, the
// block's own place when the key is absent, "" when nothing is known), into where[size].
void pfwhere(Pf *pf, const char *key, char *where, int size);

// Complains once (elog_complain) about every key of the tree that no reader has asked for
// since it was read, naming the file, the key (as a path "block->key" below the top), its
// line, and the known key nearest to it when one is a slip of the keyboard away: keys the
// program reads under another name are never set. Keys of a block whose entries a reader
// took whole (pfkeys, pfget_arr, parse_param of an array of texts or of blocks) are data,
// not settings; the blocks inside are still looked at. `quiet` (none, or a list ended by
// none) names top-level keys left for other programs. `who` begins each line. Returns the
// number of keys complained about.
int pfwarn_unused(Pf *pf, const char *who, const char *const *quiet);
