// dbgroup.cpp - grouping: runs of consecutive records that agree on a list of fields
// become one record each of a new transient table, with the run's records as a bundle.
// The input is taken in the order it has; nothing is sorted here.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "reldb/db.h"
#include "reldb/dbedit.h"
#include "reldb/dbinternal.h"
#include "reldb/dbsort.h"
#include "reldb/dbview.h"

namespace {

Dbptr invalid() {
  Dbptr bad;
  return *dbinvalid(&bad);
}

// Names that go into schema text must be single words, so that no name can end the
// definition early or add definitions of its own.
bool plain_word(const char *s) {
  if (!s || !*s) return false;
  for (; *s; s++)
    if (!isalnum((unsigned char)*s) && *s != '_' && *s != '-' && *s != '.') return false;
  return true;
}

}  // namespace

Dbptr dbmkgroup_relation(Dbptr db, Tbl *fields, const char *name) {
  std::string list;
  for (long i = 0; fields && i < maxtbl(fields); i++) {
    const char *f = static_cast<const char *>(gettbl(fields, i));
    if (!plain_word(f)) {
      elog_log(0, "dbmkgroup_relation: bad field name '%s'\n", f ? f : "");
      return invalid();
    }
    if (i) list += ' ';
    list += f;
  }
  std::string relname;
  if (name && *name) {
    if (!plain_word(name)) {
      elog_log(0, "dbmkgroup_relation: bad relation name '%s'\n", name);
      return invalid();
    }
    relname = name;
  } else {
    Dbptr all = {db.database, dbALL, dbALL, dbALL};
    int n = dbquery(all, dbTABLE_COUNT, nullptr);
    if (n < 0) return invalid();
    relname = "View" + std::to_string(n);
  }
  Database *d = nullptr;
  Dbptr whole = {db.database, dbALL, dbALL, dbALL};
  if (dbresolve(whole, &d, nullptr, nullptr, nullptr, nullptr, nullptr) != dbDATABASE || !d)
    return invalid();
  if (getarr(d->schema->relation_arr, relname.c_str())) {
    elog_log(0, "dbmkgroup_relation: a relation named '%s' exists already\n", relname.c_str());
    return invalid();
  }
  if (dbadd_bundle(db) != 0) return invalid();
  std::string text = "Relation " + relname + " Fields ( " + list +
                     " bundle bundletype ) Primary ( " + list + ") Transient ;";
  Dbptr all = {db.database, dbALL, dbALL, dbALL};
  if (dbcompile(all, text.c_str()) != 0) {
    elog_log(0, "attempting to compile\n'%s'\n", text.c_str());
    return invalid();
  }
  return dblookup(all, nullptr, relname.c_str(), nullptr, nullptr);
}

Dbptr dbgroup(Dbptr db, Tbl *fields, const char *name, int type) {
  db.field = dbALL;
  db.record = dbALL;
  Relation *in = nullptr;
  if (dbresolve(db, nullptr, &in, nullptr, nullptr, nullptr, nullptr) != dbTABLE || !in) {
    elog_log(0, "dbgroup: no table to group\n");
    return invalid();
  }
  // The grouping fields are looked up as the input names them (a view reaches its base
  // tables' fields) and checked before the relation is made, so that a bad list leaves
  // no relation behind.
  std::vector<Dbptr> in_fields;
  for (long i = 0; fields && i < maxtbl(fields); i++) {
    const char *f = static_cast<const char *>(gettbl(fields, i));
    Dbptr field = f && *f ? dblookup(db, nullptr, nullptr, f, nullptr) : db;
    if (!f || !*f || field.field < 0 || dbquery(field, dbFIELD_TYPE, nullptr) == dbINVALID ||
        dbquery(field, dbFIELD_TYPE, nullptr) == dbDBPTR) {
      elog_log(0, "Field '%s' not present in table '%s'.\n", f ? f : "", in->name);
      return invalid();
    }
    in_fields.push_back(field);
  }
  int count = dbquery(db, dbRECORD_COUNT, nullptr);
  if (count < 0) return invalid();

  Dbptr group = dbmkgroup_relation(db, fields, name);
  if (group.table < 0) return invalid();
  group.field = dbALL;
  group.record = dbSCRATCH;
  auto fail = [&]() {
    dbview_drop(group);
    return invalid();
  };

  std::vector<Dbptr> out_fields;
  for (long i = 0; i < maxtbl(fields); i++)
    out_fields.push_back(
        dblookup(group, nullptr, nullptr, static_cast<const char *>(gettbl(fields, i)), nullptr));

  // The text of grouping field i in input record r.
  auto value = [&](size_t i, int r, std::string *out) {
    Dbptr f = in_fields[i];
    f.record = r;
    char *at = nullptr;
    int size = 0;
    if (dbresolve(f, nullptr, nullptr, nullptr, nullptr, &at, &size) != dbFIELD || !at)
      return false;
    out->assign(at, (size_t)size);
    return true;
  };
  // Each run [start, end) of records whose field texts agree becomes one group record.
  std::vector<std::string> current(in_fields.size()), next(in_fields.size());
  for (size_t i = 0; i < in_fields.size() && count > 0; i++)
    if (!value(i, 0, &current[i])) return fail();
  int start = 0;
  for (int r = 1; r <= count; r++) {
    if (r < count) {
      bool same = true;
      for (size_t i = 0; i < in_fields.size(); i++) {
        if (!value(i, r, &next[i])) return fail();
        if (next[i] != current[i]) same = false;
      }
      if (same) continue;
    }
    for (size_t i = 0; i < in_fields.size(); i++) {
      char *at = nullptr;
      int size = 0;
      if (dbresolve(out_fields[i], nullptr, nullptr, nullptr, nullptr, &at, &size) != dbFIELD ||
          !at || (size_t)size != current[i].size())
        return fail();
      memcpy(at, current[i].data(), (size_t)size);
    }
    Dbptr bundle = {db.database, db.table, r, start};
    if (dbputv(group, nullptr, "bundle", bundle, "bundletype", type, nullptr) != 0 ||
        dbadd(group, nullptr) < 0)
      return fail();
    start = r;
    current.swap(next);
  }
  group.record = dbALL;
  return group;
}
