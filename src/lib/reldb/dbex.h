// dbex.h - expressions over database records: compilation of expression text into a
// tree (exlex.cpp scanner, exyacc.cpp parser), evaluation of a tree for one record
// (dbex.cpp), the built-in functions (dbex_functions.cpp) and the tree printer.
//
// Types: 0 invalid, 1 boolean, 2 integer, 3 real, 4 time, 5 yearday, 6 string,
// 7 regular expression (the codes of db.h). Boolean, integer and yearday values are
// 32-bit ints, real and time values doubles.
//
// Ownership: a tree returned by dbex_compile belongs to the caller, who frees it with
// dbex_free. A string result of dbex_eval is a new text the caller frees with free().
//
// Locking: every compilation holds one process-wide mutex, every dbex_eval another; the
// two are never held together. _dbex_eval is the evaluation without the lock, for code
// that already runs inside an evaluation.
#pragma once

#include <regex.h>

#include <vector>

#include "reldb/db.h"

struct Tbl;

// Node kinds.
enum {
  EX_IMMEDIATE = 101,
  EX_OPERATOR = 102,
  EX_FIELD = 103,
  EX_FUNCTION1 = 104,
  EX_CONVERT = 105,
  EX_FUNCTION2 = 106,
  EX_FUNCTION3 = 107,
  EX_FUNCTION4 = 108,
  EX_NULL = 109,
  EX_PATSUB = 110,
  EX_FUNCTION0 = 111,
  EX_FUNCTION_DB = 112,
  EX_FUNCTION_DB1 = 113,
  EX_EXEC = 117,
  EX_PIPE = 118,
  EX_AGGREGATE = 119,
  EX_PLACEHOLDER = 120,
};

// Operator codes of EX_OPERATOR nodes.
enum {
  EXOP_OR = 0,
  EXOP_AND = 1,
  EXOP_LT = 2,
  EXOP_LE = 3,
  EXOP_EQ = 4,
  EXOP_GE = 5,
  EXOP_GT = 6,
  EXOP_NE = 7,
  EXOP_PLUS = 8,
  EXOP_MINUS = 9,
  EXOP_TIMES = 10,
  EXOP_DIVIDE = 11,
  EXOP_LIKE = 12,
  EXOP_UNLIKE = 13,
  EXOP_POWER = 14,
  EXOP_COND = 15,
  EXOP_ASSIGN = 16,
  EXOP_CONCAT = 17,
  EXOP_NEGATE = 18,
  EXOP_MOD = 19,
  EXOP_BITOR = 20,
  EXOP_BITAND = 21,
  EXOP_SHR = 22,
  EXOP_SHL = 23,
};

union Exvalue {
  double d;
  int i;
  int pipe[2];
  char *s;
  regex_t *regexp;
};

struct Expression {
  Expression *left, *right, *x3, *x4;
  Tbl *expr_tbl;  // argument nodes of calls and command forms (owned), or none
  int type;
  int kind;
  Exvalue value;  // constant, operator code, field name, source type or function row
  int depth;      // levels of the tree below and including this node
};

// The built-in function table.
struct Exfunction {
  const char *name;
  int result;   // result type
  int argtype;  // type every argument is converted to
  int kind;     // calling form (node kind)
  int nargs;
};
extern const Exfunction RVFunctions[];
extern const int RVnfunctions;
// Index of the first row named `name`, or -1.
int eqfunct(const char *name);

// Compiles `text` against the fields of db. Returns the root's type (1-7) and stores the
// tree in *tree (converted to `type` when type is nonzero); dbINVALID with *tree none
// when the text does not compile (the reasons are logged).
int dbex_compile(Dbptr db, const char *text, Expression **tree, int type);

// Evaluates tree for the record db names; assignments write fields only when setflag is
// nonzero. `result` receives an int (boolean, integer, yearday), a double (real, time)
// or a new text (string). Returns the truth of the result (1 or 0), or dbINVALID when the
// evaluation failed; the failure value is then stored: +inf, "**evaluation failed**" or
// INT_MIN by type.
int dbex_eval(Dbptr db, Expression *tree, int setflag, void *result);
int _dbex_eval(Dbptr db, Expression *tree, int setflag, void *result);
// Evaluates a boolean tree without assignments for records 0 .. count-1 of db's table (or
// view) under one hold of the evaluation lock, and lists those for which it holds. The
// records of a table are read in blocks and each field node finds its place in the record
// once; a tree of comparisons between the table's fields and constants joined by && and ||
// is tested on the record's bytes. 0, or dbINVALID (records empty) when an evaluation
// failed.
int dbex_select(Dbptr db, Expression *tree, int count, std::vector<int> *records);

void dbex_free(Expression *tree);

// The node to use where `type` is wanted: the node itself or a conversion node over it
// (of type 0 when the conversion is impossible). A type outside 0-7 is fatal.
Expression *ex_to_type(Expression *node, int type);
// A new zeroed node.
Expression *exnew(int type, int kind, int value);

const char *dbtypename(int type);
void badconvert(int from, int to);

// Prints the tree in postfix order to standard output.
void exshow_expression(Expression *tree, int showtypes);
void exshow_type(int type);
void exshow_value(Exvalue value, int kind, int type);

// Deepest tree the compiler builds; deeper expressions are refused, so that evaluation,
// printing and freeing recurse a bounded number of levels.
enum { DBEX_MAX_DEPTH = 1000 };
// Most aggregates (sum, max, min over a table or group) nested inside each other: each
// level evaluates its argument once per record of the level above.
enum { DBEX_MAX_AGGREGATE_NESTING = 2 };
