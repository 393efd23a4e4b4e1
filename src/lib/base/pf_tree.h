// pf_tree.h - the node of a parameter-file tree, shared by the two source files of the
// parameter-file module (pf.cpp: text, files and tree changes; pf_param.cpp: typed
// reading). Not for callers: they see Pf as an opaque type through base/pf.h.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// The keys of one array that readers asked for, present or not, shared by the array and
// every copy of it (pfdup), so that reading a copy counts for the array it came from.
// `whole`: a reader took every entry (the keys are data, not names of settings).
struct PfAsked {
  std::mutex mutex;            // guards both fields: copies may be read on other threads
  std::set<std::string> keys;  // guarded by mutex
  bool whole = false;          // guarded by mutex
};

struct Pf {
  int kind = 0;                                    // PfKind
  std::string text;                                // PFSTRING
  std::vector<std::unique_ptr<Pf>> list;           // PFTBL
  std::map<std::string, std::unique_ptr<Pf>> arr;  // PFARR, PFFILE: byte order of keys
  // Where the node was read: the line of its key (0 when built, not read) and the file
  // (none for a text or stream). Kept by copies.
  int line = 0;
  std::shared_ptr<const std::string> file;
  std::shared_ptr<PfAsked> asked;  // PFARR, PFFILE: made on first use, kept by copies
};

namespace pfint {

inline bool is_array(const Pf *pf) { return pf != nullptr && (pf->kind == 3 || pf->kind == 4); }

// The value of `key` in an array node, or the element at a decimal index of a list node;
// none when absent.
Pf *lookup(const Pf *pf, const char *key);

enum FindResult { FOUND, NOT_FOUND, FIND_ERROR };

// Reads the files that pfread reads for `name` into one tree in *out. NOT_FOUND when there
// is none, FIND_ERROR when one can't be read or (with *syntax set) its text is refused;
// the reason is registered with `who` as its prefix.
FindResult read_files(const char *name, const char *who, std::unique_ptr<Pf> *out, bool *syntax);

// Notes that a reader asked `pf` (an array) for `key`; with `whole`, that it took every
// entry. Nothing for other nodes.
void note_asked(Pf *pf, const char *key, bool whole = false);

// "'file' line N: ", "line N: " or "" for where node `v` was read.
std::string where(const Pf *v);

// Conversions shared by parse_param and the pfget_ shorthands. Each returns false when
// the text is not of the kind.
bool to_long_ranged(const std::string &text, long long dec_min, long long dec_max,
                    unsigned long long hex_max, long long *out);
bool to_double(const std::string &text, double *out);
bool to_boolean(const std::string &text, int *out);

}  // namespace pfint
