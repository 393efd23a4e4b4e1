// dbadd.cpp - field values: reading and writing tables, records and fields as raw text
// (dbget, dbput) and named fields as typed values (dbgetv, dbputv, dbputx); the
// conversions between values and field text (dbc2d, dbd2c) and printable text (dbc2p,
// dbp2c); record ranges of bundles; the bundle attributes; and db_format, the printf of
// format texts read from schema files.
//
// Writes go straight into the mapped table file or the in-memory table; nothing here
// locks. Callers sharing a database between threads serialise their use of it.
#include <sys/time.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "base/timetext.h"
#include "reldb/dbinternal.h"
#include "support/stdtime.h"

namespace {

constexpr long kMaxFormatNumber = 4096;

template <typename T>
void append_formatted(std::string *out, const std::string &conversion, T value) {
  int need = snprintf(nullptr, 0, conversion.c_str(), value);
  if (need <= 0) return;
  size_t old = out->size();
  out->resize(old + (size_t)need + 1);
  snprintf(&(*out)[old], (size_t)need + 1, conversion.c_str(), value);
  out->resize(old + (size_t)need);
}

bool is_binary(int type) { return type >= 138 && type <= dbDBPTR; }

// Format text for a value of type 2 to 5: the attribute's, or the default.
const char *format_for(const char *format, int type) {
  if (format && *format) return format;
  return (type == dbINTEGER || type == dbYEARDAY) ? "%d" : "%e";
}

std::string trimmed(const std::string &s) {
  size_t a = s.find_first_not_of(" \t\n\r\v\f");
  if (a == std::string::npos) return "";
  size_t b = s.find_last_not_of(" \t\n\r\v\f");
  return s.substr(a, b - a + 1);
}

int to_int(const char *text) {
  errno = 0;
  long v = strtol(text, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return (int)v;
}

// Reads a double from text; -102 when nothing was read or something other than white
// space follows (the number read is stored anyway).
int read_double(const char *text, double *out) {
  char *end = nullptr;
  *out = fix_strtod(text, &end);
  if (end == text || !whitespace(end)) return dbINVALID;
  return 0;
}

// A time field that holds no number: "-" or nothing is 0, anything else a date.
int read_time(const char *text, double *out) {
  if (read_double(text, out) == 0) return 0;
  std::string t = trimmed(text);
  if (t.empty() || t == "-")
    *out = 0.0;
  else
    *out = str2epoch(t.c_str());
  return 0;
}

// The quick reading of the plain decimals that table files hold ("  1000000000.00000",
// "    -12"), with the general path's results: blanks around an optional sign, digits and
// at most one point. A value reads exactly when its digits, as a whole number, fit in 53
// bits and at most 22 of them follow the point: the whole number and the power of ten
// are then exact doubles, and one division rounds as the C library does. Anything else
// (exponents, other spaces, more digits) is left to the general path: false.
bool quick_real(const char *field, int width, double *out) {
  static const double kTens[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                 1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const char *p = field, *end = field + width;
  while (p < end && *p == ' ') p++;
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  auto digit = [](char c) { return (unsigned)(c - '0') < 10u; };
  // The digits before and after the point; more than 19 make no answer here (a whole
  // number that wrapped is not used).
  uint64_t whole = 0;
  const char *first = p;
  while (p < end && digit(*p)) whole = whole * 10 + (uint64_t)(*p++ - '0');
  long digits = p - first;
  int fraction = -1;
  if (p < end && *p == '.') {
    first = ++p;
    while (p < end && digit(*p)) whole = whole * 10 + (uint64_t)(*p++ - '0');
    digits += p - first;
    fraction = (int)std::min<long>(p - first, 23);
  }
  if (digits == 0 || digits > 19 || whole > (uint64_t)1 << 53 || fraction > 22) return false;
  while (p < end && *p == ' ') p++;
  if (p < end && *p != '\0') return false;
  double v = (double)whole;
  if (fraction > 0) v /= kTens[fraction];
  *out = negative ? -v : v;
  return true;
}

// strtol's reading of a field of at most 18 digits, cut to the int range as to_int does;
// false for a longer number (left to the general path).
bool quick_int(const char *field, int width, int *out) {
  const char *p = field, *end = field + width;
  // isspace, with the ASCII answers (the same in every locale) given without a call.
  auto space = [](unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x80 && isspace(c));
  };
  while (p < end && *p != '\0' && space((unsigned char)*p)) p++;
  bool negative = false;
  if (p < end && (*p == '-' || *p == '+')) negative = *p++ == '-';
  int64_t v = 0;
  int digits = 0;
  for (; p < end && *p >= '0' && *p <= '9'; p++) {
    if (++digits > 18) return false;
    v = v * 10 + (*p - '0');
  }
  if (negative) v = -v;
  *out = v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : (int)v;
  return true;
}

void copy_dbptr(Dbptr *out, const char *field, int width) {
  Dbptr value;
  dbinvalid(&value);
  memcpy(&value, field, (size_t)(width < 16 ? (width > 0 ? width : 0) : 16));
  *out = value;
}

}  // namespace

int db_format(std::string *out, const char *format, const DbFormatValue *values, int n) {
  if (!format || !*format) return -1;
  std::string result;
  int used = 0;
  const char *p = format;
  while (*p) {
    if (*p != '%') {
      result.push_back(*p++);
      continue;
    }
    if (p[1] == '%') {
      result.push_back('%');
      p += 2;
      continue;
    }
    const char *start = p++;
    while (*p && strchr("-+ #0'", *p)) p++;
    long number = 0;
    while (isdigit((unsigned char)*p)) {
      number = number * 10 + (*p++ - '0');
      if (number > kMaxFormatNumber) return -1;
    }
    if (*p == '.') {
      p++;
      number = 0;
      while (isdigit((unsigned char)*p)) {
        number = number * 10 + (*p++ - '0');
        if (number > kMaxFormatNumber) return -1;
      }
    }
    enum { NONE, H, HH, L, LL, BIGL } length = NONE;
    if (*p == 'h') {
      length = H;
      if (*++p == 'h') {
        length = HH;
        p++;
      }
    } else if (*p == 'l') {
      length = L;
      if (*++p == 'l') {
        length = LL;
        p++;
      }
    } else if (*p == 'L') {
      length = BIGL;
      p++;
    }
    char conv = *p;
    if (!conv) return -1;
    p++;
    if (used >= n) return -1;
    const DbFormatValue &v = values[used++];
    std::string conversion(start, (size_t)(p - start));
    if (strchr("dioxXuc", conv)) {
      if (v.kind != DBFMT_INT || length == BIGL || (conv == 'c' && length != NONE)) return -1;
      if (length == L)
        append_formatted(&result, conversion, (long)v.i);
      else if (length == LL)
        append_formatted(&result, conversion, (long long)v.i);
      else
        append_formatted(&result, conversion, v.i);
    } else if (strchr("eEfFgGaA", conv)) {
      if (v.kind != DBFMT_DOUBLE || length == H || length == HH || length == LL) return -1;
      if (length == BIGL)
        append_formatted(&result, conversion, (long double)v.d);
      else
        append_formatted(&result, conversion, v.d);
    } else if (conv == 's') {
      if (v.kind != DBFMT_STRING || length != NONE) return -1;
      append_formatted(&result, conversion, v.s ? v.s : "");
    } else {
      return -1;
    }
  }
  if (used != n) return -1;
  *out = std::move(result);
  return 0;
}

int dbc2d(Dbvalue *value, char *field, int width, const char *format, int type) {
  if (width < 0) width = 0;
  std::string text;
  switch (type) {
    case dbINTEGER:
    case dbYEARDAY: {
      DbFormatValue v{DBFMT_INT, value->i, 0.0, nullptr};
      if (db_format(&text, format_for(format, type), &v, 1) < 0) db_format(&text, "%d", &v, 1);
      sncopy(field, text.c_str(), width);
      return text.size() > (size_t)width ? 1 : 0;
    }
    case dbREAL:
    case dbTIME: {
      DbFormatValue v{DBFMT_DOUBLE, 0, value->d, nullptr};
      if (db_format(&text, format_for(format, type), &v, 1) < 0) db_format(&text, "%e", &v, 1);
      sncopy(field, text.c_str(), width);
      size_t n = text.size();
      if (n <= (size_t)width) return 0;
      // Cutting fraction digits that are all zeros loses nothing; cutting any other
      // digit, an exponent or the integer part does.
      int result = 1;
      for (int i = 0; i < width; i++) {
        if (text[i] == '.') result = 0;
        if (text[i] == 'e' || text[i] == 'E') {
          result = 1;
          break;
        }
      }
      if (result == 0) {
        for (size_t i = (size_t)width; i < n; i++)
          if (text[i] != '0') return 1;
      }
      return result;
    }
    case dbSTRING: {
      const char *t = value->t ? value->t : "";
      sncopy(field, t, width);
      size_t n = strlen(t);
      return n > (size_t)width && !whitespace(t + width) ? 1 : 0;
    }
    case dbDBPTR:
      // A Dbptr field narrower than a Dbptr keeps what fits and reports the rest.
      memcpy(field, &value->db, (size_t)(width < 16 ? width : 16));
      return width < 16 ? 1 : 0;
    default:
      elog_log(0, "bad type %d\n", type);
      return dbINVALID;
  }
}

int dbd2c(const char *field, int width, void *out, int type) {
  if (width < 0) width = 0;
  switch (type) {
    case dbINTEGER:
    case dbYEARDAY:
    case dbOFFDATE_KEY: {
      if (quick_int(field, width, static_cast<int *>(out))) return 0;
      std::string copy(field, strnlen(field, (size_t)width));
      *static_cast<int *>(out) = to_int(copy.c_str());
      return 0;
    }
    case dbREAL:
    case dbTIME: {
      if (quick_real(field, width, static_cast<double *>(out))) return 0;
      std::string copy(field, (size_t)width);
      copy.resize(strnlen(copy.c_str(), copy.size()));
      copy = trimmed(copy);
      double *d = static_cast<double *>(out);
      return type == dbREAL ? read_double(copy.c_str(), d) : read_time(copy.c_str(), d);
    }
    case dbSTRING:
      copystrip(static_cast<char *>(out), field, width);
      return 0;
    case dbDBPTR:
      copy_dbptr(static_cast<Dbptr *>(out), field, width);
      return 0;
    default:
      elog_log(0, "invalid type code %d", type);
      return dbINVALID;
  }
}

int dbc2p(Dbvalue *value, char *dst, int width, const char *format, int type) {
  if (width < 0) width = 0;
  std::string text;
  DbFormatValue v[4] = {};
  int n = 1;
  switch (type) {
    case dbINTEGER:
    case dbYEARDAY:
      v[0] = {DBFMT_INT, value->i, 0.0, nullptr};
      break;
    case dbREAL:
    case dbTIME:
      v[0] = {DBFMT_DOUBLE, 0, value->d, nullptr};
      break;
    case dbDBPTR:
      v[0] = {DBFMT_INT, value->db.database, 0.0, nullptr};
      v[1] = {DBFMT_INT, value->db.table, 0.0, nullptr};
      v[2] = {DBFMT_INT, value->db.field, 0.0, nullptr};
      v[3] = {DBFMT_INT, value->db.record, 0.0, nullptr};
      n = 4;
      break;
    case dbSTRING:
      sncopy(dst, value->t, width);
      return 0;
    default:
      elog_log(0, "bad type %d\n", type);
      return dbINVALID;
  }
  if (db_format(&text, format, v, n) < 0) {
    elog_log(0, "dbc2p: format '%s' doesn't fit type %d\n", format ? format : "", type);
    return dbINVALID;
  }
  sncopy(dst, text.c_str(), width);
  return 0;
}

int dbp2c(const char *text, int width, void *out, int type) {
  if (width < 0) width = 0;
  std::string copy(text ? text : "", text ? strnlen(text, (size_t)width) : 0);
  switch (type) {
    case dbINTEGER:
    case dbYEARDAY:
      *static_cast<int *>(out) = to_int(copy.c_str());
      return 0;
    case dbREAL:
      return read_double(copy.c_str(), static_cast<double *>(out));
    case dbTIME:
      return read_time(copy.c_str(), static_cast<double *>(out));
    case dbSTRING:
      copystrip(static_cast<char *>(out), text, width);
      return 0;
    case dbDBPTR: {
      Dbptr *db = static_cast<Dbptr *>(out);
      dbinvalid(db);
      int n =
          sscanf(copy.c_str(), "%d %d %d %d", &db->database, &db->table, &db->field, &db->record);
      return n == 4 ? 0 : dbINVALID;
    }
    default:
      elog_log(0, "invalid type code %d", type);
      return dbINVALID;
  }
}

int dbget(Dbptr db, char *dst) {
  Table *t;
  Field *f;
  char *address;
  int size;
  int level = dbresolve(db, nullptr, nullptr, &t, &f, &address, &size);
  if (!address) {
    elog_log(0, "db pointer (%d %d %d %d) doesn't resolve to data", db.database, db.table, db.field,
             db.record);
    if (dst) dst[0] = '\0';
    return dbINVALID;
  }
  if (dst) {
    if (level == dbTABLE || level == dbRECORD) {
      if (db_copy_out(t, address, (size_t)size, dst) < 0) {
        dst[0] = '\0';
        return dbINVALID;
      }
      dst[size] = '\0';
      return 0;
    }
    if (level == dbFIELD) {
      if (db_copy_out(t, address, (size_t)size, dst) < 0) {
        dst[0] = '\0';
        return dbINVALID;
      }
      if (!is_binary(db_field_attribute(f)->type)) dst[size] = '\0';
      return 0;
    }
    dst[0] = '\0';
    return dbINVALID;
  }
  if (level != dbRECORD && level != dbFIELD) return dbINVALID;
  if (!t->scratch) new_scratch(db, t);
  char *into = level == dbRECORD ? t->scratch : t->scratch + f->offset;
  return db_copy_out(t, address, (size_t)size, into) < 0 ? dbINVALID : 0;
}

int dbgetv(Dbptr db, const char *table, ...) {
  db.field = dbALL;
  if (table && *table) db = dblookup(db, nullptr, table, nullptr, nullptr);
  Relation *r;
  if (dbresolve(db, nullptr, &r, nullptr, nullptr, nullptr, nullptr) != dbRECORD) return dbINVALID;
  va_list ap;
  va_start(ap, table);
  int total = 0;
  for (;;) {
    const char *name = va_arg(ap, const char *);
    if (!name) break;
    void *out = va_arg(ap, void *);
    if (!out) {
      elog_log(0, "field '%s' has no matching variable in dbgetv", name);
      total = dbINVALID;
      break;
    }
    Dbptr f = dblookup(db, nullptr, nullptr, name, nullptr);
    if (f.field < 0) {
      elog_log(0, "no field %s in table %s.\n", name, r->name);
      total = dbINVALID;
      break;
    }
    Field *field;
    Table *t;
    char *address;
    int size;
    if (dbresolve(f, nullptr, nullptr, &t, &field, &address, &size) != dbFIELD || !address) {
      elog_log(0, "Can't resolve db pointer in dbgetv: %d %d %d %d\n", f.database, f.table, f.field,
               f.record);
      total = dbINVALID;
      break;
    }
    // Read through a copy: another process may shorten the file at any moment.
    std::vector<char> text((size_t)size);
    if (db_copy_out(t, address, (size_t)size, text.data()) < 0) {
      total = dbINVALID;
      break;
    }
    total += dbd2c(text.data(), size, out, db_field_attribute(field)->type);
  }
  va_end(ap);
  return total;
}

void dbget_range(Dbptr db, int *first, int *end) {
  if (db.record == dbSCRATCH || db.record == dbNULL) {
    *first = db.record;
    *end = db.record + 1;
    return;
  }
  if (db.record == dbALL || db.field < 0) {
    *first = 0;
    Dbptr t = {db.database, db.table, dbALL, dbALL};
    int count = 0;
    *end = dbquery(t, dbRECORD_COUNT, &count) < 0 ? 0 : count;
    return;
  }
  *first = db.record;
  *end = db.field;
}

static const char kBundleSchema[] =
    "Attribute bundle\n"
    "\tDbptr (32)\n"
    "\tDescription ( \"database pointer to bundled/grouped data\" )\n"
    "\tFormat ( \"%d %d %d %d\" )\n"
    "\tDetail {\n"
    "\tA bundle is a special database pointer which refers to either an entire table or "
    "view, or to a contiguous subset of some table or view.  In the former case, both the "
    "record number and the field number should be dbALL.  In the latter case, the record "
    "number and the field number specify a range of records in the table.\n"
    "\t}\n"
    "\t;\n"
    "\n"
    "Attribute bundletype\n"
    "\tInteger (20)\n"
    "\tFormat ( \"%20d\" )\n"
    "\tDescription ( \"type of bundle\" )\n"
    "\tDetail {\n"
    "\tThe bundle type is an arbitrary integer which specifies the kind of the bundle.\n"
    "\t}\n"
    "\t;\n";

int dbadd_bundle(Dbptr db) {
  Database *d;
  Dbptr all = {db.database, dbALL, dbALL, dbALL};
  if (dbresolve(all, &d, nullptr, nullptr, nullptr, nullptr, nullptr) != dbDATABASE) return -1;
  if (getarr(d->schema->attributes, "bundle")) return 0;
  if (dbcompile(all, kBundleSchema) != 0) {
    elog_log(0, "Failed to compile bundle/bundletype attributes");
    return -1;
  }
  return 0;
}

// Whether db may write into a record of `table`: the scratch record always, the null
// record never (it is shared by every use of the relation), others when the table is
// writable (or, for dbputv, not opened from a file at all).
static bool may_write(Dbptr db, Table *table, bool unopened_ok, bool updated) {
  if (db.record == dbSCRATCH) return true;
  if (db.record == dbNULL) {
    elog_log(0, "The null record of %s can't be written\n", table->name);
    return false;
  }
  if (table->writable || (unopened_ok && table->fd < 0)) return true;
  const char *path = table->path ? table->path : table->name;
  if (updated)
    elog_log(0, "Table %s is opened read-only and cannot be updated\n", path);
  else
    elog_log(0, "Table %s is opened read-only\n", path);
  return false;
}

int dbput(Dbptr db, const char *text) {
  Relation *r;
  Table *t;
  Field *f;
  char *address;
  int size;
  int level = dbresolve(db, nullptr, &r, &t, &f, &address, &size);
  if (level == dbINVALID) return dbINVALID;
  if (!may_write(db, t, false, false)) return dbINVALID;
  if (!address && level != dbTABLE) return dbINVALID;
  if (!text) {
    if (level != dbRECORD && level != dbFIELD) return dbINVALID;
    if (!t->scratch) new_scratch(db, t);
    if (level == dbRECORD) {
      memmove(address, t->scratch, (size_t)size);
    } else {
      const char *from = t->scratch + f->offset;
      int type = db_field_attribute(f)->type;
      if (is_binary(type))
        memmove(address, from, (size_t)size);
      else {
        std::string copy(from, strnlen(from, (size_t)size));
        sncopy(address, copy.c_str(), size);
      }
    }
    return 0;
  }
  switch (level) {
    case dbTABLE:
    case dbRECORD: {
      if (!address) return size == 0 ? 0 : dbINVALID;
      if (r->has_refs) {
        // A view record holds pointers, not text: the caller's bytes as they are.
        memmove(address, text, (size_t)size);
        return 0;
      }
      // A text shorter than the record is not read past its end: the record keeps
      // blanks and its terminator after it (a table keeps its old bytes).
      size_t n = strnlen(text, (size_t)size);
      memmove(address, text, n);
      if (level == dbRECORD && n < (size_t)size) {
        memset(address + n, ' ', (size_t)size - n);
        if (r->terminator) address[size - 1] = r->terminator;
      }
      return 0;
    }
    case dbFIELD: {
      int type = db_field_attribute(f)->type;
      if (type == dbDBPTR)
        memmove(address, text, (size_t)(size < 16 ? size : 16));
      else if (is_binary(type))
        memmove(address, text, (size_t)size);
      else
        sncopy(address, text, size);
      return 0;
    }
    default:
      return dbINVALID;
  }
}

int db_put_arg(const Attribute *a, va_list *ap, char *address, int size, const char *name,
               const char *table, std::string *shown) {
  Dbvalue v;
  switch (a->type) {
    case dbINTEGER:
    case dbYEARDAY:
    case dbBSHORT:
    case dbBINT:
      v.i = va_arg(*ap, int);
      break;
    case dbREAL:
    case dbTIME:
    case dbBFLOAT:
    case dbBDOUBLE:
      v.d = va_arg(*ap, double);
      break;
    case dbSTRING:
      v.t = va_arg(*ap, char *);
      break;
    case dbDBPTR:
      v.db = va_arg(*ap, Dbptr);
      break;
    default:
      elog_log(0, "bad type %d set for %s in table %s.\n", a->type, name, table);
      return dbINVALID;
  }
  if (dbc2d(&v, address, size, a->format, a->type) == 0) return 0;
  shown->assign(address, (size_t)size);
  if (size >= 72) *shown = shown->substr(0, 67) + " ...";
  return 1;
}

int dbputv(Dbptr db, const char *table, ...) {
  db.field = dbALL;
  if (table && *table) db = dblookup(db, nullptr, table, nullptr, nullptr);
  Database *d;
  Relation *r;
  Table *t;
  int level = dbresolve(db, &d, &r, &t, nullptr, nullptr, nullptr);
  if (level != dbRECORD && level != dbFIELD) {
    elog_log(0, "bad db type in dbputv\n");
    return dbINVALID;
  }
  if (!may_write(db, t, true, true)) return dbINVALID;
  const double now = std_now();
  const char *timedate = d->schema->timedate;
  Table *stamped = nullptr;
  va_list ap;
  va_start(ap, table);
  int result = 0;
  for (;;) {
    const char *name = va_arg(ap, const char *);
    if (!name) break;
    Dbptr fp = dblookup(db, nullptr, nullptr, name, nullptr);
    if (fp.field < 0) {
      elog_log(0, "no field %s in table %s.\n", name, r->name);
      result = dbINVALID;
      break;
    }
    Relation *fr;
    Table *ft;
    Field *f;
    char *address;
    int size;
    if (dbresolve(fp, nullptr, &fr, &ft, &f, &address, &size) != dbFIELD || !address) {
      elog_log(0, "Can't resolve db pointer in dbputv: %d %d %d %d\n", fp.database, fp.table,
               fp.field, fp.record);
      result = dbINVALID;
      break;
    }
    if (!may_write(db, ft, true, true)) {
      result = dbINVALID;
      break;
    }
    if (ft != stamped && timedate) {
      stamped = ft;
      Field *tf = static_cast<Field *>(getarr(fr->field_arr, timedate));
      if (tf && !tf->is_ref) {
        Attribute *ta = static_cast<Attribute *>(tf->target);
        Dbvalue v;
        v.d = now;
        char *record = address - f->offset;
        dbc2d(&v, record + tf->offset, ta->size, ta->format, ta->type);
      }
      if (db.record != dbSCRATCH && ft->path) utimes(ft->path, nullptr);
    }
    Attribute *a = db_field_attribute(f);
    std::string shown;
    int put = db_put_arg(a, &ap, address, size, name, r->name, &shown);
    if (put < 0) {
      result = put;
      break;
    }
    if (put == 1) {
      elog_complain(0, "'%s' overflows field '%s' in record #%d of %s", shown.c_str(), name,
                    db.record, r->name);
    }
  }
  va_end(ap);
  return result;
}

int dbputx(Dbptr db, Dbvalue *value) {
  Table *t;
  Field *f;
  char *address;
  int size;
  if (dbresolve(db, nullptr, nullptr, &t, &f, &address, &size) != dbFIELD || !address) {
    elog_log(0, "Can't resolve db pointer in dbputx: %d %d %d %d\n", db.database, db.table,
             db.field, db.record);
    return dbINVALID;
  }
  if (!may_write(db, t, false, true)) return dbINVALID;
  Attribute *a = db_field_attribute(f);
  dbc2d(value, address, size, a->format, a->type);
  return 0;
}
