// map_table.cpp - table files: where a table, schema or external file is found; opening,
// creating and mapping a table file (renewed whenever its size changes); the record-size
// check of a mapped file; in-memory tables; and the table locks of writers.
//
// The Table records belong to their Database (dbinternal.h) and are not locked: one
// thread at a time per database. dbtablepath and dbtblpaths hold a mutex of their own.
// Between processes, writers serialise with lockf on the table file (local locking) or on
// a lock file beside it (nfs locking).
#include <fcntl.h>
#include <limits.h>
#include <regex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/clock.h"
#include "base/elog.h"
#include "base/oom.h"
#include "base/paths.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "reldb/dbinternal.h"
#include "support/fsutil.h"

namespace {

std::string dir_of(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string take(char *text) {
  std::string s = text ? text : "";
  free(text);
  return s;
}

// One entry of a dbpath, with its {name} ending split off.
struct PathEntry {
  std::string dir;
  std::string sub;
};

std::vector<PathEntry> split_dbpath(const char *dbpath) {
  std::vector<PathEntry> out;
  std::string all = dbpath ? dbpath : "";
  size_t start = 0;
  for (;;) {
    size_t colon = all.find(':', start);
    std::string entry =
        all.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    PathEntry e;
    if (entry.size() > 3 && entry.back() == '}') {
      size_t brace = entry.rfind('{');
      if (brace != std::string::npos) {
        e.sub = entry.substr(brace + 1, entry.size() - brace - 2);
        entry.resize(brace);
        if (!entry.empty() && entry.back() == '/') entry.pop_back();
      }
    }
    e.dir = entry.empty() ? "." : entry;
    out.push_back(e);
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return out;
}

bool is_regular(const std::string &path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// DbAppendScope objects alive on this thread.
thread_local int append_scopes = 0;
// Tables that a mapping found of invalid length during the append running on this thread:
// the append is refused, and later mappings within it neither wait for the rest of the
// record again nor report it again.
thread_local std::vector<const Table *> refused_tables;

bool refused(const Table *table) {
  return append_scopes > 0 &&
         std::find(refused_tables.begin(), refused_tables.end(), table) != refused_tables.end();
}

}  // namespace

DbAppendScope::DbAppendScope() { append_scopes++; }
DbAppendScope::~DbAppendScope() {
  if (--append_scopes == 0) refused_tables.clear();
}

int find_path(const char *dbname, const char *table, const char *dbpath, std::string *path) {
  std::string name = dbname ? dbname : "";
  std::string fallback = name + "." + (table ? table : "");
  if (is_regular(fallback)) {
    *path = fallback;
    return 0;
  }
  size_t slash = name.rfind('/');
  std::string dir = slash == std::string::npos ? "" : name.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  if (dbpath && *dbpath) {
    for (const PathEntry &e : split_dbpath(dbpath)) {
      std::string file = (e.sub.empty() ? base : e.sub) + "." + table;
      std::string candidate = e.dir[0] == '/' ? e.dir + "/" + file : dir + e.dir + "/" + file;
      if (is_regular(candidate)) {
        *path = candidate;
        return 0;
      }
    }
  }
  *path = fallback;
  return -1;
}

void set_table_names(Database *database, Relation *relation, Table *table) {
  std::string found;
  find_path(database->name, relation->name, database->dbpath, &found);
  std::string path = take(cleanpath(found.c_str()));
  if (!table->path || path != table->path) {
    free(table->path);
    table->path = db_strdup(path.c_str());
  }
  std::string dir = dir_of(path);
  if (!table->tabledir || dir != table->tabledir) {
    free(table->tabledir);
    table->tabledir = db_strdup(dir.c_str());
  }
}

Table *init_table(Database *database, Relation *relation) {
  Table *table = new_table();
  table->name = relation->name;
  table->id = relation->id;
  table->relation = relation;
  if (!database->tables) database->tables = db_newtbl(relation->id + 1);
  settbl(database->tables, relation->id, table);
  return table;
}

int attempt_open_table(Database *database, Table *table, int create) {
  struct stat st;
  const bool rw = database->openperm && strcmp(database->openperm, "r+") == 0;
  if (stat(table->path, &st) == 0) {
    if (!S_ISREG(st.st_mode)) {
      elog_log(0, "%s is not a plain file.\n", table->path);
      return dbINVALID;
    }
    if (rw) {
      table->fd = open(table->path, O_RDWR | O_APPEND | O_SYNC | O_CLOEXEC);
      table->writable = table->fd >= 0;
      if (table->fd < 0) table->fd = open(table->path, O_RDONLY | O_APPEND | O_SYNC | O_CLOEXEC);
      if (table->fd < 0) {
        elog_log(1, "Can't open table '%s'\n", table->path);
        return dbINVALID;
      }
    } else {
      table->fd = open(table->path, O_RDONLY | O_APPEND | O_SYNC | O_CLOEXEC);
      table->writable = 0;
      if (table->fd < 0) {
        elog_log(1, "Can't open table %s\n", table->path);
        return dbINVALID;
      }
    }
    return 0;
  }
  if (errno != ENOENT) {
    elog_log(1, "Can't stat table %s\n", table->path);
    return dbINVALID;
  }
  if (!rw) {
    table->writable = 0;
    return 0;
  }
  const char *dir = table->tabledir ? table->tabledir : ".";
  if (!create) {
    table->writable = access(dir, W_OK) == 0;
    return 0;
  }
  if (database->locking == DBLOCK_LOCAL && is_nfs(dir) == 1) {
    elog_log(0, "DBLOCKS is set, but the filesystem for %s is nfs", dir);
    return dbINVALID;
  }
  table->fd = open(table->path, O_RDWR | O_APPEND | O_SYNC | O_CREAT | O_CLOEXEC, 0664);
  if (table->fd < 0) {
    elog_log(1, "Couldn't create table %s\n", table->path);
    return dbINVALID;
  }
  table->writable = 1;
  return 0;
}

// Marks a table file unusable: nothing mapped, no records, closed.
static void invalidate(Table *table) {
  table->length = 0;
  table->count = 0;
  table->writable = 0;
  if (table->fd >= 0) close(table->fd);
  table->fd = -1;
}

int remap_table(Database *database, Table *table, struct stat *st) {
  int result = 0;
  // The old mapping is resized in place when the file still holds records (a table that
  // grows by one record per append is not mapped anew each time); otherwise released.
  struct OldMapping {
    Table *table;
    int *result;
    char *data;
    size_t length;
    void release() {
      if (data && length && munmap(data, length) != 0) {
        elog_log(1, "Couldn't munmap %s\n", table->path);
        *result = dbINVALID;
      }
      data = nullptr;
    }
    ~OldMapping() { release(); }
  } old{table, &result, table->length ? table->data : nullptr, table->length};
  table->data = nullptr;
  table->length = 0;
  table->count = 0;
  const long long rsize = table->relation->size;
  long long size = st->st_size;
  if (rsize <= 0) {
    // A relation without fields has no records to map.
    if (size != 0) {
      elog_complain(0, "Table '%s' has invalid length %lu.\n", table->path, (unsigned long)size);
      invalidate(table);
      return dbINVALID;
    }
    return result;
  }
  if (size % rsize != 0 && append_scopes > 0 && database->locking != DBLOCK_NONE) {
    // The appender holds the lock and cuts the torn tail itself: map the whole records.
    // Without locking it may not cut, and waits for the rest of the record as a reader does.
    size -= size % rsize;
  }
  if (size % rsize != 0) {
    // A writer may be appending a record just now: wait a little for the rest of it,
    // unless the file has not changed for a minute.
    for (int tries = 0; tries < 100; tries++) {
      struct stat now;
      if (fstat(table->fd, &now) != 0) {
        elog_log(1, "stat of '%s' failed!\n", table->path);
        return dbINVALID;
      }
      size = now.st_size;
      if (size % rsize == 0) break;
      if (clock_now() - (double)now.st_mtime >= 60) break;
      clock_sleep(0.1);
    }
    if (size % rsize != 0) {
      elog_complain(0, "Table '%s' has invalid length %lu.\n", table->path, (unsigned long)size);
      invalidate(table);
      if (append_scopes > 0) refused_tables.push_back(table);
      return dbINVALID;
    }
  }
  // The length must fit the record's 32-bit counters and the address space.
  if (size > (long long)UINT32_MAX || (unsigned long long)size > (unsigned long long)SIZE_MAX ||
      size / rsize > INT_MAX) {
    elog_complain(0, "Table '%s' is too large to map (%lld bytes).\n", table->path, size);
    invalidate(table);
    return dbINVALID;
  }
  if (size == 0) {
    old.release();
    return result;
  }
  void *p = MAP_FAILED;
  if (old.data) {
    p = mremap(old.data, old.length, (size_t)size, MREMAP_MAYMOVE);
    if (p != MAP_FAILED) old.data = nullptr;
  }
  old.release();
  if (p == MAP_FAILED)
    p = mmap(nullptr, (size_t)size, PROT_READ | (table->writable ? PROT_WRITE : 0), MAP_SHARED,
             table->fd, 0);
  if (p == MAP_FAILED) {
    if (database->locking == DBLOCK_LOCAL && is_nfs(table->tabledir) == 1)
      elog_log(1, "DBLOCKS is local, but the filesystem for %s is nfs", table->path);
    else
      elog_log(1, "Can't mmap table '%s'.\n", table->path);
    return dbINVALID;
  }
  table->data = static_cast<char *>(p);
  table->length = (uint32_t)size;
  table->count = (int)(size / rsize);
  return result;
}

int map_table(Database *database, Relation *relation, int create) {
  Table *table =
      database->tables ? static_cast<Table *>(gettbl(database->tables, relation->id)) : nullptr;
  if (!table) {
    table = init_table(database, relation);
    if (relation->transient) set_table_names(database, relation, table);
  }
  if (relation->transient) {
    if (!table->data) {
      long long records = std::max(50, relation->has_refs);
      long long bytes = records * (relation->size > 0 ? relation->size : 1);
      if (bytes > INT_MAX) bytes = (long long)(relation->size > 0 ? relation->size : 1) * 50;
      table->data = static_cast<char *>(calloc(1, (size_t)bytes));
      if (!table->data) OUT_OF_MEMORY((size_t)bytes, "table->data");
      table->capacity = (int)bytes;
      table->writable = 1;
    }
    table->count = relation->size > 0 ? (int)(table->length / (uint32_t)relation->size) : 0;
    return 0;
  }
  int result = 0;
  if (table->fd < 0 && refused(table)) return dbINVALID;
  if (table->fd < 0) {
    set_table_names(database, relation, table);
    result = attempt_open_table(database, table, create);
    if (result < 0) return result;
  }
  if (table->fd >= 0) {
    struct stat st;
    if (fstat(table->fd, &st) != 0) {
      elog_log(1, "stat of '%s' failed!\n", table->path);
      return dbINVALID;
    }
    if ((unsigned long long)st.st_size != table->length || (st.st_size && !table->data))
      result = remap_table(database, table, &st);
  }
  return result;
}

int unmap_table(Database *database, Table *table) {
  if (table->length && table->data) {
    if (munmap(table->data, table->length) != 0)
      elog_complain(1, "lock routines couldn't munmap '%s'\n", table->path);
    if (table->fd >= 0 && fdatasync(table->fd) != 0)
      elog_complain(1, "fdatasync %s failed in lock routines", table->path);
  }
  table->length = 0;
  table->count = 0;
  table->data = nullptr;
  if (table->fd >= 0 && close(table->fd) != 0)
    elog_complain(1, "close(%s) failed in lock routines", table->path);
  table->fd = -1;
  return map_table(database, table->relation, 1);
}

char *dblockname(const char *path) {
  char *dir = nullptr, *base = nullptr;
  if (dirbase(path, &dir, &base) < 0) return nullptr;
  std::string name = std::string(dir) + "/.%" + base;
  free(dir);
  free(base);
  return db_strdup(name.c_str());
}

int mklockfile(const char *lockname) {
  struct stat st;
  if (stat(lockname, &st) != 0 && errno != ENOENT)
    elog_log(1, "Can't use the lock file '%s'", lockname);
  int fd = open(lockname, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) elog_log(1, "Can't open lock file '%s' for writing", lockname);
  return fd;
}

static int ensure_lockfile(Table *table) {
  if (!table->lockname) table->lockname = dblockname(table->path);
  if (table->lockfd < 0 && table->lockname) table->lockfd = mklockfile(table->lockname);
  return table->lockfd;
}

int _dblock(Database *database, Table *table) {
  // One change may lock the same table again (an insertion that checks keys and then
  // appends, an id row created inside the id allocation): only the outermost call takes
  // the file lock, and only the outermost _dbunlock releases it.
  if (database->locking != DBLOCK_NONE && table->lockdepth > 0) {
    table->lockdepth++;
    return 0;
  }
  switch (database->locking) {
    case DBLOCK_NONE:
      return 0;
    case DBLOCK_LOCAL:
      if (table->length && !table->data) return dbINVALID;
      if (table->fd < 0 || lseek(table->fd, 0, SEEK_SET) < 0 || lockf(table->fd, F_LOCK, 0) != 0) {
        if (is_nfs(table->tabledir) == 1)
          elog_log(1, "DBLOCKS is set, but the table %s is nfs", table->path);
        else
          elog_log(1, "Can't lock table '%s'\n", table->path);
        return dbINVALID;
      }
      table->lockdepth = 1;
      return 0;
    default: {
      int result = 0;
      if (ensure_lockfile(table) < 0) {
        elog_log(0, "no lock file '%s' to lock", table->lockname ? table->lockname : "");
      } else if (lseek(table->lockfd, 0, SEEK_SET) < 0 || lockf(table->lockfd, F_LOCK, 0) != 0) {
        elog_log(1, "_dblock can't lock lockfile '%s'\n", table->lockname);
        return dbINVALID;
      } else {
        table->lockdepth = 1;
      }
      // The table may have changed while we waited: map it afresh.
      unmap_table(database, table);
      return result;
    }
  }
}

int _dbunlock(Database *database, Table *table) {
  if (database->locking != DBLOCK_NONE && table->lockdepth > 1) {
    table->lockdepth--;
    return 0;
  }
  table->lockdepth = 0;
  switch (database->locking) {
    case DBLOCK_NONE:
      return 0;
    case DBLOCK_LOCAL:
      if (table->fd < 0 || lseek(table->fd, 0, SEEK_SET) < 0 || lockf(table->fd, F_ULOCK, 0) != 0) {
        elog_log(1, "Can't unlock table '%s' fd=%d\n", table->path, table->fd);
        return dbINVALID;
      }
      return 0;
    default:
      // Rows changed in the mapping reach the file before another process may read it.
      if (table->data && table->length && table->writable &&
          msync(table->data, table->length, MS_SYNC) != 0)
        elog_complain(1, "Can't write the changes of table '%s' to its file\n", table->path);
      if (ensure_lockfile(table) < 0) {
        elog_log(0, "no lock file '%s' to unlock", table->lockname ? table->lockname : "");
        return 0;
      }
      if (lseek(table->lockfd, 0, SEEK_SET) < 0 || lockf(table->lockfd, F_ULOCK, 0) != 0) {
        elog_log(1, "Can't unlock lockfile '%s' in _dbunlock fd=%d\n", table->lockname,
                 table->lockfd);
        return dbINVALID;
      }
      return 0;
  }
}

int find_schemafile(std::string *path, const char *name, const char *dbname) {
  path->clear();
  if (!name || !*name) return -1;
  if (is_regular(name)) {
    *path = name;
    return 0;
  }
  if (dbname && *dbname) {
    std::string candidate = dir_of(dbname) + "/" + name;
    if (is_regular(candidate)) {
      *path = candidate;
      return 0;
    }
  }
  std::string rel = std::string("schemas/") + name;
  char *found = datafile("SCHEMA_DIR", rel.c_str());
  if (found) {
    std::string candidate = take(found);
    if (is_regular(candidate)) {
      *path = candidate;
      return 0;
    }
  }
  return -1;
}

// The candidate paths of a table file, without a candidate equal to the one before it.
static std::vector<std::string> table_candidates(const char *dbname, const char *table,
                                                 const char *dbpath) {
  static std::mutex mutex;
  static regex_t pattern;
  static bool compiled = false;
  std::lock_guard<std::mutex> lock(mutex);
  if (!compiled) {
    if (regcomp_bounded(&pattern, "/\\{.*\\}$", REG_NOSUB, nullptr, 0) != 0)
      elog_die(0, "bad pattern in dbtablepath");
    compiled = true;
  }
  std::string name = dbname ? dbname : "";
  std::string tname = table ? table : "";
  std::vector<std::string> out{name + "." + tname};
  size_t slash = name.rfind('/');
  std::string dir = slash == std::string::npos ? "" : name.substr(0, slash);
  std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
  if (dbpath && *dbpath) {
    std::string all = dbpath;
    size_t start = 0;
    for (;;) {
      size_t colon = all.find(':', start);
      std::string entry =
          all.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
      std::string file;
      if (regexec(&pattern, entry.c_str(), 0, nullptr, 0) == 0) {
        size_t brace = entry.rfind('{');
        file = entry.substr(brace + 1, entry.size() - brace - 2) + "." + tname;
        entry.resize(brace > 0 ? brace - 1 : 0);
      } else {
        file = base + "." + tname;
      }
      std::string candidate =
          take(concatpaths(take(concatpaths(dir.c_str(), entry.c_str())).c_str(), file.c_str()));
      if (candidate != out.back()) out.push_back(candidate);
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }
  return out;
}

int dbtablepath(const char *dbname, const char *table, const char *dbpath, char *path) {
  if (path) path[0] = '\0';
  for (const std::string &candidate : table_candidates(dbname, table, dbpath)) {
    if (!is_present(candidate.c_str())) continue;
    std::string best = candidate;
    std::string rel = take(relpath(candidate.c_str(), nullptr));
    if (!rel.empty() && rel.size() < best.size()) best = rel;
    if (best.size() >= PATH_MAX) continue;
    if (path) memcpy(path, best.c_str(), best.size() + 1);
    return 0;
  }
  return 1;
}

Tbl *dbtblpaths(const char *dbname, const char *table, const char *dbpath) {
  Tbl *list = db_newtbl(4);
  for (const std::string &candidate : table_candidates(dbname, table, dbpath))
    pushtbl(list, db_strdup(candidate.c_str()));
  return list;
}

Arr *dbtablefiles(Dbptr db) {
  Database *d;
  Dbptr all = {db.database, dbALL, dbALL, dbALL};
  if (dbresolve(all, &d, nullptr, nullptr, nullptr, nullptr, nullptr) != dbDATABASE) return nullptr;
  if (d->tablefiles) return d->tablefiles;
  d->tablefiles = db_newarr();
  Tbl *names = d->schema->tablenames;
  for (long i = 0; names && i < maxtbl(names); i++) {
    const char *name = static_cast<const char *>(gettbl(names, i));
    char path[PATH_MAX];
    if (dbtablepath(d->abspath, name, d->dbpath, path) == 0)
      free(setarr(d->tablefiles, name, db_strdup(path)));
  }
  return d->tablefiles;
}

// The text of a field of the record db names, stripped of its padding; false when the
// field is not there.
static bool field_text(Dbptr db, const char *name, std::string *out, Table **table) {
  Dbptr f = dblookup(db, nullptr, nullptr, name, nullptr);
  if (f.field < 0) return false;
  char *address;
  int size;
  Field *field;
  if (dbresolve(f, nullptr, nullptr, table, &field, &address, &size) != dbFIELD || !address)
    return false;
  std::string text(address, (size_t)size);
  size_t end = text.find_last_not_of(" \t\n");
  text.resize(end == std::string::npos ? 0 : end + 1);
  size_t start = text.find_first_not_of(' ');
  *out = start == std::string::npos ? "" : text.substr(start);
  return true;
}

int dbextfile(Dbptr db, const char *table, char *filename) {
  std::string dirname = "dir", dfilename = "dfile";
  if (table && *table) {
    dirname = std::string(table) + ".dir";
    dfilename = std::string(table) + ".dfile";
  }
  std::string dir, dfile;
  Table *base = nullptr, *ignored = nullptr;
  bool have_dir = field_text(db, dirname.c_str(), &dir, &base);
  bool have_dfile = field_text(db, dfilename.c_str(), &dfile, &ignored);
  if (filename) filename[0] = '\0';
  if ((!have_dir || dir.empty()) && (!have_dfile || dfile.empty())) return -1;
  if (dir == "-") dir = ".";
  std::string path;
  if (!dir.empty() && dir[0] == '/')
    path = dir + "/" + dfile;
  else
    path = std::string(base && base->tabledir ? base->tabledir : ".") + "/" + dir + "/" + dfile;
  path = take(cleanpath(path.c_str()));
  if (path.size() + 4 >= PATH_MAX) return -1;
  auto put = [filename](const std::string &p) {
    if (filename) memcpy(filename, p.c_str(), p.size() + 1);
  };
  if (access(path.c_str(), R_OK) == 0) {
    put(path);
    return 1;
  }
  for (const char *suffix : {".Z", ".gz"}) {
    std::string compressed = path + suffix;
    if (access(compressed.c_str(), R_OK) == 0) {
      put(compressed);
      return 2;
    }
  }
  put(path);
  return access(dir_of(path).c_str(), W_OK) == 0 ? 0 : -1;
}

int dbfilename(Dbptr db, char *filename) { return dbextfile(db, nullptr, filename); }
