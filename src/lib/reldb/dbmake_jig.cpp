// dbmake_jig.cpp - key descriptions (Jig), record keys, the key comparisons, index names
// and finding an index for a list of keys.
#include <glob.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/oom.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "base/timetext.h"
#include "reldb/dbex.h"
#include "reldb/dbindex.h"
#include "reldb/dbinternal.h"

namespace {

template <typename T>
T *zalloc_or_die(const char *what) {
  T *p = static_cast<T *>(calloc(1, sizeof(T)));
  if (!p) OUT_OF_MEMORY(sizeof(T), what);
  return p;
}

int32_t get_i(const char *entry, int offset) {
  int32_t v;
  memcpy(&v, entry + offset, sizeof v);
  return v;
}
double get_d(const char *entry, int offset) {
  double v;
  memcpy(&v, entry + offset, sizeof v);
  return v;
}
void put_i(char *entry, int offset, int32_t v) { memcpy(entry + offset, &v, sizeof v); }
void put_d(char *entry, int offset, double v) { memcpy(entry + offset, &v, sizeof v); }

template <typename T>
int sign(T a, T b) {
  return (a > b) - (a < b);
}

bool real_like(int type) {
  return type == dbREAL || type == dbTIME || type == dbYEARDAY || type == dbOFFDATE_KEY;
}

// Adds one component for `name`; `want` is the expected type of a range's end (0 none).
// Its type in *type, or dbINVALID.
int add_component(Dbptr db, Jig *jig, const char *name, int want, int range_end, int *type) {
  KeyComponent *c = zalloc_or_die<KeyComponent>("key_component");
  c->range_end = range_end;
  if (dbis_expression(name)) {
    Expression *tree = nullptr;
    int t = dbex_compile(db, name, &tree, want);
    if (t == dbINVALID || !tree) {
      elog_log(0, "Can't compile key field expression '%s'\n", name);
      free(c);
      return dbINVALID;
    }
    c->field = -1;
    c->expression = tree;
    c->type = want ? want : t;
    if (c->type == dbSTRING) {
      elog_log(0, "String expressions (like '%s') are not allowed in indexes\n", name);
      dbex_free(tree);
      free(c);
      return dbINVALID;
    }
  } else {
    Dbptr f = dblookup(db, nullptr, nullptr, name, nullptr);
    int ftype = f.field >= 0 ? dbquery(f, dbFIELD_TYPE, nullptr) : dbINVALID;
    if (f.field < 0 || ftype == dbINVALID) {
      elog_log(0, "Can't find key field '%s' in table\n", name);
      free(c);
      return dbINVALID;
    }
    c->field = f.field;
    c->type = strcmp(name, "offdate") == 0 ? (int)dbOFFDATE_KEY : ftype;
    if (c->type == dbSTRING) c->size = dbquery(f, dbFIELD_SIZE, nullptr) + 1;
  }
  switch (c->type) {
    case dbREAL:
    case dbTIME:
    case dbYEARDAY:
    case dbOFFDATE_KEY:
      c->offset = (int)align_double(jig->size);
      c->size = 8;
      break;
    case dbBOOLEAN:
    case dbINTEGER:
      c->offset = (int)align_int(jig->size);
      c->size = 4;
      break;
    case dbSTRING:
      c->offset = jig->size;
      break;
    default:
      c->offset = jig->size;
      c->size = 0;
      break;
  }
  jig->size = c->offset + c->size;
  pushtbl(jig->components, c);
  *type = c->type;
  return 0;
}

// Start and end of a range name, split at its first "::"; false for a plain name.
bool split_range(const char *name, std::string *start, std::string *end) {
  const char *sep = strstr(name, "::");
  if (!sep) return false;
  start->assign(name, (size_t)(sep - name));
  end->assign(sep + 2);
  return true;
}

Jig *jig_of(void *ctx) { return static_cast<Dbindex *>(ctx)->jig; }
Jig *search_jig_of(void *ctx) {
  Dbindex *index = static_cast<Dbindex *>(ctx);
  return index->search_jig ? index->search_jig : index->jig;
}

// Bytes compared unsigned, at most n, stopping at a NUL or the first difference.
int cmp_string(const char *a, const char *b, int n) {
  for (int i = 0; i < n; i++) {
    unsigned char x = (unsigned char)a[i], y = (unsigned char)b[i];
    if (x != y || x == 0) return (int)x - (int)y;
  }
  return 0;
}

[[noreturn]] void bad_type() { elog_die(0, "Bad data type in dbkeycmp\n"); }

// The comparisons of dbcmp (envelope false) and dbcmp_search (envelope true) for one
// element pair; *range set when a range took part.
int cmp_exact(const char *a, const KeyElement *ea, const char *b, const KeyElement *eb,
              bool envelope, bool *range) {
  *range = false;
  int ta = ea->type, tb = eb->type;
  if (ta == dbSTRING && tb == dbSTRING)
    return cmp_string(a + ea->offset, b + eb->offset, std::min(ea->size, eb->size));
  bool int_a = ta == dbINTEGER || ta == dbKEY_INT_RANGE;
  bool int_b = tb == dbINTEGER || tb == dbKEY_INT_RANGE;
  bool real_a = ta == dbREAL || ta == dbKEY_REAL_RANGE;
  bool real_b = tb == dbREAL || tb == dbKEY_REAL_RANGE;
  if (int_a && int_b) {
    int32_t as = get_i(a, ea->offset), bs = get_i(b, eb->offset);
    if (ta == dbINTEGER && tb == dbINTEGER) return sign(as, bs);
    *range = true;
    int32_t be = tb == dbKEY_INT_RANGE ? get_i(b, eb->offset + (envelope ? 8 : 4)) : bs;
    int32_t ae = ta == dbKEY_INT_RANGE ? get_i(a, ea->offset + 4) : as;
    if (ta == dbINTEGER) return (bs <= as && as <= be) ? 0 : sign(as, bs);
    if (tb == dbINTEGER) return (as <= bs && bs <= ae) ? 0 : sign(as, bs);
    bool overlap = (bs <= as && as <= be) || (as <= bs && bs <= ae);
    return overlap ? 0 : sign(as, bs);
  }
  if (real_a && real_b) {
    double as = get_d(a, ea->offset), bs = get_d(b, eb->offset);
    if (ta == dbREAL && tb == dbREAL) return sign(as, bs);
    *range = true;
    double be = tb == dbKEY_REAL_RANGE ? get_d(b, eb->offset + (envelope ? 16 : 8)) : bs;
    double ae = ta == dbKEY_REAL_RANGE ? get_d(a, ea->offset + 8) : as;
    if (ta == dbREAL) return (bs <= as && as <= be) ? 0 : sign(as, bs);
    if (tb == dbREAL) return (as <= bs && bs <= ae) ? 0 : sign(as, bs);
    bool overlap = (bs <= as && as <= be) || (as <= bs && bs <= ae);
    return overlap ? 0 : sign(as, bs);
  }
  bad_type();
}

int ncompare(Jig *ja, Jig *jb) { return (int)std::min(maxtbl(ja->elements), maxtbl(jb->elements)); }

const KeyElement *element(Jig *jig, long i) {
  return static_cast<const KeyElement *>(gettbl(jig->elements, i));
}

// The ordering of one element of two entries of one jig: by start, then (ranges, when
// `by_end`) by end.
int cmp_order(const char *a, const char *b, const KeyElement *e, bool by_end) {
  switch (e->type) {
    case dbSTRING:
      return cmp_string(a + e->offset, b + e->offset, e->size);
    case dbINTEGER:
      return sign(get_i(a, e->offset), get_i(b, e->offset));
    case dbREAL:
      return sign(get_d(a, e->offset), get_d(b, e->offset));
    case dbKEY_INT_RANGE: {
      int r = sign(get_i(a, e->offset), get_i(b, e->offset));
      if (r == 0 && by_end) r = sign(get_i(a, e->offset + 4), get_i(b, e->offset + 4));
      return r;
    }
    case dbKEY_REAL_RANGE: {
      int r = sign(get_d(a, e->offset), get_d(b, e->offset));
      if (r == 0 && by_end) r = sign(get_d(a, e->offset + 8), get_d(b, e->offset + 8));
      return r;
    }
    default:
      bad_type();
  }
}

const char kNoEquivalent[] = {8, 0};

}  // namespace

int dbis_expression(const char *text) {
  for (const char *p = text; p && *p; p++) {
    unsigned char ch = (unsigned char)*p;
    if (!isalnum(ch) && ch != '_' && ch != '.') return 1;
  }
  return 0;
}

const char *equiv_field(const char *name) {
  static const char *const pairs[][2] = {{"time::endtime", "ondate::offdate"}, {"time", "ondate"}};
  for (const auto &p : pairs) {
    if (strcmp(name, p[0]) == 0) return p[1];
    if (strcmp(name, p[1]) == 0) return p[0];
  }
  return kNoEquivalent;
}

int cmp_patterns(Tbl *wanted, Tbl *have) {
  if (maxtbl(have) < maxtbl(wanted)) return 1;
  for (long i = 0; i < maxtbl(wanted); i++) {
    const char *w = static_cast<const char *>(gettbl(wanted, i));
    const char *h = static_cast<const char *>(gettbl(have, i));
    if (!w || !h) return 1;
    if (strcmp(w, h) != 0 && strcmp(equiv_field(w), h) != 0) return 1;
  }
  return 0;
}

int dbmake_jig(Dbptr db, Tbl *keys, Jig **jigp) {
  *jigp = nullptr;
  db.field = dbALL;
  db.record = dbALL;
  Jig *jig = new_jig();
  jig->database = db.database;
  jig->table = db.table;
  jig->field = db.field;
  jig->record = db.record;
  jig->keys = db_newtbl(maxtbl(keys));
  jig->components = db_newtbl(maxtbl(keys));
  jig->elements = db_newtbl(maxtbl(keys));
  jig->size = 4;
  for (long i = 0; i < maxtbl(keys); i++)
    pushtbl(jig->keys, db_strdup(static_cast<const char *>(gettbl(keys, i))));
  for (long i = 0; i < maxtbl(keys); i++) {
    const char *name = static_cast<const char *>(gettbl(keys, i));
    if (!name) name = "";
    KeyElement *e = zalloc_or_die<KeyElement>("element");
    pushtbl(jig->elements, e);
    std::string start, end;
    int type = 0;
    if (!split_range(name, &start, &end)) {
      if (add_component(db, jig, name, 0, 0, &type) != 0) goto fail;
      const KeyComponent *c =
          static_cast<KeyComponent *>(gettbl(jig->components, maxtbl(jig->components) - 1));
      if (type == dbINTEGER)
        e->type = dbINTEGER;
      else if (real_like(type))
        e->type = dbREAL;
      else if (type == dbSTRING)
        e->type = dbSTRING;
      else {
        elog_log(0, "'%s' has bad type for index.\n", name);
        goto fail;
      }
      e->offset = c->offset;
      e->size = c->size;
      continue;
    }
    jig->range = 1;
    if (add_component(db, jig, start.c_str(), 0, 0, &type) != 0) goto fail;
    {
      const KeyComponent *c =
          static_cast<KeyComponent *>(gettbl(jig->components, maxtbl(jig->components) - 1));
      e->offset = c->offset;
      int want = type == dbINTEGER ? dbINTEGER : real_like(type) ? dbREAL : 0;
      if (want == 0) {
        elog_log(0, "Illegal range expression: '%s' (bad type)\n", start.c_str());
        goto fail;
      }
      int etype = 0;
      // An expression end is compiled to the start's kind; a field end is checked.
      int expect = dbis_expression(end.c_str()) ? (type == dbINTEGER ? dbINTEGER : dbREAL) : 0;
      if (add_component(db, jig, end.c_str(), expect, 1, &etype) != 0) goto fail;
      if (want == dbINTEGER) {
        if (etype != dbINTEGER) {
          elog_log(0, "Illegal range: '%s' (components aren't both integer)\n", start.c_str());
          goto fail;
        }
        e->type = dbKEY_INT_RANGE;
        e->size = 4;
        jig->size += 4;
      } else {
        if (!real_like(etype)) {
          elog_log(0, "Illegal range: '%s' (components don't have same type)\n", start.c_str());
          goto fail;
        }
        e->type = dbKEY_REAL_RANGE;
        e->size = 8;
        jig->size += 8;
      }
    }
  }
  jig->size = (int)align_int(jig->size);
  *jigp = jig;
  return 0;
fail:
  dbfree_jig(jig);
  return dbINVALID;
}

namespace {

// One key component as make_key uses it, with the place of its field in a record of a
// plain table (offset -1 when the field must be resolved record by record).
struct KeyPart {
  const KeyComponent *c;
  int offset = -1;
  int size = 0;
  // The last number read from a record copy and its text: a neighbouring record that
  // holds the same text (often so in a table of many rows per station or time) reads as
  // the same number without reading it again.
  std::string text;
  int ival = 0;
  double dval = 0;
};

// Whether n bytes at a and b are the same, compared a word at a time.
bool same_bytes(const char *a, const char *b, int n) {
  int i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t x, y;
    memcpy(&x, a + i, 8);
    memcpy(&y, b + i, 8);
    if (x != y) return false;
  }
  for (; i < n; i++)
    if (a[i] != b[i]) return false;
  return true;
}

std::vector<KeyPart> parts_of(const Jig *jig) {
  std::vector<KeyPart> parts((size_t)maxtbl(jig->components));
  for (long i = 0; i < maxtbl(jig->components); i++)
    parts[(size_t)i].c = static_cast<const KeyComponent *>(gettbl(jig->components, i));
  return parts;
}

// The key of record db into entry, which holds zeros. With `record` (a copy of the
// record's bytes), the fields whose place is known are read from it.
void make_key(Dbptr db, std::vector<KeyPart> &parts, char *entry, const char *record) {
  put_i(entry, 0, db.record);
  Dbptr rec = db;
  rec.field = dbALL;
  for (KeyPart &part : parts) {
    const KeyComponent *c = part.c;
    int ival = 0;
    double dval = 0;
    if (c->expression) {
      if (c->type == dbINTEGER || c->type == dbYEARDAY || c->type == dbBOOLEAN)
        dbex_eval(rec, c->expression, 0, &ival);
      else
        dbex_eval(rec, c->expression, 0, &dval);
    } else {
      const char *at = nullptr;
      int size = 0;
      const bool copied = record && part.offset >= 0;
      if (copied) {
        at = record + part.offset;
        size = part.size;
      } else {
        Dbptr f = rec;
        f.field = c->field;
        char *address = nullptr;
        if (dbresolve(f, nullptr, nullptr, nullptr, nullptr, &address, &size) == dbINVALID ||
            !address)
          continue;
        at = address;
      }
      if (c->type == dbSTRING) {
        // The text without its trailing blanks, bounded by the component.
        int n = std::min(size, c->size - 1);
        while (n > 0 && at[n - 1] == ' ') n--;
        int s = 0;
        while (s < n && at[s] == ' ') s++;
        memcpy(entry + c->offset, at + s, (size_t)(n - s));
        continue;
      }
      if (!copied) {
        if (c->type == dbREAL || c->type == dbTIME)
          dbd2c(at, size, &dval, c->type);
        else
          dbd2c(at, size, &ival, c->type);
      } else if (part.text.size() == (size_t)size && same_bytes(part.text.data(), at, size)) {
        ival = part.ival;
        dval = part.dval;
      } else {
        if (c->type == dbREAL || c->type == dbTIME)
          dbd2c(at, size, &dval, c->type);
        else
          dbd2c(at, size, &ival, c->type);
        part.text.assign(at, (size_t)size);
        part.ival = ival;
        part.dval = dval;
      }
    }
    switch (c->type) {
      case dbBOOLEAN:
      case dbINTEGER:
        put_i(entry, c->offset, ival);
        break;
      case dbYEARDAY:
        put_d(entry, c->offset, epoch(ival));
        break;
      case dbOFFDATE_KEY:
        put_d(entry, c->offset, ival == -1 ? INFINITY : epoch(ival + 1) - 1.0);
        break;
      default:
        put_d(entry, c->offset, dval);
        break;
    }
    if (c->range_end) memcpy(entry + c->offset + c->size, entry + c->offset, (size_t)c->size);
  }
}

}  // namespace

void dbmake_key(Dbptr db, Jig *jig, char *entry) {
  memset(entry, 0, (size_t)jig->size);
  std::vector<KeyPart> parts = parts_of(jig);
  make_key(db, parts, entry, nullptr);
}

int dbmake_keys(Dbptr db, Jig *jig, int count, char *entries) {
  db.field = dbALL;
  db.record = dbALL;
  const size_t esize = (size_t)jig->size;
  if (count > 0) memset(entries, 0, (size_t)count * esize);
  std::vector<KeyPart> parts = parts_of(jig);
  Relation *relation = nullptr;
  Table *table = nullptr;
  if (dbresolve(db, nullptr, &relation, &table, nullptr, nullptr, nullptr) != dbTABLE ||
      !relation || !table || relation->has_refs || relation->size <= 0) {
    for (int r = 0; r < count; r++) {
      db.record = r;
      make_key(db, parts, entries + (size_t)r * esize, nullptr);
    }
    return 0;
  }
  const size_t rsize = (size_t)relation->size;
  for (KeyPart &part : parts) {
    const KeyComponent *c = part.c;
    const Field *f =
        c->expression ? nullptr : static_cast<Field *>(gettbl(relation->fields, c->field));
    if (!f || f->is_ref || f->table != relation->id) continue;
    const int size = db_field_attribute(f)->size;
    if (f->offset < 0 || (size_t)f->offset + (size_t)size > rsize) continue;
    part.offset = f->offset;
    part.size = size;
  }
  // The records are copied out in blocks (from a table file with pread: a file that
  // another process has shortened fails the copy instead of faulting).
  const int per_block = (int)std::max<size_t>(1, 65536 / rsize);
  std::vector<char> block;
  for (int first = 0; first < count; first += per_block) {
    const int end = std::min(count, first + per_block);
    const char *bytes = nullptr;
    if (table->data && (size_t)end * rsize <= table->length) {
      block.resize((size_t)(end - first) * rsize);
      if (db_copy_out(table, table->data + (size_t)first * rsize, block.size(), block.data()) < 0)
        return dbINVALID;
      bytes = block.data();
    }
    for (int r = first; r < end; r++) {
      db.record = r;
      make_key(db, parts, entries + (size_t)r * esize,
               bytes ? bytes + (size_t)(r - first) * rsize : nullptr);
    }
  }
  return 0;
}

int dbcmp_sort(const void *pa, const void *pb, void *ctx) {
  Jig *ja = search_jig_of(ctx), *jb = jig_of(ctx);
  const char *a = static_cast<const char *>(pa), *b = static_cast<const char *>(pb);
  int n = ncompare(ja, jb);
  for (int i = 0; i < n; i++) {
    const KeyElement *ea = element(ja, i), *eb = element(jb, i);
    int r;
    if (ea->type == dbSTRING && eb->type == dbSTRING)
      r = cmp_string(a + ea->offset, b + eb->offset, std::min(ea->size, eb->size));
    else if ((ea->type == dbINTEGER || ea->type == dbKEY_INT_RANGE) &&
             (eb->type == dbINTEGER || eb->type == dbKEY_INT_RANGE))
      r = sign(get_i(a, ea->offset), get_i(b, eb->offset));
    else if ((ea->type == dbREAL || ea->type == dbKEY_REAL_RANGE) &&
             (eb->type == dbREAL || eb->type == dbKEY_REAL_RANGE))
      r = sign(get_d(a, ea->offset), get_d(b, eb->offset));
    else
      bad_type();
    if (r) return r;
  }
  return 0;
}

int dbcmp_envelope(const void *pa, const void *pb, void *ctx) {
  Jig *jig = jig_of(ctx);
  const char *a = static_cast<const char *>(pa);
  char *b = static_cast<char *>(const_cast<void *>(pb));
  for (long i = 0; i < maxtbl(jig->elements); i++) {
    const KeyElement *e = element(jig, i);
    if (e->type == dbKEY_INT_RANGE) {
      int32_t env = std::max(get_i(b, e->offset + 4), get_i(a, e->offset + 8));
      put_i(b, e->offset + 8, env);
    } else if (e->type == dbKEY_REAL_RANGE) {
      double env = std::max(get_d(b, e->offset + 8), get_d(a, e->offset + 16));
      put_d(b, e->offset + 16, env);
    }
    int r = cmp_order(a, b, e, true);
    if (r) return r;
  }
  return 0;
}

static int cmp_match(const void *pa, const void *pb, void *ctx, bool envelope) {
  Jig *ja = search_jig_of(ctx), *jb = jig_of(ctx);
  const char *a = static_cast<const char *>(pa), *b = static_cast<const char *>(pb);
  int n = ncompare(ja, jb);
  for (int i = 0; i < n; i++) {
    bool range = false;
    int r = cmp_exact(a, element(ja, i), b, element(jb, i), envelope, &range);
    if (r) return r;
    if (envelope && range) return 0;
  }
  return 0;
}

DbKeyMatch::DbKeyMatch(const Jig *search, const Jig *index, long from) {
  long n = std::min(maxtbl(search->elements), maxtbl(index->elements));
  for (long i = from; i < n; i++) {
    a_.push_back(*static_cast<const KeyElement *>(gettbl(search->elements, i)));
    b_.push_back(*static_cast<const KeyElement *>(gettbl(index->elements, i)));
  }
}

int DbKeyMatch::match(const char *a, const char *b, bool envelope) const {
  for (size_t i = 0; i < a_.size(); i++) {
    bool range = false;
    int r = cmp_exact(a, &a_[i], b, &b_[i], envelope, &range);
    if (r) return r;
    if (envelope && range) return 0;
  }
  return 0;
}

int dbcmp_search(const void *a, const void *b, void *ctx) { return cmp_match(a, b, ctx, true); }
int dbcmp(const void *a, const void *b, void *ctx) { return cmp_match(a, b, ctx, false); }

void dbshow_key(Jig *jig, const char *entry) {
  int record = get_i(entry, 0);
  if (record == dbSCRATCH)
    printf("Record #SCRATCH\n");
  else if (record == dbNULL)
    printf("Record #NULL\n");
  else
    printf("Record #%5d\n", record);
  for (long i = 0; i < maxtbl(jig->elements); i++) {
    const KeyElement *e = element(jig, i);
    const char *key = static_cast<const char *>(gettbl(jig->keys, i));
    printf("   %-10s :", key ? key : "");
    switch (e->type) {
      case dbINTEGER:
        printf("\t%10d\n", get_i(entry, e->offset));
        break;
      case dbREAL:
        printf("\t%10.1f\n", get_d(entry, e->offset));
        break;
      case dbSTRING:
        printf("\t%-15.*s\n", (int)strnlen(entry + e->offset, (size_t)e->size), entry + e->offset);
        break;
      case dbKEY_REAL_RANGE:
        printf("\t%10.1f:%10.1f:%10.1f\n", get_d(entry, e->offset), get_d(entry, e->offset + 8),
               get_d(entry, e->offset + 16));
        break;
      case dbKEY_INT_RANGE:
        printf("\t%10d:%10d:%10d\n", get_i(entry, e->offset), get_i(entry, e->offset + 4),
               get_i(entry, e->offset + 8));
        break;
      default:
        printf("\n");
        break;
    }
  }
}

int dbindex_name(Dbptr db, Tbl *keys, std::string *name) {
  db.field = dbALL;
  db.record = dbALL;
  name->clear();
  int expression = 0;
  for (long i = 0; i < maxtbl(keys); i++) {
    const char *key = static_cast<const char *>(gettbl(keys, i));
    if (!key) key = "";
    std::string start, end;
    bool range = split_range(key, &start, &end);
    if (!range) start = key;
    if (dbis_expression(start.c_str()) || (range && dbis_expression(end.c_str()))) {
      *name += "#e";
      expression = 1;
      continue;
    }
    int a = dblookup(db, nullptr, nullptr, start.c_str(), nullptr).field;
    *name += "#" + std::to_string(a);
    if (range)
      *name += ":" + std::to_string(dblookup(db, nullptr, nullptr, end.c_str(), nullptr).field);
  }
  return expression;
}

namespace {

struct FindCtx {
  Tbl *keys;
  Dbindex *found;
};

// Escapes the glob characters of a literal path.
std::string glob_escape(const std::string &text) {
  std::string out;
  for (char ch : text) {
    if (ch == '*' || ch == '?' || ch == '[' || ch == ']' || ch == '\\') out += '\\';
    out += ch;
  }
  return out;
}

}  // namespace

int dbget_index(Dbptr db, Tbl *keys, Dbindex **index) {
  *index = nullptr;
  db.field = dbALL;
  db.record = dbALL;
  Table *table = nullptr;
  if (dbquery(db, dbRECORD_COUNT, nullptr) == dbINVALID ||
      dbresolve(db, nullptr, nullptr, &table, nullptr, nullptr, nullptr) != dbTABLE || !table) {
    elog_log(0, "Must specify database table: db=(%d,%d,%d,%d)", db.database, db.table, db.field,
             db.record);
    return dbINVALID;
  }
  if (!table->indexes) table->indexes = db_newarr();
  std::string name;
  // Index files are named by the key fields alone ("#e" for any expression); in memory
  // the name of an expression key carries its text, so that indexes over different
  // expressions never replace each other.
  std::string memname;
  if (dbindex_name(db, keys, &name)) {
    memname = name;
    for (long i = 0; i < maxtbl(keys); i++) {
      const char *key = static_cast<const char *>(gettbl(keys, i));
      memname += std::string("|") + (key ? key : "");
    }
  } else {
    memname = name;
  }
  Dbindex *have = static_cast<Dbindex *>(getarr(table->indexes, memname.c_str()));
  if (!(have && have->jig && cmp_patterns(keys, have->jig->keys) == 0)) {
    FindCtx find = {keys, nullptr};
    applyarr(
        table->indexes,
        [](const char *, void *value, void *arg) -> int {
          FindCtx *f = static_cast<FindCtx *>(arg);
          Dbindex *ix = static_cast<Dbindex *>(value);
          if (!f->found && ix && ix->jig && cmp_patterns(f->keys, ix->jig->keys) == 0)
            f->found = ix;
          return 0;
        },
        &find);
    have = find.found;
  }
  if (have) {
    // Another process may have appended records since the index was built, or the table
    // may have lost records: an index never names records that are gone.
    int count = dbquery(db, dbRECORD_COUNT, nullptr);
    if (count >= 0 && have->indexed <= count) {
      if (have->indexed < count) dbupdate_index(have);
      *index = have;
      return 0;
    }
    std::string key = have->name ? have->name : "";
    if (getarr(table->indexes, key.c_str()) == have) delarr(table->indexes, key.c_str());
    dbfree_index(have);
  }
  if (table->fd >= 0 && table->path) {
    std::string pattern = glob_escape(std::string(table->path) + name) + "*";
    glob_t g;
    memset(&g, 0, sizeof g);
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0) {
      for (size_t i = 0; i < g.gl_pathc && !*index; i++) {
        Dbindex *ix = dbread_index(db, table, g.gl_pathv[i]);
        if (ix && cmp_patterns(keys, ix->jig->keys) == 0) *index = ix;
      }
    }
    globfree(&g);
    if (*index) return 1;
  }
  Dbindex *made = dbcreate_index(db, keys, memname.c_str());
  if (!made) return dbINVALID;
  Dbindex *old = static_cast<Dbindex *>(setarr(table->indexes, memname.c_str(), made));
  if (old && old != made) dbfree_index(old);
  *index = made;
  return 0;
}
