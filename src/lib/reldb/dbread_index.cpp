// dbread_index.cpp - reading saved index files.
//
// An index file is a text header followed by the binary entries:
//   "#Index <token> <unique> <extra>\n"   the index name is the token from its first '#'
//   "#<key name>\n"                       one line per key name, in order
//   "#\n"                                 end of the header
// then the entries, each the jig's size bytes: the record number, then each component at
// its offset (32-bit ints and 64-bit doubles least significant byte first, texts as
// bytes, ranges as start, end, envelope). The entries may hold any byte, newlines and
// NULs included, so they are read as raw bytes, never as text lines. A file is refused
// (and the index built afresh by the caller) when its length is not a whole number of
// entries, its name does not fit its keys, a record number lies outside the table or the
// entries are out of order. Envelopes are recomputed rather than trusted. This system
// only reads index files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/littleendian.h"
#include "base/tbl.h"
#include "reldb/dbindex.h"
#include "reldb/dbinternal.h"

namespace {

// Largest index file read: entries are counted in 32-bit ints.
constexpr off_t kMaxIndexFile = 1L << 30;

bool read_file(const char *path, std::string *out) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxIndexFile;
  if (ok) {
    out->assign((size_t)st.st_size, '\0');
    size_t got = 0;
    while (got < out->size()) {
      ssize_t n = read(fd, &(*out)[got], out->size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += (size_t)n;
    }
    out->resize(got);
  }
  close(fd);
  return ok;
}

// Decodes one file entry into its in-memory form.
void decode_entry(const Jig *jig, const unsigned char *in, char *out) {
  memset(out, 0, (size_t)jig->size);
  int32_t record = (int32_t)le_get32(in);
  memcpy(out, &record, sizeof record);
  for (long i = 0; i < maxtbl(jig->components); i++) {
    const KeyComponent *c = static_cast<const KeyComponent *>(gettbl(jig->components, i));
    int at = c->offset;
    if (c->type == dbSTRING) {
      if (c->size > 1) memcpy(out + at, in + at, (size_t)c->size - 1);  // last byte stays NUL
    } else if (c->size == 4) {
      int32_t v = (int32_t)le_get32(in + at);
      memcpy(out + at, &v, sizeof v);
    } else if (c->size == 8) {
      double d = le_getf64(in + at);
      memcpy(out + at, &d, sizeof d);
    }
    // The envelope starts as the end; the envelope pass raises it.
    if (c->range_end) memcpy(out + at + c->size, out + at, (size_t)c->size);
  }
}

Tbl *split_keys(const std::string &text) {
  Tbl *keys = db_newtbl(4);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t nl = text.find('\n', pos);
    if (nl == std::string::npos) nl = text.size();
    pushtbl(keys, db_strdup(text.substr(pos, nl - pos).c_str()));
    pos = nl + 1;
  }
  return keys;
}

}  // namespace

Dbindex *dbread_index(Dbptr db, Table *table, const char *path) {
  db.field = dbALL;
  db.record = dbALL;
  struct stat ist, tst;
  if (!table || !table->path || stat(path, &ist) != 0 || stat(table->path, &tst) != 0)
    return nullptr;
  bool older =
      ist.st_mtim.tv_sec < tst.st_mtim.tv_sec ||
      (ist.st_mtim.tv_sec == tst.st_mtim.tv_sec && ist.st_mtim.tv_nsec < tst.st_mtim.tv_nsec);
  // Index files are only read: an out of date one is passed over and left in place.
  if (older) return nullptr;
  std::string data;
  if (!read_file(path, &data)) {
    elog_log(1, "dbread_index: can't read index file %s\n", path);
    return nullptr;
  }
  // Header: "#Index ..." then "#key" lines up to a line "#".
  size_t nl = data.find('\n');
  if (data.compare(0, 7, "#Index ") != 0 || nl == std::string::npos) {
    elog_log(0, "dbread_index: '%s' is not an index file\n", path);
    return nullptr;
  }
  std::string first = data.substr(7, nl - 7);
  std::string keytext;
  size_t pos = nl + 1;
  bool ended = false;
  while (pos < data.size() && data[pos] == '#') {
    size_t end = data.find('\n', pos);
    if (end == std::string::npos) break;
    if (end == pos + 1) {
      ended = true;
      pos = end + 1;
      break;
    }
    keytext += data.substr(pos + 1, end - pos - 1) + "\n";
    pos = end + 1;
  }
  char token[256];
  int unique = 0, extra = 0;
  if (!ended || keytext.empty() || first.size() >= 1024 ||
      sscanf(first.c_str(), "%255s %d %d", token, &unique, &extra) != 3 || !strchr(token, '#')) {
    elog_log(0, "dbread_index: bad header in index file %s\n", path);
    return nullptr;
  }
  Tbl *keys = split_keys(keytext);
  Jig *jig = nullptr;
  int made = dbmake_jig(db, keys, &jig);
  std::string name;
  if (made == 0) dbindex_name(db, keys, &name);
  freetbl(keys, free);
  if (made != 0) return nullptr;
  const char *file_name = strchr(token, '#');
  size_t body = data.size() - pos;
  int count = dbquery(db, dbRECORD_COUNT, nullptr);
  if (name != file_name || body % (size_t)jig->size != 0 || count < 0 ||
      body / (size_t)jig->size > (size_t)INT32_MAX) {
    elog_log(0, "dbread_index: index file %s does not match its keys\n", path);
    dbfree_jig(jig);
    return nullptr;
  }
  long n = (long)(body / (size_t)jig->size);
  Dbindex *index = new_dbindex();
  index->jig = jig;
  index->entries = inittbl(n > 0 ? n : 1, jig->size);
  std::vector<char> entry((size_t)jig->size);
  const unsigned char *raw = reinterpret_cast<const unsigned char *>(data.data()) + pos;
  bool bad = false;
  for (long i = 0; i < n && !bad; i++) {
    decode_entry(jig, raw + (size_t)i * (size_t)jig->size, entry.data());
    int32_t record;
    memcpy(&record, entry.data(), sizeof record);
    if (record < 0 || record >= count)
      bad = true;
    else
      addrtbl(index->entries, entry.data());
  }
  for (long i = 1; i < n && !bad; i++)
    if (dbcmp_sort(gettbl(index->entries, i - 1), gettbl(index->entries, i), index) > 0) bad = true;
  if (bad) {
    elog_log(0, "dbread_index: damaged index file %s\n", path);
    dbfree_index(index);
    return nullptr;
  }
  if (jig->range) dbfix_envelope(index);
  index->indexed = (int)n;
  index->unique = unique;
  index->extra = extra;
  index->name = db_strdup(file_name);
  index->file = db_strdup(path);
  Dbindex *old = static_cast<Dbindex *>(setarr(table->indexes, index->name, index));
  if (old && old != index) dbfree_index(old);
  return index;
}
