// q330_statestore.h - the state file as the restores read it: its top-level items and the
// block of each datalogger, parsed once at start-up into one compact buffer.
//
// The text is the parameter-file text of base/pf.h (keys and values, &Arr{, &Tbl{ and
// &Literal{ blocks, comments, quotes; the same refusals). It is read a line at a time and
// never held whole, and no node is allocated per item: each item becomes one entry in a
// buffer, so the store holds at most about twice the bytes of the file, whatever the file
// holds. Entry layout, entries one after the other:
//
// | Bytes                   | Meaning                                                    |
// |-------------------------|------------------------------------------------------------|
// | 1                       | kind: 'S' text, 'A' array, 'T' list                        |
// | key, 0                  | the key ("" in a list)                                     |
// | text, 0                 | 'S': the value                                             |
// | 4 (host order), body    | 'A', 'T': the body's length, then its entries              |
//
// Bounds: a top-level block (a datalogger's) of more than Q330_STATESTORE_BLOCK_MAX bytes
// of text is left out alone, with a complaint naming it; so are the blocks that would take
// the buffer past Q330_STATESTORE_MAX. Lookups follow the parameter-file rule: a later key
// of an array replaces an earlier one.
//
// Ownership and locking: the store belongs to whoever read it (q330_statestore_free);
// views and texts point into it. It is not changed after it is made, so any thread may
// read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

inline constexpr size_t Q330_STATESTORE_BLOCK_MAX = (size_t)1 << 20;  // 1 MiB of text
inline constexpr size_t Q330_STATESTORE_MAX = (size_t)56 << 20;       // 56 MiB of entries

struct Q330StateStore {
  std::string bytes;      // the top-level entries
  std::string time;       // the top-level "time" (the last one), also kept past the bound
  bool has_time = false;  // the text has one
};

// The entries of one array or list: a view into a store.
struct Q330StateNode {
  const char *p = nullptr;
  size_t n = 0;
};

// One decoded entry.
struct Q330StateEntry {
  char kind = 0;               // 'S', 'A' or 'T'
  const char *key = "";        // "" in a list
  const char *text = nullptr;  // 'S'
  Q330StateNode node;          // 'A', 'T'
};

enum Q330StateStoreResult {
  Q330_STATESTORE_OK = 0,
  Q330_STATESTORE_UNREADABLE = -1,  // cannot be opened or read (errno set)
  Q330_STATESTORE_BROKEN = -2,      // not parameter-file text (the reason, with the line
                                    // number, registered)
};

// Reads the file at `path` into a new store in *out (none unless Q330_STATESTORE_OK).
// Blocks left out are complained about, naming the file and the block.
int q330_statestore_read(const char *path, Q330StateStore **out);
// The same for a text in memory; `what` names it in complaints.
int q330_statestore_compile(const char *text, const char *what, Q330StateStore **out);
void q330_statestore_free(Q330StateStore *store);  // none: nothing

// The top-level entries of a store (an empty view for none).
Q330StateNode q330_statestore_root(const Q330StateStore *store);
// The entry at *pos of `node`, moving *pos past it. false at the end.
bool q330_statenode_next(Q330StateNode node, size_t *pos, Q330StateEntry *entry);
// The last entry of `node` with `key`. false when there is none.
bool q330_statenode_find(Q330StateNode node, const char *key, Q330StateEntry *entry);
// The text of `key`, or none when it is absent or not a text.
const char *q330_statenode_text(Q330StateNode node, const char *key);
// The array of `key` into *out; false when it is absent or not an array.
bool q330_statenode_array(Q330StateNode node, const char *key, Q330StateNode *out);
// The list of `key` into *out; false when it is absent or not a list.
bool q330_statenode_list(Q330StateNode node, const char *key, Q330StateNode *out);
// The number of entries of `node`.
size_t q330_statenode_count(Q330StateNode node);
// The offsets in `node` of its entries in ascending byte order of their keys, one per key
// (the last of equal ones). Offsets, not views, so that a node of many short entries
// costs little more than itself.
void q330_statenode_keys(Q330StateNode node, std::vector<uint32_t> *offsets);
