// pf.cpp - parameter-file trees: reading text, files and streams, writing the canonical
// text, and changing trees. The text form and the ownership rules are in pf.h.

#include "base/pf.h"

#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

#include "base/arr.h"
#include "base/elog.h"
#include "base/oom.h"
#include "base/pf_text.h"
#include "base/pf_tree.h"
#include "base/readfile.h"
#include "base/tbl.h"

namespace {

using namespace pftext;

[[noreturn]] void pf_oom() { OUT_OF_MEMORY(sizeof(Pf), "parameter file"); }

bool all_blank(std::string_view s) { return trim(s).empty(); }

// A byte that no parameter-file text may hold: control characters other than tab and
// newline, and DEL.
bool is_binary(unsigned char c) { return (c < 0x20 && c != '\t' && c != '\n') || c == 0x7f; }

std::unique_ptr<Pf> make_node(int kind, std::string text = std::string()) {
  auto node = std::make_unique<Pf>();
  node->kind = kind;
  node->text = std::move(text);
  if (kind == PFARR || kind == PFFILE) node->asked = std::make_shared<PfAsked>();
  return node;
}

// --- literal blocks -------------------------------------------------------------------

// Scans a literal whose opening brace is followed by `first` (the rest of its line) and
// then by lines[from...]. The block ends at the first '}' that is the last non-blank byte
// of its line and brings the brace count to zero or below. On success *value is the text
// and *end the segment holding the closing brace (0: the opening line, k: lines[from+k-1]);
// false when the lines run out first.
bool scan_literal(std::string_view first, const std::vector<std::string_view> &lines, size_t from,
                  std::string_view indent, std::string *value, size_t *end) {
  long depth = 1;
  std::string out;
  bool have_line = false;
  for (size_t k = 0;; k++) {
    std::string_view seg;
    if (k == 0) {
      seg = first;
    } else {
      if (from + k - 1 >= lines.size()) return false;
      seg = lines[from + k - 1];
    }
    size_t close = pf_literal_close(seg, &depth);
    bool closing = close != std::string_view::npos;
    std::string_view piece = closing ? seg.substr(0, close) : seg;
    // The rest of the opening line and what precedes the closing brace count only when
    // they hold more than blanks.
    bool keep = !((k == 0 || closing) && all_blank(piece));
    if (keep) {
      if (k != 0 && !indent.empty() && piece.starts_with(indent))
        piece.remove_prefix(indent.size());
      if (have_line) out += '\n';
      out.append(piece);
      have_line = true;
    }
    if (closing) {
      *value = std::move(out);
      *end = k;
      return true;
    }
  }
}

// --- reading --------------------------------------------------------------------------

struct ParseError {
  int line = 0;
  std::string what;
};

// Copies `text` with CR LF turned into LF, checking bytes and line lengths, and splits it
// into lines (views into *storage).
bool split_lines(const char *text, std::string *storage, std::vector<std::string_view> *lines,
                 ParseError *err) {
  storage->clear();
  int line = 1;
  size_t line_len = 0;
  for (const char *p = text; *p != '\0'; p++) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\r' && p[1] == '\n') continue;
    if (is_binary(c)) {
      char buf[64];
      snprintf(buf, sizeof buf, "binary byte 0x%02x", c);
      *err = {line, buf};
      return false;
    }
    if (c == '\n') {
      line++;
      line_len = 0;
    } else if (++line_len > PF_MAX_LINE) {
      *err = {line, "line longer than " + std::to_string(PF_MAX_LINE) + " bytes"};
      return false;
    }
    storage->push_back(static_cast<char>(c));
  }
  std::string_view all(*storage);
  size_t start = 0;
  while (start < all.size()) {
    size_t nl = all.find('\n', start);
    if (nl == std::string_view::npos) nl = all.size();
    lines->push_back(all.substr(start, nl - start));
    start = nl + 1;
  }
  return true;
}

struct Frame {
  Pf *node;
  int open_line;
  std::string_view opener;
};

void attach(Pf *parent, const std::string &key, std::unique_ptr<Pf> child, int line,
            const std::shared_ptr<const std::string> &file) {
  child->line = line;
  child->file = file;
  if (parent->kind == PFTBL) {
    parent->list.push_back(std::move(child));
  } else {
    parent->arr[key] = std::move(child);
  }
}

bool parse_lines(const std::vector<std::string_view> &lines, Pf *root,
                 const std::shared_ptr<const std::string> &file, ParseError *err) {
  std::vector<Frame> frames{{root, 0, ""}};
  for (size_t i = 0; i < lines.size(); i++) {
    int lineno = static_cast<int>(i + 1);
    std::string_view raw = lines[i];
    std::string_view t = trim(raw);
    if (t.empty() || t[0] == '#') continue;
    Pf *node = frames.back().node;
    if (t[0] == '}') {
      if (!blank_or_comment(t.substr(1))) {
        *err = {lineno, "text after '}'"};
        return false;
      }
      if (frames.size() == 1) {
        *err = {lineno, "'}' closes no block"};
        return false;
      }
      frames.pop_back();
      continue;
    }
    std::string key;
    std::string_view rest = t;
    if (node->kind != PFTBL) {
      if (t[0] == '"') {
        size_t q = t.find('"', 1);
        if (q == std::string_view::npos || (q + 1 < t.size() && !is_blank(t[q + 1]))) {
          *err = {lineno, "a quoted key needs its closing '\"' and a blank after it"};
          return false;
        }
        key = std::string(t.substr(1, q - 1));
        rest = trim(t.substr(q + 1));
      } else {
        size_t e = t.find_first_of(" \t");
        if (e == std::string_view::npos) e = t.size();
        if (starts_with_opener(t)) {
          *err = {lineno, "a block inside an array needs a key"};
          return false;
        }
        key = std::string(t.substr(0, e));
        rest = trim(t.substr(e));
      }
    }
    if (rest.starts_with(kArrOpen) || rest.starts_with(kTblOpen)) {
      std::string_view opener = rest.starts_with(kArrOpen) ? kArrOpen : kTblOpen;
      if (!blank_or_comment(rest.substr(opener.size()))) {
        *err = {lineno, "text after '" + std::string(opener) + "'"};
        return false;
      }
      if (frames.size() - 1 >= PF_MAX_DEPTH) {
        *err = {lineno, "blocks nested deeper than " + std::to_string(PF_MAX_DEPTH)};
        return false;
      }
      auto child = make_node(opener == kArrOpen ? PFARR : PFTBL);
      Pf *raw_child = child.get();
      attach(node, key, std::move(child), lineno, file);
      frames.push_back({raw_child, lineno, opener});
      continue;
    }
    if (rest.starts_with(kLitOpen)) {
      size_t off = static_cast<size_t>(rest.data() - raw.data()) + kLitOpen.size();
      size_t ind = raw.find_first_not_of(" \t");
      std::string value;
      size_t end = 0;
      if (!scan_literal(raw.substr(off), lines, i + 1, raw.substr(0, ind), &value, &end)) {
        *err = {static_cast<int>(lines.size()),
                "&Literal{ opened at line " + std::to_string(lineno) + " is not closed"};
        return false;
      }
      i += end;
      attach(node, key, make_node(PFSTRING, std::move(value)), lineno, file);
      continue;
    }
    attach(node, key, make_node(PFSTRING, std::string(unquote(rest))), lineno, file);
  }
  if (frames.size() > 1) {
    const Frame &f = frames.back();
    *err = {static_cast<int>(lines.size()), std::string(f.opener) + " opened at line " +
                                                std::to_string(f.open_line) + " is not closed"};
    return false;
  }
  return true;
}

// Parses `text` into a new tree; on failure registers "<who>: <where>line N: <reason>".
// The nodes remember `path` (none for a text or stream) and their line.
std::unique_ptr<Pf> parse_text(const char *text, const char *who, const std::string &where,
                               const std::string *path = nullptr) {
  try {
    std::string storage;
    std::vector<std::string_view> lines;
    ParseError err;
    auto root = make_node(PFFILE);
    if (path != nullptr) root->file = std::make_shared<const std::string>(*path);
    if (split_lines(text, &storage, &lines, &err) &&
        parse_lines(lines, root.get(), root->file, &err)) {
      return root;
    }
    elog_log(0, "%s: %sline %d: %s\n", who, where.c_str(), err.line, err.what.c_str());
    return nullptr;
  } catch (const std::bad_alloc &) {
    pf_oom();
  }
}

// Reads a whole stream; false (after registering why) on a read error.
bool read_stream(FILE *f, std::string *out, const char *who, const std::string &where) {
  if (readfile_stream(f, out) != 0) {
    elog_log(1, "%s: %sread error\n", who, where.c_str());
    return false;
  }
  return true;
}

// The text holds a NUL: parse only what comes before it would silently drop the rest.
bool check_nul(const std::string &text, const char *who, const std::string &where) {
  size_t z = text.find('\0');
  if (z == std::string::npos) return true;
  int line = 1;
  for (size_t i = 0; i < z; i++) line += text[i] == '\n';
  elog_log(0, "%s: %sline %d: binary byte 0x00\n", who, where.c_str(), line);
  return false;
}

// The files that pfread reads for `name`, in reading order.
pfint::FindResult find_files(const char *name, std::vector<std::string> *files, const char *who) {
  std::string base(name);
  if (!base.ends_with(".pf")) base += ".pf";
  std::vector<std::string> candidates;
  if (base.find('/') != std::string::npos) {
    candidates.push_back(base);
  } else {
    const char *env = getenv("PFPATH");
    std::string path = env != nullptr && *env != '\0' ? env : ".";
    size_t start = 0;
    while (true) {
      size_t colon = path.find(':', start);
      std::string dir =
          path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
      candidates.push_back((dir.empty() ? std::string(".") : dir) + "/" + base);
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }
  for (const auto &c : candidates) {
    struct stat st;
    if (stat(c.c_str(), &st) != 0) {
      if (errno == ENOENT || errno == ENOTDIR) continue;
      elog_log(1, "%s: can't look at '%s'\n", who, c.c_str());
      return pfint::FIND_ERROR;
    }
    if (!S_ISREG(st.st_mode)) {
      elog_log(0, "%s: '%s' is not a regular file\n", who, c.c_str());
      return pfint::FIND_ERROR;
    }
    files->push_back(c);
  }
  if (files->empty()) {
    const char *env = getenv("PFPATH");
    elog_log(0, "%s: can't find '%s' (PFPATH '%s')\n", who, base.c_str(),
             env != nullptr ? env : "");
    return pfint::NOT_FOUND;
  }
  return pfint::FOUND;
}

}  // namespace

pfint::FindResult pfint::read_files(const char *name, const char *who, std::unique_ptr<Pf> *out,
                                    bool *syntax) {
  *syntax = false;
  std::vector<std::string> files;
  FindResult r = find_files(name, &files, who);
  if (r != FOUND) return r;
  auto merged = make_node(PFFILE);
  for (const auto &path : files) {
    std::string where = "'" + path + "' ";
    FILE *f = fopen(path.c_str(), "r");
    if (f == nullptr) {
      elog_log(1, "%s: can't open '%s'\n", who, path.c_str());
      return FIND_ERROR;
    }
    std::string text;
    bool ok = read_stream(f, &text, who, where);
    fclose(f);
    if (!ok) return FIND_ERROR;
    std::unique_ptr<Pf> tree;
    if (check_nul(text, who, where)) tree = parse_text(text.c_str(), who, where, &path);
    if (!tree) {
      *syntax = true;
      return FIND_ERROR;
    }
    for (auto &kv : tree->arr) merged->arr[kv.first] = std::move(kv.second);
    merged->file = tree->file;
  }
  *out = std::move(merged);
  return FOUND;
}

namespace {

// --- writing --------------------------------------------------------------------------

struct Writer {
  std::string out;
  std::string err;
};

bool has_binary(std::string_view s) {
  for (unsigned char c : s)
    if (is_binary(c)) return true;
  return false;
}

bool key_needs_quotes(const std::string &k) {
  return k.empty() || k.find_first_of(" \t") != std::string::npos || k[0] == '"' || k[0] == '#' ||
         k[0] == '}' || starts_with_opener(k);
}

bool write_key(Writer *w, const std::string &key) {
  if (key.find('\n') != std::string::npos || has_binary(key)) {
    w->err = "key '" + key + "' holds a control character";
    return false;
  }
  if (!key_needs_quotes(key)) {
    w->out += key;
    return true;
  }
  if (key.find('"') != std::string::npos) {
    w->err = "key '" + key + "' needs quotes and holds '\"'";
    return false;
  }
  w->out += '"';
  w->out += key;
  w->out += '"';
  return true;
}

bool value_needs_quotes(const std::string &s, bool in_list) {
  if (s.empty()) return in_list;
  if (is_blank(s.front()) || is_blank(s.back()) || starts_with_opener(s)) return true;
  if (s.size() >= 2 && s.front() == '"' && s.back() == '"') return true;
  return in_list && (s[0] == '#' || s[0] == '}');
}

// Writes the body of a literal for the multi-line text `s` (the lines and the closing
// brace), choosing a layout that reads back to `s`.
bool write_literal_body(Writer *w, const std::string &s) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t nl = s.find('\n', start);
    parts.push_back(s.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
  for (const auto &p : parts) {
    if (has_binary(p)) {
      w->err = "a text holds a control character";
      return false;
    }
  }
  // Layout 1: every line, then "}" alone. Layout 2: the last line ends with the brace.
  for (int layout = 1; layout <= 2; layout++) {
    std::vector<std::string> cand(parts);
    if (layout == 1) {
      cand.push_back("}");
    } else {
      if (all_blank(cand.back())) break;
      cand.back() += "}";
    }
    std::vector<std::string_view> views(cand.begin(), cand.end());
    std::string value;
    size_t end = 0;
    if (scan_literal("", views, 0, "", &value, &end) && end == views.size() && value == s) {
      for (const auto &c : cand) {
        w->out += c;
        w->out += '\n';
      }
      return true;
    }
  }
  w->err = "a multi-line text whose braces would end its &Literal{ early";
  return false;
}

bool write_content(Writer *w, const Pf *node);

// One entry: `key` for an array member, none for a list element.
bool write_entry(Writer *w, const std::string *key, const Pf *v) {
  if (key != nullptr) {
    if (!write_key(w, *key)) return false;
  }
  auto open = [&](std::string_view opener) {
    if (key != nullptr) w->out += ' ';
    w->out += opener;
    w->out += '\n';
  };
  switch (v->kind) {
    case PFARR:
    case PFFILE:
    case PFTBL:
      open(v->kind == PFTBL ? kTblOpen : kArrOpen);
      if (!write_content(w, v)) return false;
      w->out += "}\n";
      return true;
    case PFSTRING:
      break;
    default:
      w->err = "a node of unknown kind";
      return false;
  }
  const std::string &s = v->text;
  if (s.find('\n') != std::string::npos) {
    open(kLitOpen);
    return write_literal_body(w, s);
  }
  if (has_binary(s)) {
    w->err = "a text holds a control character";
    return false;
  }
  bool in_list = key == nullptr;
  if (s.empty() && !in_list) {
    w->out += '\n';
    return true;
  }
  if (!in_list) w->out += ' ';
  bool quote = value_needs_quotes(s, in_list);
  if (quote) w->out += '"';
  w->out += s;
  if (quote) w->out += '"';
  w->out += '\n';
  return true;
}

bool write_content(Writer *w, const Pf *node) {
  if (node->kind == PFTBL) {
    for (const auto &e : node->list)
      if (!write_entry(w, nullptr, e.get())) return false;
  } else {
    for (const auto &kv : node->arr)
      if (!write_entry(w, &kv.first, kv.second.get())) return false;
  }
  return true;
}

// --- changing trees -------------------------------------------------------------------

std::unique_ptr<Pf> dup_node(const Pf *pf) {
  auto copy = make_node(pf->kind, pf->text);
  copy->line = pf->line;
  copy->file = pf->file;
  if (pf->asked) copy->asked = pf->asked;
  copy->list.reserve(pf->list.size());
  for (const auto &e : pf->list) copy->list.push_back(dup_node(e.get()));
  for (const auto &kv : pf->arr) copy->arr.emplace(kv.first, dup_node(kv.second.get()));
  return copy;
}

// The list index that `key` names (digits only), or -1.
long list_index(const char *key) {
  if (key == nullptr || *key == '\0' || strlen(key) > 15) return -1;
  long idx = 0;
  for (const char *p = key; *p != '\0'; p++) {
    if (*p < '0' || *p > '9') return -1;
    idx = idx * 10 + (*p - '0');
  }
  return idx;
}

int put_node(const char *who, Pf *pf, const char *key, std::unique_ptr<Pf> node) {
  if (key == nullptr) {
    elog_log(0, "%s: no key\n", who);
    return -1;
  }
  if (pfint::is_array(pf)) {
    pf->arr[key] = std::move(node);
    return 0;
  }
  if (pf != nullptr && pf->kind == PFTBL) {
    long idx = list_index(key);
    long n = static_cast<long>(pf->list.size());
    if (idx < 0 || idx > n) {
      elog_log(0, "%s: '%s' is no index of a list of %ld\n", who, key, n);
      return -1;
    }
    if (idx == n) {
      pf->list.push_back(std::move(node));
    } else {
      pf->list[static_cast<size_t>(idx)] = std::move(node);
    }
    return 0;
  }
  elog_log(0, "%s: can't store '%s': not an array or a list\n", who, key);
  return -1;
}

int put_text(const char *who, Pf *pf, const char *key, std::string text) {
  try {
    return put_node(who, pf, key, make_node(PFSTRING, std::move(text)));
  } catch (const std::bad_alloc &) {
    pf_oom();
  }
}

}  // namespace

// --- the interface --------------------------------------------------------------------

void pfint::note_asked(Pf *pf, const char *key, bool whole) {
  if (!is_array(pf) || !pf->asked || key == nullptr) return;
  try {
    std::lock_guard<std::mutex> hold(pf->asked->mutex);
    if (whole) {
      pf->asked->whole = true;
    } else {
      pf->asked->keys.insert(key);
    }
  } catch (const std::bad_alloc &) {
    pf_oom();
  }
}

std::string pfint::where(const Pf *v) {
  if (v == nullptr) return "";
  std::string w;
  if (v->file) w = "'" + *v->file + "' ";
  if (v->line > 0) w += "line " + std::to_string(v->line) + " ";
  if (!w.empty()) w.back() = ':', w += ' ';
  return w;
}

Pf *pfint::lookup(const Pf *pf, const char *key) {
  if (pf == nullptr || key == nullptr) return nullptr;
  if (is_array(pf)) {
    auto it = pf->arr.find(key);
    return it == pf->arr.end() ? nullptr : it->second.get();
  }
  if (pf->kind == PFTBL) {
    long idx = list_index(key);
    if (idx < 0 || idx >= static_cast<long>(pf->list.size())) return nullptr;
    return pf->list[static_cast<size_t>(idx)].get();
  }
  return nullptr;
}

Pf *pfnew(int kind) {
  switch (kind) {
    case PFFILE:
    case PFARR:
    case PFTBL:
    case PFSTRING:
      try {
        return make_node(kind).release();
      } catch (const std::bad_alloc &) {
        pf_oom();
      }
    default:
      elog_log(0, "pfnew: unknown kind %d\n", kind);
      return nullptr;
  }
}

void pffree(Pf *pf) { delete pf; }

Pf *pfdup(const Pf *pf) {
  if (pf == nullptr) return nullptr;
  try {
    return dup_node(pf).release();
  } catch (const std::bad_alloc &) {
    pf_oom();
  }
}

int pfcompile(const char *text, Pf **pf) {
  if (pf == nullptr) {
    elog_log(0, "pfcompile: no place for the result\n");
    return -1;
  }
  *pf = parse_text(text != nullptr ? text : "", "pfcompile", "").release();
  return *pf != nullptr ? 0 : -1;
}

int pfin(FILE *stream, Pf **pf) {
  if (pf == nullptr || stream == nullptr) {
    elog_log(0, "pfin: no stream or no place for the result\n");
    if (pf != nullptr) *pf = nullptr;
    return -1;
  }
  *pf = nullptr;
  std::string text;
  try {
    if (!read_stream(stream, &text, "pfin", "") || !check_nul(text, "pfin", "")) return -1;
  } catch (const std::bad_alloc &) {
    pf_oom();
  }
  *pf = parse_text(text.c_str(), "pfin", "").release();
  return *pf != nullptr ? 0 : -1;
}

int pfread(const char *name, Pf **pf) {
  if (pf == nullptr || name == nullptr || *name == '\0') {
    elog_log(0, "pfread: no name or no place for the result\n");
    if (pf != nullptr) *pf = nullptr;
    return -1;
  }
  *pf = nullptr;
  try {
    std::unique_ptr<Pf> tree;
    bool syntax = false;
    if (pfint::read_files(name, "pfread", &tree, &syntax) != pfint::FOUND) return -1;
    *pf = tree.release();
    return 0;
  } catch (const std::bad_alloc &) {
    pf_oom();
  }
}

char *pf2string(const Pf *pf) {
  if (pf == nullptr) {
    elog_log(0, "pf2string: no tree\n");
    return nullptr;
  }
  try {
    Writer w;
    bool ok = true;
    if (pf->kind == PFSTRING) {
      w.out = pf->text;
    } else {
      ok = write_content(&w, pf);
    }
    if (ok && pf->kind != PFSTRING) {
      // Lines the reader would refuse.
      size_t start = 0;
      while (start < w.out.size()) {
        size_t nl = w.out.find('\n', start);
        if (nl == std::string::npos) nl = w.out.size();
        if (nl - start > PF_MAX_LINE) {
          w.err = "a line longer than " + std::to_string(PF_MAX_LINE) + " bytes";
          ok = false;
          break;
        }
        start = nl + 1;
      }
    }
    if (!ok) {
      elog_log(0, "pf2string: can't write %s\n", w.err.c_str());
      return nullptr;
    }
    char *result = static_cast<char *>(malloc(w.out.size() + 1));
    if (result == nullptr) OUT_OF_MEMORY(w.out.size() + 1, "parameter-file text");
    memcpy(result, w.out.c_str(), w.out.size() + 1);
    return result;
  } catch (const std::bad_alloc &) {
    pf_oom();
  }
}

int pfget(Pf *pf, const char *key, void **value) {
  pfint::note_asked(pf, key);
  Pf *v = pfint::lookup(pf, key);
  if (value != nullptr) {
    if (v == nullptr) {
      *value = nullptr;
    } else if (v->kind == PFSTRING) {
      *value = v->text.data();
    } else {
      *value = v;
    }
  }
  return v == nullptr ? PFINVALID : v->kind;
}

char *pfget_string(Pf *pf, const char *key) {
  pfint::note_asked(pf, key);
  Pf *v = pfint::lookup(pf, key);
  return v != nullptr && v->kind == PFSTRING ? v->text.data() : nullptr;
}

Tbl *pfget_tbl(Pf *pf, const char *key) {
  pfint::note_asked(pf, key);
  Pf *v = pfint::lookup(pf, key);
  if (v == nullptr || v->kind != PFTBL) return nullptr;
  Tbl *tbl = newtbl(static_cast<long>(v->list.size()));
  if (tbl == nullptr) return nullptr;
  for (const auto &e : v->list) {
    pushtbl(tbl, e->kind == PFSTRING ? static_cast<void *>(e->text.data()) : e.get());
  }
  return tbl;
}

Arr *pfget_arr(Pf *pf, const char *key) {
  pfint::note_asked(pf, key);
  Pf *v = pfint::lookup(pf, key);
  if (!pfint::is_array(v)) return nullptr;
  pfint::note_asked(v, "", true);
  Arr *arr = newarr(nullptr);
  if (arr == nullptr) return nullptr;
  for (const auto &kv : v->arr) {
    Pf *e = kv.second.get();
    setarr(arr, kv.first.c_str(), e->kind == PFSTRING ? static_cast<void *>(e->text.data()) : e);
  }
  return arr;
}

Tbl *pfkeys(Pf *pf) {
  if (!pfint::is_array(pf)) return nullptr;
  pfint::note_asked(pf, "", true);
  Tbl *tbl = newtbl(static_cast<long>(pf->arr.size()));
  if (tbl == nullptr) return nullptr;
  for (const auto &kv : pf->arr) pushtbl(tbl, const_cast<char *>(kv.first.c_str()));
  return tbl;
}

int pfput_string(Pf *pf, const char *key, const char *text) {
  if (text == nullptr) {
    elog_log(0, "pfput_string: no text for '%s'\n", key != nullptr ? key : "");
    return -1;
  }
  return put_text("pfput_string", pf, key, text);
}

int pfput_int(Pf *pf, const char *key, int value) {
  return put_text("pfput_int", pf, key, std::to_string(value));
}

int pfput_double(Pf *pf, const char *key, double value) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, value);
  return put_text("pfput_double", pf, key, std::string(buf, r.ptr));
}

int pfput_boolean(Pf *pf, const char *key, int value) {
  return put_text("pfput_boolean", pf, key, value ? "1" : "0");
}

int pfput_tbl(Pf *pf, const char *key, Tbl *tbl) {
  if (tbl == nullptr) {
    elog_log(0, "pfput_tbl: no list for '%s'\n", key != nullptr ? key : "");
    return -1;
  }
  try {
    auto node = make_node(PFTBL);
    long n = maxtbl(tbl);
    for (long i = 0; i < n; i++) {
      const char *s = static_cast<const char *>(gettbl(tbl, i));
      node->list.push_back(make_node(PFSTRING, s != nullptr ? s : ""));
    }
    return put_node("pfput_tbl", pf, key, std::move(node));
  } catch (const std::bad_alloc &) {
    pf_oom();
  }
}

int pfput_arr(Pf *pf, const char *key, Arr *arr) {
  if (arr == nullptr) {
    elog_log(0, "pfput_arr: no array for '%s'\n", key != nullptr ? key : "");
    return -1;
  }
  try {
    auto node = make_node(PFARR);
    Tbl *keys = keysarr(arr);
    long n = maxtbl(keys);
    for (long i = 0; i < n; i++) {
      const char *k = static_cast<const char *>(gettbl(keys, i));
      const char *s = static_cast<const char *>(getarr(arr, k));
      node->arr[k] = make_node(PFSTRING, s != nullptr ? s : "");
    }
    freetbl(keys, nullptr);
    return put_node("pfput_arr", pf, key, std::move(node));
  } catch (const std::bad_alloc &) {
    pf_oom();
  }
}

size_t pf_literal_close(std::string_view line, long *depth) {
  const size_t last = line.find_last_not_of(" \t");
  for (size_t i = 0; i < line.size(); i++) {
    if (line[i] == '{') {
      ++*depth;
    } else if (line[i] == '}') {
      --*depth;
      if (*depth <= 0 && i == last) return i;
    }
  }
  return std::string_view::npos;
}
