// dbex.cpp - expression trees: the type tables, node construction and conversion,
// freeing, the tree printer and the evaluator (dbex_eval) with assignment into fields and
// the command form that runs a program.
//
// Each evaluation has its own error count and its own working texts (an Evaluator);
// aggregates evaluate their argument through _dbex_eval, which makes a fresh one. Trees
// are at most DBEX_MAX_DEPTH deep (the compiler refuses deeper ones), which bounds the
// recursion here.
//
// Locking: dbex_eval holds one process-wide mutex for the whole evaluation.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "base/elog.h"
#include "base/oom.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "base/timetext.h"
#include "reldb/dbinternal.h"
#include "reldb/exinternal.h"

// --- Type tables ---

const int Plus_result[8][8] = {
    {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 2, 3, 4, 5, 2, 0},
    {0, 0, 3, 3, 4, 4, 3, 0}, {0, 0, 4, 4, 0, 0, 0, 0}, {0, 0, 5, 4, 0, 0, 5, 0},
    {0, 0, 2, 3, 0, 5, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0},
};
const int Minus_result[8][8] = {
    {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0}, {0, 0, 2, 3, 4, 0, 2, 0},
    {0, 0, 3, 3, 4, 4, 3, 0}, {0, 0, 4, 4, 3, 3, 0, 0}, {0, 0, 5, 4, 3, 0, 5, 0},
    {0, 0, 2, 3, 0, 5, 0, 0}, {0, 0, 0, 0, 0, 0, 0, 0},
};
const int Multiply_result[8][8] = {
    {0, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 2, 3, 3, 2, 3, 0}, {0, 2, 2, 3, 3, 2, 3, 0},
    {0, 3, 3, 3, 3, 3, 3, 0}, {0, 3, 3, 3, 3, 3, 3, 0}, {0, 2, 2, 3, 3, 2, 3, 0},
    {0, 3, 3, 3, 3, 3, 3, 0}, {0, 0, 0, 0, 0, 0, 0, 0},
};
const int Bit_result[8][8] = {
    {0, 0, 0, 0, 0, 0, 0, 0}, {0, 2, 2, 2, 2, 2, 2, 2}, {0, 2, 2, 2, 2, 2, 2, 2},
    {0, 2, 2, 2, 2, 2, 2, 2}, {0, 2, 2, 2, 2, 2, 2, 2}, {0, 2, 2, 2, 2, 2, 2, 2},
    {0, 2, 2, 2, 2, 2, 2, 2}, {0, 0, 0, 0, 0, 0, 0, 0},
};
const int Boolean_eval[8][8] = {
    {0, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 1, 1, 1, 1, 1, 6}, {0, 1, 1, 3, 4, 5, 2, 6},
    {0, 1, 3, 3, 4, 4, 3, 6}, {0, 1, 4, 4, 4, 4, 4, 6}, {0, 1, 5, 4, 4, 5, 5, 6},
    {0, 1, 2, 3, 4, 5, 6, 6}, {0, 0, 0, 0, 0, 0, 0, 0},
};
const int Logical_eval[8][8] = {
    {0, 0, 0, 0, 0, 0, 0, 0}, {0, 1, 1, 1, 1, 1, 1, 1}, {0, 1, 1, 1, 1, 1, 1, 1},
    {0, 1, 1, 1, 1, 1, 1, 1}, {0, 1, 1, 1, 1, 1, 1, 1}, {0, 1, 1, 1, 1, 1, 1, 1},
    {0, 1, 1, 1, 1, 1, 1, 1}, {0, 0, 0, 0, 0, 0, 0, 0},
};
const int type_convert[8][8] = {
    {-1, -1, -1, -1, -1, -1, -1, -1}, {-1, 0, 0, 1, -1, -1, 1, -1},     {-1, 0, 0, 1, 1, 0, 1, -1},
    {-1, 1, 1, 0, 0, 1, 1, -1},       {-1, 1, 1, 0, 0, 1, 1, -1},       {-1, 0, 0, 1, 1, 0, 1, -1},
    {-1, 1, 1, 1, 1, 1, 0, -1},       {-1, -1, -1, -1, -1, -1, -1, -1},
};

// --- Nodes ---

Expression *exnew(int type, int kind, int value) {
  Expression *e = static_cast<Expression *>(calloc(1, sizeof(Expression)));
  if (!e) OUT_OF_MEMORY(sizeof(Expression), "new");
  e->type = type;
  e->kind = kind;
  e->value.i = value;
  e->depth = 1;
  return e;
}

Expression *ex_to_type(Expression *node, int type) {
  if (type < 0 || type > 7) elog_die(0, "Bad type %d in ex_to_type \n", type);
  int from = node->type >= 0 && node->type <= 7 ? node->type : 0;
  int how = type_convert[from][type];
  if (how == 0) return node;
  Expression *c = exnew(how < 0 ? 0 : type, EX_CONVERT, from);
  c->left = node;
  c->depth = node->depth + 1;
  return c;
}

void dbex_free(Expression *e) {
  if (!e) return;
  dbex_free(e->left);
  dbex_free(e->right);
  dbex_free(e->x3);
  dbex_free(e->x4);
  if (e->expr_tbl) freetbl(e->expr_tbl, [](void *n) { dbex_free(static_cast<Expression *>(n)); });
  if (e->kind == EX_IMMEDIATE && e->type == dbSTRING)
    free(e->value.s);
  else if (e->kind == EX_IMMEDIATE && e->type == dbREGEXPR && e->value.regexp) {
    regfree(e->value.regexp);
    free(e->value.regexp);
  } else if (e->kind == EX_FIELD || e->kind == EX_NULL) {
    free(e->value.s);
  }
  free(e);
}

const char *dbtypename(int type) {
  static const char *const names[] = {
      "dbBOOLEAN", "dbINTEGER", "dbREAL", "dbTIME", "dbYEARDAY", "dbSTRING", "regular expression"};
  if (type == dbINVALID) return "dbINVALID";
  if (type >= 1 && type <= 7) return names[type - 1];
  return "** Unknown **";
}

namespace {
int Convert_errors = 0;  // badconvert's count, taken over by the running evaluation
}

void badconvert(int from, int to) {
  elog_log(0, "Bad conversion (compile error) from %s to %s\n", dbtypename(from), dbtypename(to));
  Convert_errors++;
}

// --- Printing ---

void exshow_type(int type) {
  static const char *const names[] = {"(invalid)", "(boolean)", "(integer)", "(real)",
                                      "(time)",    "(yearday)", "(string)",  "(regexp)"};
  fputs(type >= 0 && type <= 7 ? names[type] : "(**UNKNOWN**)", stdout);
}

static void exshow_immediate(Exvalue value, int type) {
  char buf[STRDBL_SIZE];
  switch (type) {
    case 0:
      fputs("(invalid)", stdout);
      break;
    case dbBOOLEAN:
      printf(" %s ", value.i ? "true" : "false");
      break;
    case dbINTEGER:
    case dbYEARDAY:
      printf(" %d ", value.i);
      break;
    case dbREAL:
      printf(" %s ", strdbl(value.d, buf, sizeof buf));
      break;
    case dbTIME: {
      char *t = strydtime(value.d);
      printf(" %s ", t);
      free(t);
      break;
    }
    case dbSTRING:
      printf(" \"%s\" ", value.s ? value.s : "");
      break;
    case dbREGEXPR:
      fputs(" /RE/ ", stdout);
      break;
    default:
      fputs("(**UNKNOWN**)", stdout);
  }
}

void exshow_value(Exvalue value, int kind, int type) {
  static const char *const ops[] = {" OR ",       " AND ",    " LT ", " LE ", " EQ ", " GE ",
                                    " GT ",       " NE ",     " + ",  " - ",  " * ",  " / ",
                                    " LIKE ",     " UNLIKE ", "^",    " ? ",  " := ", " . ",
                                    " negative ", " % ",      " | ",  " & ",  " >> ", " << "};
  switch (kind) {
    case EX_IMMEDIATE:
      exshow_immediate(value, type);
      break;
    case EX_OPERATOR:
      fputs(value.i >= 0 && value.i <= EXOP_SHL ? ops[value.i] : " unknown operator ", stdout);
      break;
    case EX_FIELD:
      printf(" %s ", value.s ? value.s : "");
      break;
    case EX_FUNCTION1:
    case EX_FUNCTION2:
    case EX_FUNCTION3:
    case EX_FUNCTION4:
    case EX_PATSUB:
    case EX_FUNCTION0:
    case EX_FUNCTION_DB:
    case EX_FUNCTION_DB1:
    case EX_AGGREGATE:
      printf(" %s", value.i >= 0 && value.i < RVnfunctions ? RVFunctions[value.i].name : "?");
      break;
    case EX_CONVERT:
      fputs(" type-conversion ", stdout);
      break;
    case EX_NULL:
      fputs(" NULL", stdout);
      break;
    case EX_EXEC:
      fputs(" Exec", stdout);
      break;
    case EX_PIPE:
      fputs(" Pipe", stdout);
      break;
    default:
      printf("** Error: Unknown kind %d in node!!\n", kind);
  }
}

void exshow_expression(Expression *e, int showtypes) {
  if (!e) return;
  exshow_expression(e->left, showtypes);
  exshow_expression(e->right, showtypes);
  for (long i = 0; i < maxtbl(e->expr_tbl); i++)
    exshow_expression(static_cast<Expression *>(gettbl(e->expr_tbl, i)), showtypes);
  if (showtypes) exshow_type(e->type);
  exshow_value(e->value, e->kind, e->type);
}

// --- Evaluation ---

namespace {

std::mutex Eval_mutex;

int wrap(int64_t v) { return (int)(int32_t)(uint32_t)(uint64_t)v; }

// floor, then cut to 32 bits; values outside the range (and NaN) give the nearest limit.
int to_int32(double d) {
  if (std::isnan(d)) return INT_MIN;
  d = std::floor(d);
  if (d >= 2147483647.0) return INT_MAX;
  if (d <= -2147483648.0) return INT_MIN;
  return (int)d;
}

bool is_int_type(int t) { return t == dbBOOLEAN || t == dbINTEGER || t == dbYEARDAY; }

// phasetime and phase_slowness take distance and depth as texts and read them back as
// numbers: a real given to them becomes the shortest text that reads back equal, not the
// six digits of "%g", so that the call sees the value it was given.
bool exact_real_texts(const Expression *call) {
  int row = call->value.i;
  if (row < 0 || row >= RVnfunctions) return false;
  return strcmp(RVFunctions[row].name, "phasetime") == 0 ||
         strcmp(RVFunctions[row].name, "phase_slowness") == 0;
}
bool is_double_type(int t) { return t == dbREAL || t == dbTIME; }

// isspace, with the ASCII answers (the same in every locale) given without a call.
bool white(unsigned char c) {
  if (c == ' ' || (c >= '\t' && c <= '\r')) return true;
  return c >= 0x80 && isspace(c);
}

// Where the field that node e names lies in the record of db (a record of the scanned
// table, of rsize bytes): its offset in the record, size and type. False when the field
// lies elsewhere (another table of a view, or outside the record).
bool field_place(Dbptr db, const Expression *e, const Table *scanned, size_t rsize, int *offset,
                 int *size, int *ftype) {
  Dbptr f = dblookup(db, nullptr, nullptr, e->value.s, nullptr);
  Table *t = nullptr;
  Field *field = nullptr;
  char *address = nullptr;
  int n = 0;
  if (f.field < 0 || dbresolve(f, nullptr, nullptr, &t, &field, &address, &n) != dbFIELD ||
      !address || !field || t != scanned || !t->data)
    return false;
  const char *record = t->data + (size_t)db.record * rsize;
  if (address < record || address + n > record + rsize) return false;
  *offset = (int)(address - record);
  *size = n;
  *ftype = db_field_attribute(field)->type;
  return true;
}

struct ScanSlot {
  const Expression *node;
  int offset;
  int size;
  int ftype;
  std::string text;  // the value of a text field in the current record
};

class Evaluator final : public ExEvaluator {
 public:
  Evaluator(Dbptr db, int setflag) : db_(db), setflag_(setflag) {}
  ~Evaluator() override {
    for (char *t : adopted_) free(t);
  }

  // Makes the evaluator scan `table` (records of rsize bytes).
  void scan(const Table *table, size_t rsize) {
    scan_table_ = table;
    scan_rsize_ = rsize;
  }
  // Starts a fresh evaluation of record `record`, whose bytes are at `bytes` when it is
  // read from a copy (none: fields are read one by one).
  void begin(int record, const char *bytes) {
    db_.record = record;
    scan_record_ = bytes;
    errors_ = 0;
    if (!texts_.empty()) texts_.clear();
    for (char *t : adopted_) free(t);
    adopted_.clear();
    if (!records_.empty()) records_.clear();
  }

  void error() override { errors_++; }
  const char *keep(std::string text) override {
    texts_.push_back(std::move(text));
    return texts_.back().c_str();
  }
  const char *adopt(char *text) override {
    if (!text) return "";
    adopted_.push_back(text);
    return text;
  }
  int errors() const { return errors_; }

  ExValue value(Expression *e) {
    ExValue v;
    switch (e->kind) {
      case EX_IMMEDIATE:
        if (is_int_type(e->type))
          v.i = e->value.i;
        else if (is_double_type(e->type))
          v.d = e->value.d;
        else if (e->type == dbSTRING)
          v.s = e->value.s ? e->value.s : "";
        return v;
      case EX_FIELD:
        if (scan_record_) return scan_field(e);
        return read_field(db_, e->value.s, e->type);
      case EX_NULL: {
        if (!e->value.s) {
          elog_log(0, "NULL stands for no field here\n");
          error();
          return v;
        }
        Dbptr n = db_;
        n.record = dbNULL;
        return read_field(n, e->value.s, e->type);
      }
      case EX_CONVERT:
        return convert(value(e->left), e->value.i, e->type);
      case EX_OPERATOR:
        return operate(e);
      case EX_FUNCTION1:
      case EX_FUNCTION2:
      case EX_FUNCTION3:
      case EX_FUNCTION4:
      case EX_FUNCTION0:
      case EX_FUNCTION_DB:
      case EX_FUNCTION_DB1:
      case EX_PATSUB:
        return call(e);
      case EX_AGGREGATE:
        return exfunction_call(this, db_, e, {});
      case EX_EXEC:
        v.s = run(e);
        return v;
      case EX_PIPE:
        elog_log(0, "The [| ] form can't be evaluated\n");
        error();
        return v;
      default:
        elog_log(0, "unknown expression node kind %d\n", e->kind);
        error();
        return v;
    }
  }

 private:
  // A function call. Kept out of value(), whose frame every node of a tree takes.
  [[gnu::noinline]] ExValue call(Expression *e) {
    if (e->kind == EX_PATSUB) {
      std::vector<ExValue> args{value(e->left), ExValue(), value(e->x3)};
      return exfunction_call(this, db_, e, args);
    }
    std::vector<ExValue> args;
    bool exact = exact_real_texts(e);
    for (long i = 0; i < maxtbl(e->expr_tbl); i++) {
      Expression *a = static_cast<Expression *>(gettbl(e->expr_tbl, i));
      if (exact && a->kind == EX_CONVERT && a->value.i == dbREAL && a->type == dbSTRING) {
        char buf[STRDBL_SIZE];
        ExValue t;
        t.s = keep(strdbl(value(a->left).d, buf, sizeof buf));
        args.push_back(t);
      } else {
        args.push_back(value(a));
      }
    }
    return exfunction_call(this, db_, e, args);
  }

  // The bytes of a field. A record of a mapped table file is copied out (pread) once per
  // evaluation and its fields are taken from the copy: another process may shorten the
  // file at any moment, and one read per record costs less than one per field.
  bool field_text(Dbptr db, const char *name, std::string *text, int *type) {
    Dbptr f = dblookup(db, nullptr, nullptr, name, nullptr);
    Table *t = nullptr;
    Field *field = nullptr;
    char *address = nullptr;
    int size = 0;
    if (f.field < 0 || dbresolve(f, nullptr, nullptr, &t, &field, &address, &size) != dbFIELD ||
        !address || !field) {
      elog_log(0, "Can't read field %s\n", name);
      return false;
    }
    *type = db_field_attribute(field)->type;
    const size_t rsize = t && t->relation && t->relation->size > 0 ? (size_t)t->relation->size : 0;
    const bool mapped = rsize && !t->relation->transient && t->fd >= 0 && t->data &&
                        address >= t->data && address < t->data + t->length;
    if (!mapped) {
      text->resize((size_t)size);
      return db_copy_out(t, address, (size_t)size, text->data()) == 0;
    }
    const size_t off = (size_t)(address - t->data);
    const size_t at = off / rsize * rsize;
    if (off + (size_t)size > at + rsize) {
      text->resize((size_t)size);
      return db_copy_out(t, address, (size_t)size, text->data()) == 0;
    }
    RecordCopy *copy = nullptr;
    for (RecordCopy &c : records_)
      if (c.table == t && c.at == at) copy = &c;
    if (!copy) {
      std::string bytes(rsize, '\0');
      if (db_copy_out(t, t->data + at, rsize, bytes.data()) < 0) return false;
      records_.push_back({t, at, std::move(bytes)});
      copy = &records_.back();
    }
    text->assign(copy->bytes, off - at, (size_t)size);
    return true;
  }

  [[gnu::noinline]] ExValue read_field(Dbptr db, const char *name, int type) {
    ExValue v;
    std::string text;
    int ftype = 0;
    if (!field_text(db, name, &text, &ftype)) {
      error();
      if (type == dbSTRING) v.s = "";
      return v;
    }
    return field_value(text.data(), (int)text.size(), ftype, type);
  }

  // The value of a field's text (`size` bytes of type ftype) as type `type`.
  ExValue field_value(const char *text, int size, int ftype, int type) {
    ExValue v;
    if (is_int_type(type)) {
      if (dbd2c(text, size, &v.i, ftype) < 0) {
        v.i = 0;
        error();
      }
    } else if (is_double_type(type)) {
      if (dbd2c(text, size, &v.d, ftype) < 0) {
        v.d = 0.0;
        error();
      }
    } else if (type == dbSTRING) {
      // The buffer takes the whole field, however wide the schema makes it.
      string_buf_.assign((size_t)(size > 64 ? size : 64) + 1, '\0');
      if (dbd2c(text, size, string_buf_.data(), ftype) < 0) error();
      string_buf_.back() = '\0';
      size_t n = strlen(string_buf_.data());
      while (n > 0 && isspace((unsigned char)string_buf_[n - 1])) n--;
      v.s = keep(std::string(string_buf_.data(), n));
    } else {
      badconvert(type, type);
    }
    return v;
  }

  // A field during a scan: taken from the copy of the record when it is a field of the
  // scanned table itself (found once per node), else read as outside a scan.
  ExValue scan_field(Expression *e) {
    ScanSlot *slot = nullptr;
    for (ScanSlot &s : slots_)
      if (s.node == e) slot = &s;
    if (!slot) {
      slots_.push_back(find_slot(e));
      slot = &slots_.back();
    }
    if (slot->offset < 0) return read_field(db_, e->value.s, e->type);
    const char *text = scan_record_ + slot->offset;
    if (e->type == dbSTRING && slot->ftype == dbSTRING) {
      // A text field's text to its first NUL, without trailing white space (what
      // field_value keeps), held by the node's slot until the next record.
      size_t n = strnlen(text, (size_t)slot->size);
      while (n > 0 && white((unsigned char)text[n - 1])) n--;
      slot->text.assign(text, n);
      ExValue v;
      v.s = slot->text.c_str();
      return v;
    }
    return field_value(text, slot->size, slot->ftype, e->type);
  }

  [[gnu::noinline]] ScanSlot find_slot(const Expression *e) {
    ScanSlot slot{e, -1, 0, 0, std::string()};
    if (!field_place(db_, e, scan_table_, scan_rsize_, &slot.offset, &slot.size, &slot.ftype))
      slot.offset = -1;
    return slot;
  }

  [[gnu::noinline]] ExValue convert(ExValue a, int from, int to) {
    ExValue v;
    auto fail = [&]() {
      badconvert(from, to);
      v.i = INT_MIN;
      v.d = HUGE_VAL;
      return v;
    };
    auto read_number = [&](const char *s, double *out) {
      char *end = nullptr;
      errno = 0;
      *out = fix_strtod(s, &end);
      return errno == 0 && end != s && whitespace(end);
    };
    switch (to) {
      case dbBOOLEAN:
        if (is_double_type(from))
          v.i = a.d != 0.0;
        else if (from == dbSTRING)
          v.i = a.s[0] != '\0';
        else if (is_int_type(from))
          v.i = a.i != 0;
        else
          return fail();
        return v;
      case dbINTEGER:
      case dbYEARDAY:
        if (from == dbTIME && to == dbYEARDAY)
          v.i = yearday(a.d);
        else if (is_double_type(from))
          v.i = to_int32(a.d);
        else if (is_int_type(from))
          v.i = a.i;
        else if (from == dbSTRING) {
          double d;
          if (read_number(a.s, &d)) {
            v.i = to_int32(std::trunc(d));
          } else {
            elog_log(0, "can't convert '%s' to %s\n", a.s, dbtypename(to));
            error();
            v.i = INT_MIN;
          }
        } else
          return fail();
        return v;
      case dbREAL:
        if (from == dbINTEGER || from == dbYEARDAY)
          v.d = a.i;
        else if (is_double_type(from))
          v.d = a.d;
        else if (from == dbSTRING) {
          if (!read_number(a.s, &v.d)) {
            elog_log(0, "can't convert '%s' to %s\n", a.s, dbtypename(to));
            error();
            v.d = HUGE_VAL;
          }
        } else
          return fail();
        return v;
      case dbTIME:
        if (from == dbYEARDAY)
          v.d = epoch(a.i);
        else if (from == dbINTEGER)
          v.d = a.i;
        else if (is_double_type(from))
          v.d = a.d;
        else if (from == dbSTRING) {
          if (zstr2epoch(a.s, &v.d) != 0) {
            elog_log(0, "can't convert '%s' to %s\n", a.s, dbtypename(to));
            error();
            v.d = HUGE_VAL;
          }
        } else
          return fail();
        return v;
      case dbSTRING: {
        char buf[64];
        if (from == dbBOOLEAN)
          v.s = a.i ? "true" : "false";
        else if (from == dbINTEGER || from == dbYEARDAY) {
          snprintf(buf, sizeof buf, "%d", a.i);
          v.s = keep(buf);
        } else if (from == dbREAL) {
          snprintf(buf, sizeof buf, "%g", a.d);
          v.s = keep(buf);
        } else if (from == dbTIME) {
          v.s = adopt(strtime(a.d));
        } else if (from == dbSTRING) {
          v.s = a.s;
        } else
          return fail();
        return v;
      }
      default:
        return fail();
    }
  }

  ExValue operate(Expression *e) {
    ExValue v;
    int op = e->value.i;
    switch (op) {
      case EXOP_OR: {
        if (value(e->left).i) {
          v.i = -1;
          return v;
        }
        v.i = value(e->right).i;
        return v;
      }
      case EXOP_AND: {
        if (!value(e->left).i) return v;
        v.i = value(e->right).i;
        return v;
      }
      case EXOP_COND:
        return value(e->left).i ? value(e->right) : value(e->x3);
      case EXOP_ASSIGN: {
        v = value(e->left);
        if (setflag_) assign(e->right, v);
        return v;
      }
      case EXOP_NEGATE: {
        v = value(e->left);
        if (is_int_type(e->type))
          v.i = wrap(-(int64_t)v.i);
        else if (is_double_type(e->type))
          v.d = -v.d;
        return v;
      }
      case EXOP_LIKE:
      case EXOP_UNLIKE: {
        const char *s = value(e->left).s;
        regmatch_t m[1];
        bool whole = regexec(e->right->value.regexp, s, 1, m, 0) == 0 && m[0].rm_so == 0 &&
                     (size_t)m[0].rm_eo == strlen(s);
        v.i = (op == EXOP_LIKE) == whole;
        return v;
      }
      case EXOP_CONCAT: {
        std::string joined = value(e->left).s;
        joined += value(e->right).s;
        v.s = keep(std::move(joined));
        return v;
      }
      default:
        break;
    }
    ExValue a = value(e->left), b = value(e->right);
    if (op >= EXOP_LT && op <= EXOP_NE) {
      int t = e->left->type, c;
      if (is_double_type(t))
        c = a.d < b.d ? -1 : a.d > b.d ? 1 : 0;
      else if (t == dbSTRING)
        c = strcmp(a.s, b.s);
      else
        c = a.i < b.i ? -1 : a.i > b.i ? 1 : 0;
      switch (op) {
        case EXOP_LT:
          v.i = c < 0;
          break;
        case EXOP_LE:
          v.i = c <= 0;
          break;
        case EXOP_EQ:
          v.i = c == 0;
          break;
        case EXOP_GE:
          v.i = c >= 0;
          break;
        case EXOP_GT:
          v.i = c > 0;
          break;
        default:
          v.i = c != 0;
          break;
      }
      return v;
    }
    bool integer = e->type == dbINTEGER || e->type == dbYEARDAY;
    bool real = is_double_type(e->type);
    switch (op) {
      case EXOP_PLUS:
        if (real)
          v.d = a.d + b.d;
        else if (integer)
          v.i = wrap((int64_t)a.i + b.i);
        break;
      case EXOP_MINUS:
        if (real)
          v.d = a.d - b.d;
        else if (integer)
          v.i = wrap((int64_t)a.i - b.i);
        break;
      case EXOP_TIMES:
        if (real)
          v.d = a.d * b.d;
        else if (integer)
          v.i = wrap((int64_t)a.i * b.i);
        break;
      case EXOP_DIVIDE:
        if (real)
          v.d = a.d / b.d;
        else if (integer && divisor_ok(b.i))
          v.i = a.i == INT_MIN && b.i == -1 ? INT_MIN : a.i / b.i;
        break;
      case EXOP_MOD:
        if (real)
          v.d = a.d - std::floor(a.d / b.d) * b.d;
        else if (integer && divisor_ok(b.i))
          v.i = b.i == -1 ? 0 : a.i % b.i;
        break;
      case EXOP_POWER:
        if (real)
          v.d = std::pow(a.d, b.d);
        else if (integer) {
          // Repeated multiplication, by squaring: the same wrapped result in log steps.
          uint32_t result = 1, base = (uint32_t)a.i;
          for (int n = b.i; n > 0; n >>= 1) {
            if (n & 1) result *= base;
            base *= base;
          }
          v.i = (int)(int32_t)result;
        }
        break;
      case EXOP_BITOR:
        if (integer) v.i = a.i | b.i;
        break;
      case EXOP_BITAND:
        if (integer) v.i = a.i & b.i;
        break;
      case EXOP_SHR:
        if (integer) {
          int n = b.i & 0xff;
          v.i = a.i >> (n >= 32 ? 31 : n);
        }
        break;
      case EXOP_SHL:
        if (integer) {
          int n = b.i & 0xff;
          v.i = n >= 32 ? 0 : (int)(int32_t)((uint32_t)a.i << n);
        }
        break;
      default:
        elog_log(0, "unknown operator %d\n", op);
        error();
    }
    return v;
  }

  bool divisor_ok(int b) {
    if (b != 0) return true;
    elog_log(0, "integer division by zero\n");
    error();
    return false;
  }

  void assign(Expression *target, ExValue v) {
    const char *name = target->value.s;
    int rc;
    switch (target->type) {
      case dbINTEGER:
      case dbYEARDAY:
      case dbBOOLEAN:
        rc = dbputv(db_, nullptr, name, v.i, nullptr);
        if (rc < 0) elog_log(0, "can't ASSIGN %d to %s\n", v.i, name);
        break;
      case dbREAL:
      case dbTIME:
        rc = dbputv(db_, nullptr, name, v.d, nullptr);
        if (rc < 0) elog_log(0, "can't ASSIGN %10.5f to %s\n", v.d, name);
        break;
      default:
        rc = dbputv(db_, nullptr, name, v.s, nullptr);
        if (rc < 0) elog_log(0, "can't ASSIGN %s to %s\n", v.s, name);
        break;
    }
    if (rc < 0) error();
  }

  // Runs the command form: the program and its arguments without a shell, its standard
  // input empty, its standard output and error read up to 1024 bytes. The reading end is
  // closed after that, so a program that writes more is stopped by the broken pipe
  // instead of blocking the evaluation.
  [[gnu::noinline]] const char *run(Expression *e) {
    std::vector<std::string> args;
    for (long i = 0; i < maxtbl(e->expr_tbl); i++)
      args.push_back(value(static_cast<Expression *>(gettbl(e->expr_tbl, i))).s);
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::string failed = "Couldn't exec " + args[0] + "\n";

    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) {
      elog_log(1, "Can't open pipes\n");
      error();
      return "";
    }
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      elog_log(1, "Can't open pipes\n");
      error();
      return "";
    }
    pid_t pid = fork();
    if (pid < 0) {
      for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
      elog_log(1, "Can't fork");
      error();
      return "";
    }
    if (pid == 0) {
      // Only calls that are safe between fork and exec in a threaded process.
      dup2(in[0], 0);
      dup2(out[1], 1);
      dup2(out[1], 2);
      execvp(argv[0], argv.data());
      ssize_t ignored = write(2, failed.data(), failed.size());
      (void)ignored;
      _exit(127);
    }
    close(in[0]);
    close(in[1]);
    close(out[1]);
    std::string text;
    char buf[1024];
    while (text.size() < sizeof buf) {
      ssize_t n = read(out[0], buf, sizeof buf - text.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      text.append(buf, (size_t)n);
    }
    close(out[0]);
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    text.resize(strlen(text.c_str()));
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return keep(std::move(text));
  }

  Dbptr db_;
  int setflag_;
  int errors_ = 0;
  std::vector<char> string_buf_;
  // During a scan (dbex_select): the copy of the current record of the scanned table,
  // its size, and where each field node of the tree lies in it (offset -1: elsewhere).
  const Table *scan_table_ = nullptr;
  const char *scan_record_ = nullptr;
  size_t scan_rsize_ = 0;
  std::deque<ScanSlot> slots_;  // a deque: slots keep their place as more are added
  std::deque<std::string> texts_;
  std::vector<char *> adopted_;
  // Records copied out of mapped table files in this evaluation.
  struct RecordCopy {
    const Table *table;
    size_t at;
    std::string bytes;
  };
  std::deque<RecordCopy> records_;
};

}  // namespace

namespace {

int evaluate(Evaluator &ev, Expression *tree, void *result) {
  int type = tree ? tree->type : 0;
  ExValue v;
  int saved = Convert_errors;
  Convert_errors = 0;
  if (tree)
    v = ev.value(tree);
  else
    ev.error();
  int errors = ev.errors() + Convert_errors;
  Convert_errors = saved;
  if (errors) {
    if (result) {
      if (is_double_type(type))
        *static_cast<double *>(result) = HUGE_VAL;
      else if (type == dbSTRING) {
        char *s = strdup("**evaluation failed**");
        if (!s) OUT_OF_MEMORY(22, "result");
        *static_cast<char **>(result) = s;
      } else
        *static_cast<int *>(result) = INT_MIN;
    }
    return dbINVALID;
  }
  if (is_int_type(type)) {
    if (result) *static_cast<int *>(result) = v.i;
    return v.i != 0;
  }
  if (is_double_type(type)) {
    if (result) *static_cast<double *>(result) = v.d;
    return v.d != 0.0;
  }
  if (type == dbSTRING) {
    if (result) {
      char *s = strdup(v.s);
      if (!s) OUT_OF_MEMORY(strlen(v.s) + 1, "result");
      *static_cast<char **>(result) = s;
    }
    return v.s[0] != '\0';
  }
  return dbINVALID;
}

// A boolean tree of comparisons between fields of a scanned table and constants, joined
// by && and ||, compiled once against the fields' places in a record: each record is then
// tested on its bytes, without the evaluator's values and texts. The answers, the order
// of the tests and their short cuts are the evaluator's; a tree of any other shape is
// left to the evaluator.
class ScanFilter {
 public:
  // False when the tree is not of that shape.
  bool compile(Dbptr db, Expression *tree, const Table *table, size_t rsize) {
    db_ = db;
    table_ = table;
    rsize_ = rsize;
    tests_.clear();
    return add(tree) >= 0;
  }
  // 1 when the record (its bytes) passes, 0 when not, dbINVALID when a field does not read
  // as a number (the evaluation fails).
  int passes(const char *record) const { return run(0, record); }

 private:
  enum Kind { AND, OR, COMPARE };
  enum Class { INT, DOUBLE, TEXT };
  struct Test {
    Kind kind = COMPARE;
    int left = -1, right = -1;  // AND, OR: the tests of the two sides
    int op = 0;
    bool swapped = false;  // the constant is on the left
    int offset = 0, size = 0, ftype = 0;
    Class cls = INT;
    int ival = 0;
    double dval = 0;
    std::string text;
  };

  static Class class_of(int type) {
    return is_double_type(type) ? DOUBLE : type == dbSTRING ? TEXT : INT;
  }

  // The place of a field node in a record of the scanned table; false when it lies
  // elsewhere.
  bool place(const Expression *e, Test *t) const {
    Dbptr first = db_;
    first.record = 0;
    return field_place(first, e, table_, rsize_, &t->offset, &t->size, &t->ftype);
  }

  int add(Expression *e) {
    if (!e || e->kind != EX_OPERATOR) return -1;
    const int op = e->value.i;
    if (op == EXOP_AND || op == EXOP_OR) {
      const int at = (int)tests_.size();
      Test join;
      join.kind = op == EXOP_AND ? AND : OR;
      tests_.push_back(std::move(join));
      const int l = add(e->left);
      if (l < 0) return -1;
      const int r = add(e->right);
      if (r < 0) return -1;
      tests_[(size_t)at].left = l;
      tests_[(size_t)at].right = r;
      return at;
    }
    if (op < EXOP_LT || op > EXOP_NE || !e->left || !e->right) return -1;
    Test t;
    t.kind = COMPARE;
    t.op = op;
    const Expression *field = e->left, *constant = e->right;
    if (field->kind != EX_FIELD) {
      std::swap(field, constant);
      t.swapped = true;
    }
    if (field->kind != EX_FIELD || constant->kind != EX_IMMEDIATE || !field->value.s) return -1;
    // The comparison goes by the left side's type; both sides must hold values of that kind.
    t.cls = class_of(e->left->type);
    if (class_of(field->type) != t.cls || class_of(constant->type) != t.cls) return -1;
    if (!place(field, &t) || t.ftype != field->type) return -1;
    const int ftype = t.ftype;
    if (ftype != dbINTEGER && ftype != dbYEARDAY && ftype != dbREAL && ftype != dbTIME &&
        ftype != dbSTRING)
      return -1;
    if (t.cls == INT)
      t.ival = constant->value.i;
    else if (t.cls == DOUBLE)
      t.dval = constant->value.d;
    else
      t.text = constant->value.s ? constant->value.s : "";
    tests_.push_back(std::move(t));
    return (int)tests_.size() - 1;
  }

  int run(int i, const char *record) const {
    const Test &t = tests_[(size_t)i];
    if (t.kind == AND || t.kind == OR) {
      const int l = run(t.left, record);
      if (l < 0) return l;
      if ((t.kind == AND) != (l != 0)) return l;
      return run(t.right, record);
    }
    const char *text = record + t.offset;
    int c;
    if (t.cls == TEXT) {
      // The field's text to its first NUL without trailing white space, against the
      // constant, as strcmp orders them.
      size_t n = strnlen(text, (size_t)t.size);
      while (n > 0 && white((unsigned char)text[n - 1])) n--;
      const size_t m = t.text.size();
      c = memcmp(text, t.text.data(), std::min(n, m));
      if (c == 0) c = n < m ? -1 : n > m ? 1 : 0;
    } else if (t.cls == DOUBLE) {
      double v;
      if (dbd2c(text, t.size, &v, t.ftype) < 0) return dbINVALID;
      c = v < t.dval ? -1 : v > t.dval ? 1 : 0;
    } else {
      int v;
      if (dbd2c(text, t.size, &v, t.ftype) < 0) return dbINVALID;
      c = v < t.ival ? -1 : v > t.ival ? 1 : 0;
    }
    if (t.swapped) c = -c;
    switch (t.op) {
      case EXOP_LT:
        return c < 0;
      case EXOP_LE:
        return c <= 0;
      case EXOP_EQ:
        return c == 0;
      case EXOP_GE:
        return c >= 0;
      case EXOP_GT:
        return c > 0;
      default:
        return c != 0;
    }
  }

  Dbptr db_{};
  const Table *table_ = nullptr;
  size_t rsize_ = 0;
  std::vector<Test> tests_;  // the root first
};

}  // namespace

int _dbex_eval(Dbptr db, Expression *tree, int setflag, void *result) {
  Evaluator ev(db, setflag);
  return evaluate(ev, tree, result);
}

int dbex_select(Dbptr db, Expression *tree, int count, std::vector<int> *records) {
  std::lock_guard<std::mutex> lock(Eval_mutex);
  records->clear();
  db.field = dbALL;
  db.record = dbALL;
  Relation *relation = nullptr;
  Table *table = nullptr;
  Evaluator ev(db, 0);
  size_t rsize = 0;
  if (dbresolve(db, nullptr, &relation, &table, nullptr, nullptr, nullptr) == dbTABLE && table &&
      relation && !relation->has_refs && relation->size > 0) {
    rsize = (size_t)relation->size;
    ev.scan(table, rsize);
  }
  // The records of the table are copied out in blocks (from a table file, with pread: a
  // file that another process has shortened fails the copy instead of faulting).
  const int per_block = rsize ? (int)std::max<size_t>(1, 65536 / rsize) : 1;
  std::vector<char> block;
  ScanFilter filter;
  const bool filtered = rsize && count > 0 && table->data && filter.compile(db, tree, table, rsize);
  for (int first = 0; first < count; first += per_block) {
    const int end = std::min(count, first + per_block);
    const char *bytes = nullptr;
    // The mapping may have moved or shrunk during the last block's evaluations.
    if (rsize && table->data && (size_t)end * rsize <= table->length) {
      block.resize((size_t)(end - first) * rsize);
      if (db_copy_out(table, table->data + (size_t)first * rsize, block.size(), block.data()) < 0) {
        records->clear();
        return dbINVALID;
      }
      bytes = block.data();
    }
    if (bytes && filtered) {
      for (int r = first; r < end; r++) {
        const int result = filter.passes(bytes + (size_t)(r - first) * rsize);
        if (result < 0) {
          records->clear();
          return dbINVALID;
        }
        if (result > 0) records->push_back(r);
      }
      continue;
    }
    for (int r = first; r < end; r++) {
      ev.begin(r, bytes ? bytes + (size_t)(r - first) * rsize : nullptr);
      // Room for whatever the expression yields (a number, a double or a text pointer).
      union {
        int i;
        double d;
        char *s;
      } value{};
      int result = evaluate(ev, tree, &value);
      if (result < 0) {
        records->clear();
        return dbINVALID;
      }
      if (result > 0) records->push_back(r);
    }
  }
  return 0;
}

int dbex_eval(Dbptr db, Expression *tree, int setflag, void *result) {
  std::lock_guard<std::mutex> lock(Eval_mutex);
  return _dbex_eval(db, tree, setflag, result);
}
