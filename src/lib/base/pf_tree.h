// pf_tree.h - the node of a parameter-file tree, shared by the two source files of the
// parameter-file module (pf.cpp: text, files and tree changes; pf_param.cpp: typed
// reading). Not for callers: they see Pf as an opaque type through base/pf.h.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

struct Pf {
  int kind = 0;                                    // PfKind
  std::string text;                                // PFSTRING
  std::vector<std::unique_ptr<Pf>> list;           // PFTBL
  std::map<std::string, std::unique_ptr<Pf>> arr;  // PFARR, PFFILE: byte order of keys
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

// Conversions shared by parse_param and the pfget_ shorthands. Each returns false when
// the text is not of the kind.
bool to_long_ranged(const std::string &text, long long dec_min, long long dec_max,
                    unsigned long long hex_max, long long *out);
bool to_double(const std::string &text, double *out);
bool to_boolean(const std::string &text, int *out);

}  // namespace pfint
