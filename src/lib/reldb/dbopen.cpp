// dbopen.cpp - descriptor files (parameter-file and two-line forms), creating a
// descriptor, temporary databases, and opening and closing databases.
//
// An open database is registered in Databases_tbl (by id, never reused) and
// Databases_root (by descriptor path, absolute and as given), both under DB_global_mutex;
// it belongs to the registry until RVdbclose.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "base/arr.h"
#include "base/elog.h"
#include "base/paths.h"
#include "base/pf.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "reldb/dbinternal.h"

namespace {

// Bytes of a descriptor that are read.
constexpr size_t kMaxDescriptor = 2047;

std::string take(char *text) {
  std::string s = text ? text : "";
  free(text);
  return s;
}

const char *default_schema() {
  const char *env = getenv("SCHEMA_DEFAULT");
  return env && *env ? env : Default_schema;
}

struct PfFree {
  void operator()(Pf *pf) const { pffree(pf); }
};

// "key text\n", or the text as a literal when it holds a newline.
void put_line(std::string *out, const char *key, const char *value) {
  if (!value) return;
  if (strchr(value, '\n'))
    *out += std::string(key) + " &Literal{\n" + value + "\n}\n";
  else
    *out += std::string(key) + " " + value + "\n";
}

}  // namespace

Dbptr *dbinvalid(Dbptr *db) {
  db->database = db->table = db->field = db->record = dbINVALID;
  return db;
}

int dbcreate(const char *path, const char *schema, const char *dbpath, const char *description,
             const char *detail) {
  if (!schema) schema = default_schema();
  std::string text = "# Relvane Database Descriptor file\n";
  text += std::string("schema ") + schema + "\n";
  if (dbpath && *dbpath) text += std::string("dbpath ") + dbpath + "\n";
  put_line(&text, "Description", description);
  put_line(&text, "Detail", detail);
  // The file must read back as it was meant: a schema or dbpath holding a newline, or a
  // description whose lines would close its literal early, would make a descriptor
  // that opens another schema or none at all.
  Pf *pf = nullptr;
  bool sound = pfcompile(text.c_str(), &pf) == 0;
  if (sound) {
    const char *s = pfget_string(pf, "schema");
    const char *p = pfget_string(pf, "dbpath");
    sound = s && strcmp(s, schema) == 0 &&
            (dbpath && *dbpath ? p && strcmp(p, dbpath) == 0 : p == nullptr);
  } else {
    elog_clear_register(0);
  }
  pffree(pf);
  if (!sound) {
    elog_log(0,
             "dbcreate: can't write the descriptor %s: schema, dbpath, description or "
             "detail can't be written in its text\n",
             path ? path : "");
    return dbINVALID;
  }
  // Written from the file's start; an existing descriptor is not cut first.
  int fd = path ? open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0666) : -1;
  if (fd < 0) {
    elog_log(1, "Can't create %s\n", path ? path : "");
    return dbINVALID;
  }
  int result = 0;
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      elog_log(1, "failed to write %d bytes to descriptor file %s (wrote only %d)",
               (int)text.size(), path, (int)done);
      result = dbINVALID;
      break;
    }
    done += (size_t)n;
  }
  if (close(fd) != 0) {
    elog_log(1, "Couldn't close descriptor file %s\n", path);
    return dbINVALID;
  }
  return result;
}

Dbptr dbtmp(const char *schema) {
  Dbptr db;
  dbinvalid(&db);
  const char *tmpdir = getenv("TMPDIR");
  std::string pattern = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/#dbtXXXXXX";
  std::unique_ptr<char[]> name(new char[pattern.size() + 1]);
  memcpy(name.get(), pattern.c_str(), pattern.size() + 1);
  int fd = mkstemp(name.get());
  if (fd < 0) {
    elog_log(1, "dbtmp: can't make a temporary descriptor %s\n", pattern.c_str());
    return db;
  }
  close(fd);
  dbcreate(name.get(), schema, nullptr, nullptr, nullptr);
  if (RVdbopen(name.get(), "r+", &db) < 0) dbinvalid(&db);
  unlink(name.get());
  return db;
}

void dbset_locks_from_env(Database *database) {
  const char *env = getenv("DBLOCKS");
  if (!env)
    database->locking = DBLOCK_NONE;
  else if (strcmp(env, "nfs") == 0)
    database->locking = DBLOCK_NFS;
  else if (strcmp(env, "none") == 0)
    database->locking = DBLOCK_NONE;
  else
    database->locking = DBLOCK_LOCAL;
}

void dbset_idserver_from_env(Database *database) {
  const char *env = getenv("DBIDSERVER");
  if (env) {
    db_settext(&database->idserver, env);
    return;
  }
  if (database->locking == DBLOCK_NFS)
    elog_die(0, "must specify DBIDSERVER environment variable when DBLOCKS is 'nfs'");
}

int dbread_descriptor(Database *database, const char *path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return dbINVALID;
  std::string text;
  char buf[kMaxDescriptor];
  while (text.size() < kMaxDescriptor) {
    ssize_t n = read(fd, buf, kMaxDescriptor - text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, (size_t)n);
  }
  close(fd);
  // The text ends at a NUL byte, if it holds one.
  text.resize(strnlen(text.c_str(), text.size()));
  if (text.empty()) return dbINVALID;

  if (text[0] == '#') {
    Pf *raw = nullptr;
    if (pfcompile(text.c_str(), &raw) != 0) return dbINVALID;
    std::unique_ptr<Pf, PfFree> pf(raw);
    const char *schema = pfget_string(pf.get(), "schema");
    db_settext(&database->schema_name, schema && *schema ? schema : default_schema());
    const char *dbpath = pfget_string(pf.get(), "dbpath");
    db_settext(&database->dbpath, take(expand_env(dbpath ? dbpath : Default_dbpath)).c_str());
    const char *locks = pfget_string(pf.get(), "dblocks");
    if (!locks)
      dbset_locks_from_env(database);
    else if (strcmp(locks, "nfs") == 0)
      database->locking = DBLOCK_NFS;
    else if (strcmp(locks, "none") == 0 || !*locks)
      database->locking = DBLOCK_NONE;
    else
      database->locking = DBLOCK_LOCAL;
    const char *idserver = pfget_string(pf.get(), "dbidserver");
    if (!idserver)
      dbset_idserver_from_env(database);
    else if (*idserver)
      db_settext(&database->idserver, idserver);
    return 1;
  }

  // Two-line form: the first non-empty line names the schema, the next the dbpath.
  std::string lines[2];
  int found = 0;
  size_t start = 0;
  while (found < 2 && start < text.size()) {
    size_t nl = text.find('\n', start);
    std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
    start = nl == std::string::npos ? text.size() : nl + 1;
    if (!line.empty()) lines[found++] = line;
  }
  if (found == 0) return dbINVALID;
  for (std::string &line : lines) {
    size_t a = line.find_first_not_of(" \t\r\v\f");
    size_t b = line.find_last_not_of(" \t\r\v\f");
    line = a == std::string::npos ? "" : line.substr(a, b - a + 1);
  }
  db_settext(&database->schema_name, lines[0].empty() ? default_schema() : lines[0].c_str());
  const char *dbpath = found > 1 && !lines[1].empty() ? lines[1].c_str() : Default_dbpath;
  db_settext(&database->dbpath, take(expand_env(dbpath)).c_str());
  dbset_locks_from_env(database);
  dbset_idserver_from_env(database);
  return 0;
}

int RVdbopen(const char *path, const char *mode, Dbptr *db) {
  *db = {dbINVALID, dbALL, dbALL, dbALL};
  if (!path) path = "";
  char *abs = abspath(path);
  if (!abs) {
    elog_log(0, "'%s' does not exist", path);
    return dbINVALID;
  }
  std::string absolute = take(abs);
  {
    std::lock_guard<std::mutex> lock(DB_global_mutex);
    if (Databases_root) {
      Database *d = static_cast<Database *>(getarr(Databases_root, path));
      if (!d) d = static_cast<Database *>(getarr(Databases_root, absolute.c_str()));
      if (d) {
        db->database = d->id;
        return 0;
      }
    }
  }
  if (!mode || (strcmp(mode, "r") != 0 && strcmp(mode, "r+") != 0)) {
    elog_log(0, "Invalid open flag : '%s'\n", mode ? mode : "");
    return dbINVALID;
  }
  Database *d = new_database();
  d->name = db_strdup(path);
  d->abspath = db_strdup(absolute.c_str());
  char *dir = nullptr;
  dirbase(absolute.c_str(), &dir, nullptr);
  d->dir = dir;
  if (is_file(path)) {
    if (dbread_descriptor(d, path) < 0) {
      elog_log(0, "Couldn't read descriptor file '%s'\n", path);
      dbfree_database(d);
      return dbINVALID;
    }
  } else {
    d->schema_name = db_strdup(default_schema());
    d->dbpath = db_strdup(take(expand_env(Default_dbpath)).c_str());
    dbset_locks_from_env(d);
    dbset_idserver_from_env(d);
  }
  d->openperm = db_strdup(mode);
  d->schema = open_schema(d->schema_name, d->name);
  if (!d->schema) {
    dbfree_database(d);
    return dbINVALID;
  }
  db_settext(&d->schema->name, d->schema_name);
  // The table list exists before the database is visible to other threads.
  d->tables = db_newtbl(d->schema->nrelations);
  std::lock_guard<std::mutex> lock(DB_global_mutex);
  d->id = (int)maxtbl(Databases_tbl);
  db->database = d->id;
  pushtbl(Databases_tbl, d);
  Ndatabases = (int)maxtbl(Databases_tbl);
  setarr(Databases_root, d->abspath, d);
  if (strcmp(d->abspath, d->name) != 0) setarr(Databases_root, d->name, d);
  return 0;
}

int RVdbclose(Dbptr db) {
  Dbptr all = {db.database, dbALL, dbALL, dbALL};
  return dbfree(all);
}
