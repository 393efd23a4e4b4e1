// dbex_functions.cpp - the built-in functions of expressions: the table RVFunctions that
// the parser types calls from, and their evaluation.
//
// Positions, travel times and regions come from the science layer (science/science.h).
//
// Runs under the evaluator's mutex (dbex.cpp); nothing here keeps state between calls.
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "base/elog.h"
#include "base/paths.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "base/timetext.h"
#include "reldb/exinternal.h"
#include "science/science.h"
#include "support/stdtime.h"

const Exfunction RVFunctions[] = {
    {"distance", dbREAL, dbREAL, EX_FUNCTION4, 4},
    {"deg2km", dbREAL, dbREAL, EX_FUNCTION1, 1},
    {"km2deg", dbREAL, dbREAL, EX_FUNCTION1, 1},
    {"azimuth", dbREAL, dbREAL, EX_FUNCTION4, 4},
    {"latitude", dbREAL, dbREAL, EX_FUNCTION4, 4},
    {"longitude", dbREAL, dbREAL, EX_FUNCTION4, 4},
    {"abs", dbREAL, dbREAL, EX_FUNCTION1, 1},
    {"ceil", dbREAL, dbREAL, EX_FUNCTION1, 1},
    {"floor", dbREAL, dbREAL, EX_FUNCTION1, 1},
    {"int", dbREAL, dbREAL, EX_FUNCTION1, 1},
    {"sqrt", dbREAL, dbREAL, EX_FUNCTION1, 1},
    {"cos", dbREAL, dbREAL, EX_FUNCTION1, 1},
    {"sin", dbREAL, dbREAL, EX_FUNCTION1, 1},
    {"tan", dbREAL, dbREAL, EX_FUNCTION1, 1},
    {"atan", dbREAL, dbREAL, EX_FUNCTION2, 2},
    {"log", dbREAL, dbREAL, EX_FUNCTION1, 1},
    {"log10", dbREAL, dbREAL, EX_FUNCTION1, 1},
    {"sign", dbREAL, dbREAL, EX_FUNCTION1, 1},
    {"exp", dbREAL, dbREAL, EX_FUNCTION1, 1},
    {"epoch", dbTIME, dbINTEGER, EX_FUNCTION1, 1},
    {"ptime", dbREAL, dbREAL, EX_FUNCTION2, 2},
    {"pphasetime", dbREAL, dbREAL, EX_FUNCTION2, 2},
    {"pphase_slowness", dbREAL, dbREAL, EX_FUNCTION2, 2},
    {"stime", dbREAL, dbREAL, EX_FUNCTION2, 2},
    {"sphasetime", dbREAL, dbREAL, EX_FUNCTION2, 2},
    {"sphase_slowness", dbREAL, dbREAL, EX_FUNCTION2, 2},
    {"phase_slowness", dbREAL, dbSTRING, EX_FUNCTION3, 3},
    {"phasetime", dbREAL, dbSTRING, EX_FUNCTION3, 3},
    {"min", dbREAL, dbREAL, EX_FUNCTION2, 2},
    {"max", dbREAL, dbREAL, EX_FUNCTION2, 2},
    {"grn", dbINTEGER, dbREAL, EX_FUNCTION2, 2},
    {"grname", dbSTRING, dbREAL, EX_FUNCTION2, 2},
    {"gregion", dbSTRING, dbREAL, EX_FUNCTION2, 2},
    {"srn", dbINTEGER, dbREAL, EX_FUNCTION2, 2},
    {"srname", dbSTRING, dbREAL, EX_FUNCTION2, 2},
    {"sregion", dbSTRING, dbREAL, EX_FUNCTION2, 2},
    {"now", dbTIME, dbREAL, EX_FUNCTION0, 0},
    {"arrival", dbTIME, dbSTRING, EX_FUNCTION_DB1, 1},
    {"parrival", dbTIME, dbREAL, EX_FUNCTION_DB, 0},
    {"sarrival", dbTIME, dbREAL, EX_FUNCTION_DB, 0},
    {"phase_arrival", dbTIME, dbREAL, EX_FUNCTION_DB1, 1},
    {"null", dbSTRING, dbSTRING, EX_FUNCTION_DB1, 1},
    {"date2e", dbTIME, dbREAL, EX_FUNCTION4, 4},
    {"yearday", dbYEARDAY, dbTIME, EX_FUNCTION1, 1},
    {"strdate", dbSTRING, dbTIME, EX_FUNCTION1, 1},
    {"strtime", dbSTRING, dbTIME, EX_FUNCTION1, 1},
    {"strydtime", dbSTRING, dbTIME, EX_FUNCTION1, 1},
    {"dirname", dbSTRING, dbSTRING, EX_FUNCTION1, 1},
    {"basename", dbSTRING, dbSTRING, EX_FUNCTION1, 1},
    {"substr", dbSTRING, dbSTRING, EX_FUNCTION3, 3},
    {"strlen", dbINTEGER, dbSTRING, EX_FUNCTION1, 1},
    {"concatpaths", dbSTRING, dbSTRING, EX_FUNCTION2, 2},
    {"epoch2str", dbSTRING, dbSTRING, EX_FUNCTION2, 2},
    {"%epoch2str", dbSTRING, dbSTRING, EX_FUNCTION2, 2},
    {"%zepoch2str", dbSTRING, dbSTRING, EX_FUNCTION3, 3},
    {"strtdelta", dbSTRING, dbTIME, EX_FUNCTION1, 1},
    {"str2epoch", dbTIME, dbSTRING, EX_FUNCTION1, 1},
    {"patsub", dbSTRING, dbSTRING, EX_PATSUB, 3},
    {"record", dbINTEGER, 0, EX_FUNCTION_DB, 0},
    {"count", dbINTEGER, 0, EX_PLACEHOLDER, 0},
    {"%count_group", dbINTEGER, 0, EX_FUNCTION_DB, 0},
    {"count_table", dbINTEGER, 0, EX_FUNCTION_DB, 0},
    {"extfile", dbSTRING, 0, EX_PLACEHOLDER, 0},
    {"%dbfilename", dbSTRING, 0, EX_FUNCTION_DB, 0},
    {"%dbextfile", dbSTRING, dbSTRING, EX_FUNCTION_DB1, 1},
    {"sum", dbREAL, dbREAL, EX_PLACEHOLDER, 1},
    {"%sum_group", dbREAL, dbREAL, EX_AGGREGATE, 1},
    {"sum_table", dbREAL, dbREAL, EX_AGGREGATE, 1},
    {"%MAX", dbREAL, dbREAL, EX_PLACEHOLDER, 1},
    {"%max_group", dbREAL, dbREAL, EX_AGGREGATE, 1},
    {"max_table", dbREAL, dbREAL, EX_AGGREGATE, 1},
    {"%MIN", dbREAL, dbREAL, EX_PLACEHOLDER, 1},
    {"%min_group", dbREAL, dbREAL, EX_AGGREGATE, 1},
    {"min_table", dbREAL, dbREAL, EX_AGGREGATE, 1},
};
const int RVnfunctions = (int)(sizeof RVFunctions / sizeof RVFunctions[0]);

int eqfunct(const char *name) {
  for (int i = 0; i < RVnfunctions; i++)
    if (strcmp(RVFunctions[i].name, name) == 0) return i;
  return -1;
}

namespace {

constexpr double kPi = 3.141592653589793;
double rad(double deg) { return deg * kPi / 180.0; }
double deg(double r) { return r * 180.0 / kPi; }

ExValue real(double d) {
  ExValue v;
  v.d = d;
  return v;
}
ExValue integer(int i) {
  ExValue v;
  v.i = i;
  return v;
}

// Decimal integer of a text (leading number; 0 when none), within the int range.
long long text_int(const char *s) {
  errno = 0;
  long long v = strtoll(s, nullptr, 10);
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return v;
}

std::string substr(const char *text, long long start, long long length) {
  long long n = (long long)strlen(text);
  if (start < 0) start += n;
  if (start < 0) start = 0;
  if (start >= n) return "";
  std::string s(text + start);
  long long m = (long long)s.size();
  if (length > 0 && m > length)
    s.resize((size_t)length);
  else if (length < 0 && m > -length)
    s.resize((size_t)(m + length));
  return s;
}

// Reads origin.time, the origin's and the site's position from the current record and
// gives the origin time, the distance in degrees and the origin's depth; false (counted)
// when they can't be read.
bool origin_site(ExEvaluator *ev, Dbptr db, double *time, double *distance, double *depth) {
  double olat, olon, slat, slon;
  if (dbgetv(db, nullptr, "origin.time", time, "origin.lat", &olat, "origin.lon", &olon,
             "origin.depth", depth, "site.lat", &slat, "site.lon", &slon, nullptr) < 0) {
    elog_log(0, "can't read the origin and site of the record\n");
    ev->error();
    return false;
  }
  double delta, az;
  dist(rad(olat), rad(olon), rad(slat), rad(slon), &delta, &az);
  *distance = deg(delta);
  return true;
}

// A decimal number given as text to phasetime and phase_slowness; false (counted) when
// the text holds none.
bool text_real(ExEvaluator *ev, const char *name, const char *text, double *out) {
  char *end = nullptr;
  errno = 0;
  *out = fix_strtod(text, &end);
  while (end && isspace((unsigned char)*end)) end++;
  if (end == text || !end || *end || errno == ERANGE) {
    elog_log(0, "%s: '%s' is not a number\n", name, text);
    ev->error();
    return false;
  }
  return true;
}

// Origin time plus a travel time to the site of the current record (arrival, parrival,
// sarrival). A negative travel time is the model's "no such ray": an error, never a time
// before the origin.
ExValue arrival(ExEvaluator *ev, Dbptr db, const char *name, const char *phase) {
  double time, distance, depth;
  if (!origin_site(ev, db, &time, &distance, &depth)) return real(HUGE_VAL);
  double t = phasetime(phase, distance, depth);
  if (t < 0.0) {
    elog_log(0, "%s: no %s travel time to distance %g at depth %g\n", name, phase, distance, depth);
    ev->error();
    return real(HUGE_VAL);
  }
  return real(time + t);
}

ExValue null_value(ExEvaluator *ev, Dbptr db, const char *name) {
  ExValue v;
  Dbptr f = db;
  f.record = dbNULL;
  f = dblookup(f, nullptr, nullptr, name, nullptr);
  if (f.field < 0) {
    Tbl *tables = dbtables(db, name);
    const char *first = static_cast<const char *>(gettbl(tables, 0));
    if (!first) return v;
    f = dblookup(db, nullptr, first, name, "dbNULL");
    if (f.field < 0) return v;
  }
  f.record = dbNULL;
  int size = dbquery(f, dbFIELD_SIZE, nullptr);
  if (size < 0) return v;
  std::string buf((size_t)size + 1, '\0');
  if (dbget(f, &buf[0]) < 0) return v;
  buf.resize(strlen(buf.c_str()));
  v.s = ev->keep(strtrim(&buf[0]));
  return v;
}

// The range of records of the group the current record stands for.
bool group_range(ExEvaluator *ev, Dbptr db, Dbptr *bundle, int *first, int *end) {
  if (dbgetv(db, nullptr, "bundle", bundle, nullptr) < 0) {
    elog_log(0, "can't read the bundle of the record\n");
    ev->error();
    return false;
  }
  dbget_range(*bundle, first, end);
  bundle->field = dbALL;
  return true;
}

ExValue aggregate(ExEvaluator *ev, Dbptr db, Expression *node) {
  const char *name = RVFunctions[node->value.i].name;
  Expression *arg = static_cast<Expression *>(gettbl(node->expr_tbl, 0));
  bool group = name[0] == '%';
  Dbptr over = db;
  int first = 0, end = 0;
  if (group) {
    if (!group_range(ev, db, &over, &first, &end)) return real(HUGE_VAL);
  } else {
    over.field = dbALL;
    over.record = dbALL;
    int count = dbquery(over, dbRECORD_COUNT, nullptr);
    if (count < 0) {
      ev->error();
      return real(HUGE_VAL);
    }
    end = count;
  }
  bool sum = strstr(name, "sum") != nullptr, max = strstr(name, "max") != nullptr;
  // Max and min of no records have no value: fail rather than take whatever record
  // happens to sit at the start of the empty range.
  if (!sum && end <= first) {
    elog_log(0, "%s: no records\n", name);
    ev->error();
    return real(HUGE_VAL);
  }
  double kept = 0.0;
  bool have = sum;
  for (int r = first; r < end; r++) {
    over.record = r;
    double d;
    if (_dbex_eval(over, arg, 0, &d) < 0) {
      ev->error();
      continue;
    }
    if (sum)
      kept += d;
    else if (!have)
      kept = d, have = true;
    else if (max ? d > kept : d < kept)
      kept = d;
  }
  return real(kept);
}

// The arguments of a call; a missing one reads as an empty value.
struct CallArgs {
  const std::vector<ExValue> &a;
  ExValue operator()(size_t i) const { return i < a.size() ? a[i] : ExValue(); }
};

// A text result made by the callee (owned by the evaluator from here), or an error for
// none.
ExValue adopted(ExEvaluator *ev, char *s) {
  ExValue v;
  if (!s) {
    ev->error();
    return v;
  }
  v.s = ev->adopt(s);
  return v;
}

// Rows 0-36: numbers, positions on the sphere, travel times, regions and the time now.
// None for another row.
std::optional<ExValue> call_numeric(ExEvaluator *ev, int row, const char *name,
                                    const CallArgs &arg) {
  double delta, az, la, lo;
  switch (row) {
    case 0:  // distance
      dist(rad(arg(0).d), rad(arg(1).d), rad(arg(2).d), rad(arg(3).d), &delta, &az);
      return real(deg(delta));
    case 1:
      return real(deg2km(arg(0).d));
    case 2:
      return real(km2deg(arg(0).d));
    case 3:  // azimuth
      dist(rad(arg(0).d), rad(arg(1).d), rad(arg(2).d), rad(arg(3).d), &delta, &az);
      return real(deg(az));
    case 4:
    case 5:  // latitude, longitude (lat, lon, distance, azimuth)
      latlon(rad(arg(0).d), rad(arg(1).d), rad(arg(2).d), rad(arg(3).d), &la, &lo);
      return real(deg(row == 4 ? la : lo));
    case 6:
      return real(std::fabs(arg(0).d));
    case 7:
      return real(std::ceil(arg(0).d));
    case 8:
      return real(std::floor(arg(0).d));
    case 9:
      return real(arg(0).d < 0 ? std::ceil(arg(0).d) : std::floor(arg(0).d));
    case 10:
      return real(std::sqrt(arg(0).d));
    case 11:
      return real(std::cos(rad(arg(0).d)));
    case 12:
      return real(std::sin(rad(arg(0).d)));
    case 13:
      return real(std::tan(rad(arg(0).d)));
    case 14:
      return real(deg(std::atan2(arg(0).d, arg(1).d)));
    case 15:
      return real(std::log(arg(0).d));
    case 16:
      return real(std::log10(arg(0).d));
    case 17:
      return real(arg(0).d > 0 ? 1.0 : arg(0).d < 0 ? -1.0 : 0.0);
    case 18:
      return real(std::exp(arg(0).d));
    case 19:
      return real(epoch(arg(0).i));
    case 20:
    case 21:
      return real(pphasetime(arg(0).d, arg(1).d));
    case 22:
      return real(pphase_slowness(arg(0).d, arg(1).d));
    case 23:
    case 24:
      return real(sphasetime(arg(0).d, arg(1).d));
    case 25:
      return real(sphase_slowness(arg(0).d, arg(1).d));
    case 26:
    case 27: {  // phase_slowness, phasetime (phase, distance text, depth text)
      double distance, depth;
      if (!text_real(ev, name, arg(1).s, &distance) || !text_real(ev, name, arg(2).s, &depth))
        return real(HUGE_VAL);
      return real(row == 26 ? phase_slowness(arg(0).s, distance, depth)
                            : phasetime(arg(0).s, distance, depth));
    }
    case 28:
      return real(arg(1).d < arg(0).d ? arg(1).d : arg(0).d);
    case 29:
      return real(arg(0).d > arg(1).d ? arg(0).d : arg(1).d);
    case 30:
      return integer(grnumber(arg(0).d, arg(1).d));
    case 31:
    case 32: {  // grname, gregion
      ExValue v;
      v.s = ev->keep(grname(grnumber(arg(0).d, arg(1).d)));
      return v;
    }
    case 33:
      return integer(srnumber(grnumber(arg(0).d, arg(1).d)));
    case 34:
    case 35: {  // srname, sregion
      ExValue v;
      v.s = ev->keep(srname(srnumber(grnumber(arg(0).d, arg(1).d))));
      return v;
    }
    case 36:
      return real(std_now());
    default:
      return std::nullopt;
  }
}

// Rows 42-57: calendar dates, time texts, file names and text functions. None for
// another row.
std::optional<ExValue> call_text(ExEvaluator *ev, Expression *node, int row, const CallArgs &arg) {
  auto text = [&](char *t) { return adopted(ev, t); };
  switch (row) {
    case 42: {  // date2e
      int y = (int)std::fmax(std::fmin(std::trunc(arg(0).d), INT_MAX), INT_MIN);
      int m = (int)std::fmax(std::fmin(std::trunc(arg(1).d), INT_MAX), INT_MIN);
      int d = (int)std::fmax(std::fmin(std::trunc(arg(2).d), INT_MAX), INT_MIN);
      return real(h2e(y, mday2doy(y, m, d), 0, 0, 0) + arg(3).d);
    }
    case 43:
      return integer(yearday(arg(0).d));
    case 44:
      return text(strdate(arg(0).d));
    case 45:
      return text(strtime(arg(0).d));
    case 46:
      return text(strydtime(arg(0).d));
    case 47:
    case 48: {  // dirname, basename
      char *dir = nullptr, *base = nullptr;
      dirbase(arg(0).s, &dir, &base);
      ExValue v;
      v.s = ev->keep(row == 47 ? (dir ? dir : "") : (base ? base : ""));
      free(dir);
      free(base);
      return v;
    }
    case 49: {
      ExValue v;
      v.s = ev->keep(substr(arg(0).s, text_int(arg(1).s), text_int(arg(2).s)));
      return v;
    }
    case 50:
      return integer((int)strnlen(arg(0).s, INT_MAX));
    case 51:
      return text(concatpaths(arg(0).s, arg(1).s));
    case 52:
    case 53:
      return text(epoch2str(str2epoch(arg(0).s), arg(1).s));
    case 54:
      return text(zepoch2str(str2epoch(arg(0).s), arg(1).s, arg(2).s));
    case 55:
      return text(strtdelta(arg(0).d));
    case 56:
      return real(str2epoch(arg(0).s));
    case 57: {  // patsub
      char *s = patsub(arg(0).s, node->right->value.regexp, arg(2).s);
      if (s && strlen(s) > DBEX_MAX_PATSUB) {
        free(s);
        elog_log(0, "patsub: result longer than %d bytes\n", (int)DBEX_MAX_PATSUB);
        ev->error();
        return ExValue();
      }
      return text(s);
    }
    default:
      return std::nullopt;
  }
}

// Rows 37-41 and 58 on: arrivals, null values, the record, groups, tables, file names and
// aggregates. None for another row.
std::optional<ExValue> call_database(ExEvaluator *ev, Dbptr db, Expression *node, int row,
                                     const char *name, const CallArgs &arg) {
  switch (row) {
    case 37:
      return arrival(ev, db, name, arg(0).s);
    case 38:
      return arrival(ev, db, name, "P");
    case 39:
      return arrival(ev, db, name, "S");
    case 40: {  // phase_arrival
      double time, distance, depth;
      if (!origin_site(ev, db, &time, &distance, &depth)) return real(HUGE_VAL);
      return real(time + distance / arg(0).d);
    }
    case 41:
      return null_value(ev, db, arg(0).s);
    case 58:
      return integer(db.record);
    case 60: {  // %count_group
      Dbptr bundle;
      int first, end;
      if (!group_range(ev, db, &bundle, &first, &end)) return integer(0);
      return integer(end - first);
    }
    case 61: {  // count_table
      Dbptr t = db;
      t.field = dbALL;
      t.record = dbALL;
      int n = dbquery(t, dbRECORD_COUNT, nullptr);
      if (n < 0) ev->error();
      return integer(n);
    }
    case 63:
    case 64: {  // %dbfilename, %dbextfile
      std::string path(PATH_MAX + 1, '\0');
      if (row == 63)
        dbfilename(db, &path[0]);
      else
        dbextfile(db, arg(0).s, &path[0]);
      path.resize(strlen(path.c_str()));
      ExValue v;
      v.s = ev->keep(std::move(path));
      return v;
    }
    case 66:
    case 67:
    case 69:
    case 70:
    case 72:
    case 73:
      return aggregate(ev, db, node);
    default:
      return std::nullopt;
  }
}

}  // namespace

ExValue exfunction_call(ExEvaluator *ev, Dbptr db, Expression *node,
                        const std::vector<ExValue> &a) {
  int row = node->value.i;
  const char *name = row >= 0 && row < RVnfunctions ? RVFunctions[row].name : "";
  const CallArgs arg{a};
  std::optional<ExValue> v = call_numeric(ev, row, name, arg);
  if (!v) v = call_text(ev, node, row, arg);
  if (!v) v = call_database(ev, db, node, row, name, arg);
  if (v) return *v;
  elog_log(0, "function %s can't be called\n", name);
  ev->error();
  return ExValue();
}
