// q330_statestore.cpp - the state file parsed into one compact buffer (see the header).
#include "q330_statestore.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "base/elog.h"
#include "base/pf.h"
#include "base/pf_text.h"

namespace {

using namespace pftext;

// One line at a time from a stream, CR LF as LF, refusing the bytes and lengths that
// parameter-file text refuses.
struct LineReader {
  explicit LineReader(FILE *stream) : f(stream) {}
  FILE *f;
  int lineno = 0;
  std::string line;
  std::string why;  // the refusal, once one was made
  bool read_error = false;

  // false at the end of the text, or after a refusal or a read error.
  bool next() {
    line.clear();
    int c = getc_unlocked(f);
    if (c == EOF) {
      read_error = ferror(f) != 0;
      return false;
    }
    lineno++;
    for (; c != EOF && c != '\n'; c = getc_unlocked(f)) {
      if (c == '\r') {
        int d = getc_unlocked(f);
        if (d == '\n') break;
        if (d != EOF) ungetc(d, f);
      }
      auto u = static_cast<unsigned char>(c);
      if ((u < 0x20 && u != '\t') || u == 0x7f) {
        char buf[64];
        snprintf(buf, sizeof buf, "binary byte 0x%02x", u);
        why = buf;
        return false;
      }
      if (line.size() >= PF_MAX_LINE) {
        why = "line longer than " + std::to_string(PF_MAX_LINE) + " bytes";
        return false;
      }
      line.push_back(static_cast<char>(c));
    }
    if (c == EOF && ferror(f)) {
      read_error = true;
      return false;
    }
    return true;
  }
};

struct Frame {
  char kind;       // 'A' or 'T' (the root is an 'A')
  size_t len_pos;  // where its length goes; none for the root or a block left out
  int open_line;   // where it was opened
  std::string_view opener;
};

constexpr size_t NO_POS = static_cast<size_t>(-1);

// Builds the store from the lines of a reader.
struct Builder {
  Builder(LineReader &reader, const char *name, Q330StateStore &into)
      : in(reader), what(name), store(into) {}
  LineReader &in;
  const char *what;
  Q330StateStore &store;
  std::vector<Frame> frames;
  // The top-level block being read: where its entry starts, its name, its bytes of text,
  // and whether it is being left out.
  size_t block_start = 0;
  std::string block_name;
  size_t block_text = 0;
  bool block_out = false;
  bool full_told = false;

  std::string &bytes() { return store.bytes; }
  bool in_block() const { return frames.size() > 1; }

  // Leaves the current top-level block out (its entries so far are taken back).
  void leave_out(bool too_large) {
    if (block_out) return;
    block_out = true;
    bytes().resize(block_start);
    if (too_large)
      elog_complain(0, "Statefile %s: the block of %s is larger than %lu bytes - ignored\n", what,
                    block_name.c_str(), (unsigned long)Q330_STATESTORE_BLOCK_MAX);
    else
      elog_complain(0, "Statefile %s: the block of %s goes past the %lu bytes kept - ignored\n",
                    what, block_name.c_str(), (unsigned long)Q330_STATESTORE_MAX);
  }

  // Room for `need` more bytes in the buffer; false (the block left out) when there is none.
  bool room(size_t need) {
    if (in_block() && block_out) return false;
    if (bytes().size() + need <= Q330_STATESTORE_MAX) return true;
    if (in_block()) {
      leave_out(false);
    } else if (!full_told) {
      full_told = true;
      elog_complain(0, "Statefile %s: items past the %lu bytes kept - ignored\n", what,
                    (unsigned long)Q330_STATESTORE_MAX);
    }
    return false;
  }

  void put_text(std::string_view key, std::string_view text) {
    if (!in_block() && key == "time") {
      store.time.assign(text);
      store.has_time = true;
    }
    if (!room(key.size() + text.size() + 3)) return;
    std::string &b = bytes();
    b.push_back('S');
    b.append(key);
    b.push_back('\0');
    b.append(text);
    b.push_back('\0');
  }

  void open(char kind, std::string_view key, std::string_view opener) {
    if (!in_block()) {
      block_start = bytes().size();
      block_name.assign(key);
      block_text = in.line.size() + 1;
      block_out = false;
    }
    size_t pos = NO_POS;
    if (room(key.size() + 6)) {
      std::string &b = bytes();
      b.push_back(kind);
      b.append(key);
      b.push_back('\0');
      pos = b.size();
      b.append(4, '\0');
    }
    frames.push_back({kind, pos, in.lineno, opener});
  }

  void close() {
    Frame f = frames.back();
    frames.pop_back();
    // A block left out has no entries left to patch.
    if (f.len_pos == NO_POS || block_out) return;
    auto len = static_cast<uint32_t>(bytes().size() - f.len_pos - 4);
    memcpy(&bytes()[f.len_pos], &len, 4);
  }

  // Counts a line of a top-level block, leaving the block out once it is too large.
  void count_line(size_t n) {
    if (!in_block()) return;
    block_text += n + 1;
    if (block_text > Q330_STATESTORE_BLOCK_MAX) leave_out(true);
  }

  bool fail(const std::string &reason, int line) {
    elog_log(0, "q330_statestore_read: %s: line %d: %s\n", what, line, reason.c_str());
    return false;
  }

  // A literal whose opening brace is followed by `first`; the lines after it are read
  // from the reader. See base/pf.h for where it ends.
  bool literal(std::string_view key, std::string first, std::string indent) {
    long depth = 1;
    std::string out;
    bool have_line = false, dropped = in_block() && block_out;
    const int open_line = in.lineno;
    for (size_t k = 0;; k++) {
      std::string seg;
      if (k == 0) {
        seg = std::move(first);
      } else {
        if (!in.next()) {
          if (!in.why.empty()) return fail(in.why, in.lineno);
          if (in.read_error) return false;
          return fail("&Literal{ opened at line " + std::to_string(open_line) + " is not closed",
                      in.lineno);
        }
        count_line(in.line.size());
        seg = in.line;
      }
      size_t close_at = pf_literal_close(seg, &depth);
      bool closing = close_at != std::string_view::npos;
      std::string_view piece(seg);
      if (closing) piece = piece.substr(0, close_at);
      bool keep = !((k == 0 || closing) && trim(piece).empty());
      // A literal of a block left out, or one larger than a block may be, is only scanned.
      dropped = dropped || (in_block() && block_out);
      if (keep && !dropped) {
        if (k != 0 && !indent.empty() && piece.starts_with(indent))
          piece.remove_prefix(indent.size());
        if (have_line) out += '\n';
        out.append(piece);
        have_line = true;
        if (out.size() > Q330_STATESTORE_BLOCK_MAX) {
          dropped = true;
          std::string().swap(out);
          elog_complain(0, "Statefile %s: the text of %s is larger than %lu bytes - ignored\n",
                        what, std::string(key).c_str(), (unsigned long)Q330_STATESTORE_BLOCK_MAX);
        }
      }
      if (closing) {
        if (!dropped) put_text(key, out);
        return true;
      }
    }
  }

  bool line(std::string_view raw) {
    const int lineno = in.lineno;
    std::string_view t = trim(raw);
    if (t.empty() || t[0] == '#') return true;
    const char kind = frames.back().kind;
    if (t[0] == '}') {
      if (!blank_or_comment(t.substr(1))) return fail("text after '}'", lineno);
      if (frames.size() == 1) return fail("'}' closes no block", lineno);
      close();
      return true;
    }
    std::string_view key, rest = t;
    if (kind != 'T') {
      if (t[0] == '"') {
        size_t q = t.find('"', 1);
        if (q == std::string_view::npos || (q + 1 < t.size() && !is_blank(t[q + 1])))
          return fail("a quoted key needs its closing '\"' and a blank after it", lineno);
        key = t.substr(1, q - 1);
        rest = trim(t.substr(q + 1));
      } else {
        size_t e = t.find_first_of(" \t");
        if (e == std::string_view::npos) e = t.size();
        if (starts_with_opener(t)) return fail("a block inside an array needs a key", lineno);
        key = t.substr(0, e);
        rest = trim(t.substr(e));
      }
    }
    if (rest.starts_with(kArrOpen) || rest.starts_with(kTblOpen)) {
      std::string_view opener = rest.starts_with(kArrOpen) ? kArrOpen : kTblOpen;
      if (!blank_or_comment(rest.substr(opener.size())))
        return fail("text after '" + std::string(opener) + "'", lineno);
      if (frames.size() - 1 >= PF_MAX_DEPTH)
        return fail("blocks nested deeper than " + std::to_string(PF_MAX_DEPTH), lineno);
      open(opener == kArrOpen ? 'A' : 'T', key, opener);
      return true;
    }
    if (rest.starts_with(kLitOpen)) {
      size_t off = static_cast<size_t>(rest.data() - raw.data()) + kLitOpen.size();
      size_t ind = raw.find_first_not_of(" \t");
      return literal(key, std::string(raw.substr(off)), std::string(raw.substr(0, ind)));
    }
    put_text(key, unquote(rest));
    return true;
  }

  bool run() {
    frames.push_back({'A', NO_POS, 0, ""});
    while (in.next()) {
      count_line(in.line.size());
      // The key and text views point into in.line, which a literal reads over: it is
      // copied first.
      std::string raw = in.line;
      if (!line(raw)) return false;
    }
    if (!in.why.empty()) return fail(in.why, in.lineno);
    if (in.read_error) return false;
    if (frames.size() > 1) {
      const Frame &f = frames.back();
      return fail(std::string(f.opener) + " opened at line " + std::to_string(f.open_line) +
                      " is not closed",
                  in.lineno);
    }
    return true;
  }
};

int build(FILE *f, size_t size_hint, const char *what, Q330StateStore **out) {
  *out = nullptr;
  auto *store = new Q330StateStore;
  // Entries take at most about twice the text: reserved at once, so that the buffer is
  // never copied while it grows (pages not written cost nothing).
  store->bytes.reserve(std::min(size_hint * 2 + 64, Q330_STATESTORE_MAX));
  LineReader in(f);
  Builder b(in, what, *store);
  bool ok = b.run();
  if (!ok) {
    int err = errno;
    bool unreadable = in.read_error;
    delete store;
    if (unreadable) {
      errno = err;
      return Q330_STATESTORE_UNREADABLE;
    }
    return Q330_STATESTORE_BROKEN;
  }
  *out = store;
  return Q330_STATESTORE_OK;
}

bool decode(const char *p, size_t n, size_t *pos, Q330StateEntry *e) {
  if (*pos >= n) return false;
  const char *at = p + *pos;
  const char *end = p + n;
  e->kind = *at++;
  e->key = at;
  at += strlen(at) + 1;
  if (e->kind == 'S') {
    e->text = at;
    e->node = {};
    at += strlen(at) + 1;
  } else {
    uint32_t len = 0;
    memcpy(&len, at, 4);
    at += 4;
    e->text = nullptr;
    e->node = {at, len};
    at += len;
  }
  if (at > end) return false;
  *pos = static_cast<size_t>(at - p);
  return true;
}

}  // namespace

int q330_statestore_read(const char *path, Q330StateStore **out) {
  *out = nullptr;
  FILE *f = fopen(path, "re");
  if (f == nullptr) return Q330_STATESTORE_UNREADABLE;
  size_t size = 0;
  if (fseeko(f, 0, SEEK_END) == 0) {
    off_t end = ftello(f);
    if (end > 0) size = static_cast<size_t>(end);
    rewind(f);
  }
  int rc = build(f, size, path, out);
  int err = errno;
  fclose(f);
  errno = err;
  return rc;
}

int q330_statestore_compile(const char *text, const char *what, Q330StateStore **out) {
  *out = nullptr;
  size_t n = strlen(text);
  // fmemopen of an empty buffer is refused on some systems: an empty text is an empty store.
  if (n == 0) {
    *out = new Q330StateStore;
    return Q330_STATESTORE_OK;
  }
  FILE *f = fmemopen(const_cast<char *>(text), n, "r");
  if (f == nullptr) return Q330_STATESTORE_UNREADABLE;
  int rc = build(f, n, what, out);
  fclose(f);
  return rc;
}

void q330_statestore_free(Q330StateStore *store) { delete store; }

Q330StateNode q330_statestore_root(const Q330StateStore *store) {
  if (store == nullptr) return {};
  return {store->bytes.data(), store->bytes.size()};
}

bool q330_statenode_next(Q330StateNode node, size_t *pos, Q330StateEntry *entry) {
  return decode(node.p, node.n, pos, entry);
}

bool q330_statenode_find(Q330StateNode node, const char *key, Q330StateEntry *entry) {
  bool found = false;
  size_t pos = 0;
  Q330StateEntry e;
  while (decode(node.p, node.n, &pos, &e))
    if (strcmp(e.key, key) == 0) {
      *entry = e;
      found = true;
    }
  return found;
}

const char *q330_statenode_text(Q330StateNode node, const char *key) {
  Q330StateEntry e;
  return q330_statenode_find(node, key, &e) && e.kind == 'S' ? e.text : nullptr;
}

bool q330_statenode_array(Q330StateNode node, const char *key, Q330StateNode *out) {
  Q330StateEntry e;
  if (!q330_statenode_find(node, key, &e) || e.kind != 'A') return false;
  *out = e.node;
  return true;
}

bool q330_statenode_list(Q330StateNode node, const char *key, Q330StateNode *out) {
  Q330StateEntry e;
  if (!q330_statenode_find(node, key, &e) || e.kind != 'T') return false;
  *out = e.node;
  return true;
}

size_t q330_statenode_count(Q330StateNode node) {
  size_t n = 0, pos = 0;
  Q330StateEntry e;
  while (decode(node.p, node.n, &pos, &e)) n++;
  return n;
}

void q330_statenode_keys(Q330StateNode node, std::vector<uint32_t> *offsets) {
  offsets->clear();
  size_t pos = 0;
  Q330StateEntry e;
  for (size_t at = pos; decode(node.p, node.n, &pos, &e); at = pos)
    offsets->push_back(static_cast<uint32_t>(at));
  auto key = [&](uint32_t at) { return node.p + at + 1; };
  std::stable_sort(offsets->begin(), offsets->end(),
                   [&](uint32_t a, uint32_t b) { return strcmp(key(a), key(b)) < 0; });
  // Of equal keys the last one counts: it is the last of its run after the stable sort.
  size_t kept = 0;
  for (size_t i = 0; i < offsets->size(); i++) {
    if (i + 1 < offsets->size() && strcmp(key((*offsets)[i]), key((*offsets)[i + 1])) == 0)
      continue;
    (*offsets)[kept++] = (*offsets)[i];
  }
  offsets->resize(kept);
}
