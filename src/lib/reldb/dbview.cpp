// dbview.cpp - views: making them over named tables (dbtbl2view), merging the members'
// key lists (addtbl), dropping a failed one, and view files (dbwrite_view, dbsave_view,
// dbread_view).
//
// A view file is a text header, then binary records:
//   "#View <name>\n"               the view's name ("View0" for a base table)
//   "#Database <path> <id>\n"      absolute descriptor path, id in the writing process
//   "#Table <name> <id>\n"         one per member table, in member order
//   "#\n"                          end of the header
// then per view record one Dbptr per member table, each 16 bytes:
//   offset 0  int32 database   (replaced by the reader's database id)
//   offset 4  int32 table      (replaced by the reader's number of the member)
//   offset 8  int32 field      (kept; dbALL -501 for a base table written as a view)
//   offset 12 int32 record     (kept; must be a record of the member, dbALL or dbNULL)
// every int32 least significant byte first. The reader trusts no number in the file: the
// ids are its own, and a record number outside its member refuses the file.
#include "reldb/dbview.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/littleendian.h"
#include "base/oom.h"
#include "base/paths.h"
#include "base/tbl.h"
#include "reldb/dbedit.h"
#include "reldb/dbinternal.h"

namespace {

Dbptr invalid() {
  Dbptr bad;
  return *dbinvalid(&bad);
}

bool is_range(const char *name) { return name && strstr(name, "::"); }

// A name that can stand in a schema and in a view file header: one word of printable
// characters.
bool printable_word(const std::string &name) {
  if (name.empty()) return false;
  for (unsigned char ch : name)
    if (!isgraph(ch)) return false;
  return true;
}

bool stream_is_stdin(FILE *file) { return fileno(file) == STDIN_FILENO; }

bool newer(const struct timespec &a, const struct timespec &b) {
  return a.tv_sec > b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec > b.tv_nsec);
}

// One header line, without its newline; false at the end of input. Lines longer than
// `limit` are cut there (the rest is read and dropped).
bool read_line(FILE *file, std::string *line, size_t limit = 1023) {
  line->clear();
  int ch;
  bool any = false;
  while ((ch = getc(file)) != EOF) {
    any = true;
    if (ch == '\n') return true;
    if (line->size() < limit) line->push_back((char)ch);
  }
  return any;
}

// "<word> <int>" after `prefix`; false when the line does not give both.
bool parse_name_number(const std::string &line, const char *prefix, std::string *name,
                       int *number) {
  size_t n = strlen(prefix);
  if (line.compare(0, n, prefix) != 0) return false;
  size_t a = line.find_first_not_of(' ', n);
  if (a == std::string::npos) return false;
  size_t b = line.find(' ', a);
  if (b == std::string::npos) return false;
  *name = line.substr(a, b - a);
  const char *digits = line.c_str() + b;
  char *end = nullptr;
  errno = 0;
  long v = strtol(digits, &end, 10);
  if (end == digits || errno || v < INT32_MIN || v > INT32_MAX) return false;
  *number = (int)v;
  return true;
}

// The header of a view file for the database of db and the given member relations.
std::string view_header(Database *d, const char *view_name,
                        const std::vector<Relation *> &members) {
  char *path = abspath(d->name);
  std::string header = std::string("#View ") + view_name + "\n#Database " +
                       (path ? path : d->name) + " " + std::to_string(d->id) + "\n";
  free(path);
  for (Relation *m : members)
    header += std::string("#Table ") + m->name + " " + std::to_string(m->id) + "\n";
  header += "#\n";
  return header;
}

}  // namespace

void addtbl(Tbl *merged, Tbl *keys) {
  for (long i = 0; i < maxtbl(keys); i++) {
    const char *k = static_cast<const char *>(gettbl(keys, i));
    if (!k) continue;
    bool present = false;
    long first_range = -1;
    for (long j = 0; j < maxtbl(merged); j++) {
      const char *m = static_cast<const char *>(gettbl(merged, j));
      if (m && strcmp(m, k) == 0) present = true;
      if (first_range < 0 && is_range(m)) first_range = j;
    }
    if (present) continue;
    if (is_range(k) || first_range < 0)
      pushtbl(merged, db_strdup(k));
    else
      instbl(merged, first_range, db_strdup(k));
  }
}

void dbview_drop(Dbptr view) {
  Database *d = nullptr;
  view.field = view.record = dbALL;
  if (dbresolve(view, &d, nullptr, nullptr, nullptr, nullptr, nullptr) != dbTABLE) return;
  Schema *s = d->schema;
  const char *name = static_cast<const char *>(gettbl(s->relation_names, view.table));
  std::string saved = name ? name : "";
  dbfree(view);
  for (long i = maxtbl(s->tablenames) - 1; i >= 0; i--) {
    char *t = static_cast<char *>(gettbl(s->tablenames, i));
    if (t && saved == t) free(deltbl(s->tablenames, i));
  }
  // The last relation made gives its number back, so that a failed operation leaves the
  // relation count as it found it.
  if (view.table == s->nrelations - 1 && maxtbl(s->relations) == s->nrelations) {
    poptbl(s->relations);
    poptbl(s->relation_names);
    if (d->tables && maxtbl(d->tables) == s->nrelations) poptbl(d->tables);
    s->nrelations--;
  }
}

Dbptr dbtbl2view(Dbptr db, const char *name, Tbl *tables) {
  db.table = db.field = db.record = dbALL;
  Database *d = nullptr;
  if (dbresolve(db, &d, nullptr, nullptr, nullptr, nullptr, nullptr) != dbDATABASE || !d) {
    elog_log(0, "can't create view without specifying database.\n");
    return invalid();
  }
  if (maxtbl(tables) == 0) {
    elog_log(0, "dbtbl2view: no tables for view\n");
    return invalid();
  }
  // Every member is looked up before the relation is made, so that a bad list leaves
  // nothing behind.
  std::vector<Relation *> members;
  int largest = 10;
  for (long i = 0; i < maxtbl(tables); i++) {
    const char *member = static_cast<const char *>(gettbl(tables, i));
    Dbptr t = member && *member ? dblookup(db, nullptr, member, nullptr, nullptr) : invalid();
    Relation *r = nullptr;
    if (t.table < 0 || dbresolve(t, nullptr, &r, nullptr, nullptr, nullptr, nullptr) != dbTABLE ||
        !r) {
      elog_log(0, "Invalid table name in dbtbl2view: '%s'\n", member ? member : "");
      return invalid();
    }
    int count = dbquery(t, dbRECORD_COUNT, nullptr);
    if (count > largest) largest = count;
    members.push_back(r);
  }
  Schema *s = d->schema;
  std::string relname = name && *name ? name : "View" + std::to_string(s->nrelations);
  if (!printable_word(relname)) {
    elog_log(0, "dbtbl2view: bad view name '%s'\n", relname.c_str());
    return invalid();
  }
  if (getarr(s->relation_arr, relname.c_str())) {
    elog_log(0, "dbtbl2view: a relation named '%s' exists already\n", relname.c_str());
    return invalid();
  }
  Relation *v = new_relation();
  db_settext(&v->name, relname.c_str());
  v->separator = 0;
  v->terminator = 0;
  v->transient = 1;
  v->has_refs = largest;
  v->fieldlist = db_newtbl(maxtbl(tables));
  v->primary = db_newtbl(4);
  v->alternate = db_newtbl(4);
  v->foreign = db_newtbl(4);
  for (Relation *m : members) {
    pushtbl(v->fieldlist, db_strdup(m->name));
    addtbl(v->primary, m->primary);
    addtbl(v->alternate, m->alternate);
    addtbl(v->foreign, m->foreign);
  }
  int added = dbadd_relation(s, v);
  Dbptr view = {d->id, v->id, dbALL, dbALL};
  if (added != 0) {
    dbview_drop(view);
    return invalid();
  }
  return view;
}

int dbwrite_view(Dbptr db, FILE *file) {
  db.field = db.record = dbALL;
  Database *d = nullptr;
  Relation *r = nullptr;
  Table *t = nullptr;
  if (!file || dbresolve(db, &d, &r, &t, nullptr, nullptr, nullptr) != dbTABLE || !r || !t) {
    elog_log(0, "Can't write view -- invalid db pointer.\n");
    return dbINVALID;
  }
  int count = dbquery(db, dbRECORD_COUNT, nullptr);
  if (count < 0) return dbINVALID;
  std::vector<Relation *> members;
  if (r->has_refs) {
    for (long i = 0; i < maxtbl(r->relrefs); i++)
      members.push_back(static_cast<Relref *>(gettbl(r->relrefs, i))->relation);
  } else {
    members.push_back(r);
  }
  std::string out = view_header(d, r->has_refs ? r->name : "View0", members);
  unsigned char word[4];
  auto put = [&](int32_t v) {
    le_put32(word, (uint32_t)v);
    out.append(reinterpret_cast<char *>(word), 4);
  };
  if (r->has_refs) {
    // Each member's Dbptr where the record holds it.
    for (int i = 0; i < count; i++) {
      const char *rec = t->data + (size_t)i * (size_t)r->size;
      for (long j = 0; j < maxtbl(r->relrefs); j++) {
        Relref *rr = static_cast<Relref *>(gettbl(r->relrefs, j));
        Dbptr p = {db.database, db.table, dbALL, i};
        if (rr->kind == RELREF_TABLE && rr->offset >= 0 && rr->offset + 16 <= r->size)
          memcpy(&p, rec + rr->offset, sizeof p);
        put(p.database);
        put(p.table);
        put(p.field);
        put(p.record);
      }
    }
  } else {
    for (int i = 0; i < count; i++) {
      put(db.database);
      put(db.table);
      put(dbALL);
      put(i);
    }
  }
  if (fwrite(out.data(), 1, out.size(), file) != out.size() || fflush(file) != 0) {
    if (r->has_refs)
      elog_log(1, "failed to write view %s", r->name);
    else
      elog_log(1, "failed to write view of table %s", r->name);
    return dbINVALID;
  }
  return 0;
}

int dbsave_view(Dbptr db) {
  db.field = db.record = dbALL;
  Relation *r = nullptr;
  if (dbresolve(db, nullptr, &r, nullptr, nullptr, nullptr, nullptr) != dbTABLE || !r ||
      !r->has_refs)
    return dbINVALID;
  char *target = nullptr;
  if (dbquery(db, dbTABLE_FILENAME, &target) < 0 || !target || !*target) {
    elog_log(0, "Can't open file %s to save view\n", target ? target : "");
    return dbINVALID;
  }
  std::string path = target;
  // Written beside the target and renamed over it: a reader sees the old view or the new
  // one, never half of one.
  std::string temp = path + ".XXXXXX";
  int fd = mkstemp(&temp[0]);
  FILE *file = fd >= 0 ? fdopen(fd, "w+") : nullptr;
  if (!file) {
    if (fd >= 0) close(fd);
    elog_log(1, "Can't open file %s to save view\n", path.c_str());
    return dbINVALID;
  }
  fchmod(fd, 0644);
  int written = dbwrite_view(db, file);
  if (fclose(file) != 0) {
    elog_log(1, "Couldn't close file for saved view in %s\n", path.c_str());
    written = dbINVALID;
  }
  if (written == 0 && rename(temp.c_str(), path.c_str()) != 0) {
    elog_log(1, "Can't open file %s to save view\n", path.c_str());
    written = dbINVALID;
  }
  if (written != 0) unlink(temp.c_str());
  return written == 0 ? 0 : dbINVALID;
}

int dbread_view(FILE *file, Dbptr *view, const char *name) {
  dbinvalid(view);
  if (!file) {
    elog_log(0, "Can't read input view\n");
    return dbINVALID;
  }
  struct stat fst;
  bool have_time = fstat(fileno(file), &fst) == 0;
  bool from_stdin = stream_is_stdin(file);

  std::string line;
  if (!read_line(file, &line)) {
    elog_log(0, "Can't read input view\n");
    return dbINVALID;
  }
  if (line.compare(0, 6, "#View ") != 0 || line.find_first_not_of(' ', 6) == std::string::npos) {
    elog_log(0, "input does not appear to be a view: \n  '%s'\n", line.c_str());
    return dbINVALID;
  }
  if (!read_line(file, &line)) {
    elog_log(0, "Can't read 2nd line from input view\n");
    return dbINVALID;
  }
  std::string dbname;
  int number = 0;
  if (!parse_name_number(line, "#Database ", &dbname, &number)) {
    elog_log(0, "Can't read database name from view input:\n  '%s'\n", line.c_str());
    return dbINVALID;
  }
  Dbptr db = {0, dbALL, dbALL, dbALL};
  db = dblookup(db, dbname.c_str(), nullptr, nullptr, nullptr);
  if (db.database < 0) {
    elog_log(0, "Can't open database %s\n", dbname.c_str());
    return dbINVALID;
  }

  Tbl *tables = db_newtbl(4);
  std::vector<int> counts, ids;
  int largest = 0;
  auto fail = [&]() {
    freetbl(tables, free);
    return dbINVALID;
  };
  while (read_line(file, &line)) {
    if (line.size() == 1 && line[0] == '#') break;
    std::string table;
    if (!parse_name_number(line, "#Table ", &table, &number)) {
      elog_log(0, "Can't read table name -- bad view format\n");
      return fail();
    }
    Dbptr t = dblookup(db, nullptr, table.c_str(), nullptr, nullptr);
    Table *tt = nullptr;
    if (t.table < 0 || dbresolve(t, nullptr, nullptr, &tt, nullptr, nullptr, nullptr) != dbTABLE ||
        !tt) {
      elog_log(0, "Invalid table name in dbtbl2view: '%s'\n", table.c_str());
      return fail();
    }
    struct stat tst;
    if (!from_stdin && have_time && tt->path && stat(tt->path, &tst) == 0 &&
        newer(tst.st_mtim, fst.st_mtim)) {
      elog_log(0, "Table %s (%s) has changed since the view was created.\n", table.c_str(),
               tt->path);
      return fail();
    }
    int count = dbquery(t, dbRECORD_COUNT, nullptr);
    if (count < 0) return fail();
    if (count > largest) largest = count;
    counts.push_back(count);
    ids.push_back(t.table);
    pushtbl(tables, db_strdup(table.c_str()));
  }
  if (maxtbl(tables) == 0) {
    elog_log(0, "No tables in view.\n");
    return fail();
  }
  Dbptr made = dbtbl2view(db, name, tables);
  freetbl(tables, free);
  if (made.table < 0) return dbINVALID;
  Relation *r = nullptr;
  Table *vt = nullptr;
  bool bases = dbresolve(made, nullptr, &r, &vt, nullptr, nullptr, nullptr) == dbTABLE && vt &&
               r->nrelrefs == (int)ids.size();
  for (size_t i = 0; bases && i < ids.size(); i++)
    bases = static_cast<Relref *>(gettbl(r->relrefs, (long)i))->relation->id == ids[i];
  if (!bases) {
    // A member that is itself a view widens the row beyond one Dbptr per line.
    elog_log(0, "dbread_view: a view member is not a base table\n");
    dbview_drop(made);
    return dbINVALID;
  }

  const size_t ntables = ids.size();
  const size_t rowsize = ntables * 16;
  std::vector<unsigned char> rows;
  rows.reserve(((size_t)largest + 1) * rowsize);
  unsigned char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0)
    rows.insert(rows.end(), buffer, buffer + got);
  size_t nrows = rows.size() / rowsize;
  bool garbage = rows.size() % rowsize != 0;
  if (nrows * rowsize > (size_t)INT32_MAX) {
    elog_log(0, "dbread_view: view too large\n");
    dbview_drop(made);
    return dbINVALID;
  }
  std::vector<Dbptr> data(nrows * ntables);
  for (size_t i = 0; i < nrows * ntables; i++) {
    const unsigned char *p = rows.data() + i * 16;
    size_t member = i % ntables;
    int record = (int32_t)le_get32(p + 12);
    if (!((record >= 0 && record < counts[member]) || record == dbALL || record == dbNULL)) {
      elog_log(0, "dbread_view: record %d is not a record of table %s\n", record,
               static_cast<Relref *>(gettbl(r->relrefs, (long)member))->relation->name);
      dbview_drop(made);
      return dbINVALID;
    }
    data[i] = {made.database, ids[member], (int32_t)le_get32(p + 8), record};
  }
  size_t bytes = data.size() * sizeof(Dbptr);
  size_t capacity = std::max(bytes, rowsize);
  char *block = static_cast<char *>(malloc(capacity));
  if (!block) OUT_OF_MEMORY(capacity, "data");
  if (bytes) memcpy(block, data.data(), bytes);
  free(vt->data);
  vt->data = block;
  vt->capacity = (int)capacity;
  vt->length = (uint32_t)bytes;
  vt->count = (int)nrows;
  if (garbage) {
    // A cut-off file is not the view that was written: nothing of it is kept.
    elog_log(0, "Extra garbage at end of input view\n");
    dbview_drop(made);
    return dbINVALID;
  }
  *view = made;
  return 0;
}
