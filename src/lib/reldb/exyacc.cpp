// exyacc.cpp - the parser of the expression language and dbex_compile: a precedence
// parser over the scanner's tokens (exlex.cpp) that builds and types the Expression
// tree, resolving field names against the database and function names against the
// built-in table.
//
// Bounds: the parser recurses at most kMaxNesting levels (parentheses, unary minus, right
// operands) and builds trees at most DBEX_MAX_DEPTH deep, so that hostile text can
// exhaust neither the parser's stack nor, later, the evaluator's.
//
// Locking: one process-wide mutex is held for the whole of each compilation; the scanner
// and the parser state below are only used under it.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "base/arr.h"
#include "base/elog.h"
#include "base/oom.h"
#include "base/tbl.h"
#include "base/textutil.h"
#include "reldb/dbinternal.h"
#include "reldb/dbsort.h"
#include "reldb/exinternal.h"

namespace {

constexpr int kMaxNesting = 1000;

std::mutex Compile_mutex;

struct Freer {
  void operator()(Expression *e) const { dbex_free(e); }
};
using Node = std::unique_ptr<Expression, Freer>;

int aggregate_nesting(const Expression *e);

class Parser {
 public:
  explicit Parser(Dbptr db) : db_(db) { advance(); }
  ~Parser() { dbex_free(tok_.node); }
  Parser(const Parser &) = delete;
  Parser &operator=(const Parser &) = delete;

  Node parse() {
    Node tree = expression(1);
    if (!failed_ && tok_.token != EXT_END) error("parse error");
    if (failed_) return nullptr;
    return tree;
  }
  bool failed() const { return failed_; }

 private:
  void advance() {
    if (tok_.node) dbex_free(tok_.node);
    tok_.node = nullptr;
    exlex_next(&tok_);
  }

  // Logs a compile message in the parser's form and makes the parse fail.
  void error(const char *message) {
    if (failed_) return;
    failed_ = true;
    // A scanner failure has been reported already; what the parser makes of the cut
    // input is not worth a second message.
    if (exlex_errors() == 0) report(message);
  }
  void report(const char *message) {
    std::string context = exlex_context();
    if (!tok_.text.empty())
      elog_notify(0, "eval : %s\n\t near '%s' in '%s'\n", message, tok_.text.c_str(),
                  context.c_str());
    else if (!context.empty())
      elog_notify(0, "eval : %s\n\t near '%s'\n", message, context.c_str());
    else
      elog_notify(0, "eval : %s", message);
  }
  void errorf(const char *format, const char *a, const char *b = "") {
    int n = snprintf(nullptr, 0, format, a, b);
    std::string m((size_t)(n > 0 ? n : 0) + 1, '\0');
    snprintf(&m[0], m.size(), format, a, b);
    m.resize(strlen(m.c_str()));
    error(m.c_str());
  }

  // Sets the depth of a new node from its children; false (and the parse fails) when
  // the tree gets too deep.
  bool settle(Expression *e) {
    int d = 0;
    for (Expression *c : {e->left, e->right, e->x3, e->x4})
      if (c && c->depth > d) d = c->depth;
    for (long i = 0; i < maxtbl(e->expr_tbl); i++) {
      Expression *c = static_cast<Expression *>(gettbl(e->expr_tbl, i));
      if (c && c->depth > d) d = c->depth;
    }
    e->depth = d + 1;
    if (e->depth > DBEX_MAX_DEPTH) {
      char m[64];
      snprintf(m, sizeof m, "expression nested more than %d deep", DBEX_MAX_DEPTH);
      error(m);
      return false;
    }
    return true;
  }

  Node convert(Node n, int type) {
    Expression *e = ex_to_type(n.release(), type);
    Node out(e);
    if (!settle(e)) return nullptr;
    return out;
  }

  Node make(int type, int kind, int code, Node left, Node right) {
    Node e(exnew(type, kind, code));
    e->left = left.release();
    e->right = right.release();
    if (!settle(e.get())) return nullptr;
    return e;
  }

  static int level(const ExToken &t) {
    switch (t.token) {
      case EXT_COND:
        return 1;
      case EXT_OR:
        return 2;
      case EXT_AND:
        return 3;
      case EXT_REL:
        return 4;
      case EXT_MATCH:
        return 5;
      case '+':
      case '-':
        return 6;
      case '*':
      case '/':
      case '%':
        return 7;
      case '^':
        return 8;
      case '|':
      case '&':
        return 9;
      case EXT_SHIFT:
        return 10;
      case EXT_CONCAT:
        return 11;
      default:
        return 0;
    }
  }

  static int code_of(const ExToken &t) {
    switch (t.token) {
      case '+':
        return EXOP_PLUS;
      case '-':
        return EXOP_MINUS;
      case '*':
        return EXOP_TIMES;
      case '/':
        return EXOP_DIVIDE;
      case '%':
        return EXOP_MOD;
      case '^':
        return EXOP_POWER;
      case '|':
        return EXOP_BITOR;
      case '&':
        return EXOP_BITAND;
      default:
        return t.code;
    }
  }

  Node expression(int min_level) {
    if (++nesting_ > kMaxNesting) {
      error("parser stack overflow");
      nesting_--;
      return nullptr;
    }
    Node left = unary();
    while (left && !failed_) {
      int lv = level(tok_);
      if (lv == 0 || lv < min_level) break;
      int code = code_of(tok_);
      if (tok_.token == EXT_COND) {
        advance();
        Node middle = expression(1);
        if (!middle) break;
        if (tok_.token != ':') {
          error("parse error");
          break;
        }
        advance();
        Node third = expression(1);
        if (!third) break;
        left = conditional(std::move(left), std::move(middle), std::move(third));
        continue;
      }
      if (tok_.token == EXT_MATCH) {
        advance();
        if (tok_.token != EXT_REGEX) {
          error("parse error");
          break;
        }
        Node pattern(tok_.node);
        tok_.node = nullptr;
        advance();
        Node l = convert(std::move(left), dbSTRING);
        if (!l) break;
        left = make(dbBOOLEAN, EX_OPERATOR, code, std::move(l), std::move(pattern));
        continue;
      }
      advance();
      Node right = expression(lv + 1);
      if (!right) break;
      left = binary(code, std::move(left), std::move(right));
    }
    nesting_--;
    if (failed_) return nullptr;
    return left;
  }

  Node conditional(Node cond, Node middle, Node third) {
    int type = middle->type;
    Node c = convert(std::move(cond), dbBOOLEAN);
    if (!c) return nullptr;
    Node t = convert(std::move(third), type);
    if (!t) return nullptr;
    Node e = make(type, EX_OPERATOR, EXOP_COND, std::move(c), std::move(middle));
    if (!e) return nullptr;
    e->x3 = t.release();
    if (!settle(e.get())) return nullptr;
    return e;
  }

  Node binary(int code, Node left, Node right) {
    int lt = left->type, rt = right->type;
    if (lt < 0 || lt > 7) lt = 0;
    if (rt < 0 || rt > 7) rt = 0;
    int type;
    switch (code) {
      case EXOP_PLUS:
        type = Plus_result[lt][rt];
        break;
      case EXOP_MINUS:
        type = Minus_result[lt][rt];
        break;
      case EXOP_TIMES:
      case EXOP_DIVIDE:
      case EXOP_MOD:
        type = Multiply_result[lt][rt];
        break;
      case EXOP_POWER:
        type = Multiply_result[lt][rt];
        if (type == dbINTEGER) type = dbREAL;
        break;
      case EXOP_BITOR:
      case EXOP_BITAND:
      case EXOP_SHR:
      case EXOP_SHL:
        type = Bit_result[lt][rt];
        break;
      case EXOP_OR:
      case EXOP_AND: {
        int want = Logical_eval[lt][rt];
        Node l = convert(std::move(left), want);
        if (!l) return nullptr;
        Node r = convert(std::move(right), want);
        if (!r) return nullptr;
        return make(dbBOOLEAN, EX_OPERATOR, code, std::move(l), std::move(r));
      }
      case EXOP_CONCAT: {
        Node l = convert(std::move(left), dbSTRING);
        if (!l) return nullptr;
        Node r = convert(std::move(right), dbSTRING);
        if (!r) return nullptr;
        return make(dbSTRING, EX_OPERATOR, code, std::move(l), std::move(r));
      }
      default: {  // relational
        if (right->kind == EX_NULL || left->kind == EX_NULL) {
          if (code != EXOP_EQ && code != EXOP_NE) {
            error("The only relational operators allowed with NULL are '==' and '!=' ");
            return nullptr;
          }
          if (left->kind != EX_FIELD || right->kind != EX_NULL) {
            error("first operand of expression using NULL must be a field");
            return nullptr;
          }
          right->type = left->type;
          right->value.s = strdup(left->value.s);
          if (!right->value.s) OUT_OF_MEMORY(strlen(left->value.s) + 1, "NULL");
          return make(dbBOOLEAN, EX_OPERATOR, code, std::move(left), std::move(right));
        }
        int want = Boolean_eval[lt][rt];
        Node l = convert(std::move(left), want);
        if (!l) return nullptr;
        Node r = convert(std::move(right), want);
        if (!r) return nullptr;
        return make(dbBOOLEAN, EX_OPERATOR, code, std::move(l), std::move(r));
      }
    }
    Node l = convert(std::move(left), type);
    if (!l) return nullptr;
    Node r = convert(std::move(right), type);
    if (!r) return nullptr;
    return make(type, EX_OPERATOR, code, std::move(l), std::move(r));
  }

  Node unary() {
    if (tok_.token != '-') return primary();
    if (++nesting_ > kMaxNesting) {
      error("parser stack overflow");
      nesting_--;
      return nullptr;
    }
    advance();
    Node operand = unary();
    nesting_--;
    if (!operand) return nullptr;
    int type = operand->type;
    if (type != dbINTEGER && type != dbREAL) report("bad unary minus sign");
    return make(type, EX_OPERATOR, EXOP_NEGATE, std::move(operand), nullptr);
  }

  Node primary() {
    switch (tok_.token) {
      case EXT_CONST:
      case EXT_NULL: {
        Node n(tok_.node);
        tok_.node = nullptr;
        n->depth = 1;
        advance();
        return n;
      }
      case '(': {
        advance();
        Node e = expression(1);
        if (!e) return nullptr;
        if (tok_.token != ')') {
          error("parse error");
          return nullptr;
        }
        advance();
        return e;
      }
      case '[':
      case EXT_PIPEOPEN:
        return command(tok_.token == '[' ? EX_EXEC : EX_PIPE);
      case EXT_NAME: {
        std::string name = tok_.name;
        advance();
        if (tok_.token == '(') return call(name);
        if (tok_.token == EXT_ASSIGN) return assign(name);
        int type = dbfield_type(db_, name.c_str());
        if (type < 0) {
          errorf("field '%s' not found in database ", name.c_str());
          return nullptr;
        }
        // Binary and pointer fields have no expression type.
        return field(name, type <= dbSTRING ? type : 0);
      }
      default:
        error("parse error");
        return nullptr;
    }
  }

  static Node field(const std::string &name, int type) {
    Node n(exnew(type, EX_FIELD, 0));
    n->value.s = strdup(name.c_str());
    if (!n->value.s) OUT_OF_MEMORY(name.size() + 1, "DBX_val.node");
    n->depth = 1;
    return n;
  }

  Node assign(const std::string &name) {
    advance();
    Node value = expression(1);
    if (!value) return nullptr;
    db_ = dblookup(db_, nullptr, nullptr, name.c_str(), nullptr);
    if (db_.field < 0) {
      char *table = nullptr;
      Dbptr t = db_;
      t.field = dbALL;
      t.record = dbALL;
      if (dbquery(t, dbTABLE_NAME, &table) < 0 || !table) table = const_cast<char *>("");
      errorf("field '%s' not found in table '%s' ", name.c_str(), table);
      return nullptr;
    }
    int type = dbquery(db_, dbFIELD_TYPE, nullptr);
    if (type < 0 || type > dbSTRING) {
      errorf("field '%s' can't be assigned ", name.c_str());
      return nullptr;
    }
    Node target = field(name, type);
    if (value->kind == EX_NULL) {
      value->type = type;
      value->value.s = strdup(name.c_str());
      if (!value->value.s) OUT_OF_MEMORY(name.size() + 1, "NULL");
    } else {
      value = convert(std::move(value), type);
      if (!value) return nullptr;
    }
    return make(type, EX_OPERATOR, EXOP_ASSIGN, std::move(value), std::move(target));
  }

  // The argument list of a call or command form; frees its nodes on failure.
  struct Args {
    Tbl *list = newtbl(4);
    ~Args() {
      if (list) freetbl(list, [](void *e) { dbex_free(static_cast<Expression *>(e)); });
    }
    Tbl *release() {
      Tbl *t = list;
      list = nullptr;
      return t;
    }
  };

  Node command(int kind) {
    advance();
    Args args;
    while (tok_.token != ']') {
      Node e = expression(1);
      if (!e) return nullptr;
      Node s = convert(std::move(e), dbSTRING);
      if (!s) return nullptr;
      pushtbl(args.list, s.release());
    }
    if (maxtbl(args.list) == 0) {
      error("parse error");
      return nullptr;
    }
    advance();
    Node n(exnew(dbSTRING, kind, 0));
    n->expr_tbl = args.release();
    if (!settle(n.get())) return nullptr;
    return n;
  }

  Node call(std::string name) {
    advance();  // "("
    Args args;
    if (tok_.token != ')') {
      for (;;) {
        Node e = expression(1);
        if (!e) return nullptr;
        pushtbl(args.list, e.release());
        if (tok_.token == ',') {
          advance();
          continue;
        }
        break;
      }
    }
    if (tok_.token != ')') {
      error("parse error");
      return nullptr;
    }
    advance();
    int nargs = (int)maxtbl(args.list);

    int row = eqfunct(name.c_str());
    if (row < 0) {
      errorf("function not recognized: '%s' ", name.c_str());
      return nullptr;
    }
    const char *rename = nullptr;
    if (name == "max" && nargs == 1)
      rename = "%MAX";
    else if (name == "min" && nargs == 1)
      rename = "%MIN";
    else if (name == "extfile" && nargs == 0)
      rename = "%dbfilename";
    else if (name == "extfile" && nargs == 1)
      rename = "%dbextfile";
    else if (name == "epoch2str" && nargs == 2)
      rename = "%epoch2str";
    else if (name == "epoch2str" && nargs == 3)
      rename = "%zepoch2str";
    if (rename) row = eqfunct(rename);
    if (RVFunctions[row].kind == EX_PLACEHOLDER) {
      Dbptr b = dblookup(db_, nullptr, nullptr, "bundle", nullptr);
      row += b.field == dbINVALID ? 2 : 1;
    }
    const Exfunction &f = RVFunctions[row];
    if (f.nargs != nargs) {
      char m[256];
      snprintf(m, sizeof m, "%s: wrong number of arguments -- want %d, got %d ", f.name, f.nargs,
               nargs);
      error(m);
      return nullptr;
    }
    for (int i = 0; i < nargs; i++) {
      Node a(static_cast<Expression *>(gettbl(args.list, i)));
      settbl(args.list, i, nullptr);
      Node c = convert(std::move(a), f.argtype);
      if (!c) return nullptr;
      settbl(args.list, i, c.release());
    }
    Node n(exnew(f.result, f.kind, row));
    if (f.kind == EX_PATSUB) {
      Expression *pattern = static_cast<Expression *>(gettbl(args.list, 1));
      if (pattern->kind != EX_IMMEDIATE || pattern->type != dbSTRING) {
        error("pattern in patsub must be string");
        return nullptr;
      }
      regex_t *re = static_cast<regex_t *>(malloc(sizeof(regex_t)));
      if (!re) OUT_OF_MEMORY(sizeof(regex_t), "preg");
      char why[256];
      if (regcomp_bounded(re, pattern->value.s, 0, why, sizeof why) != 0) {
        free(re);
        errorf("patsub re '%s' didn't compile: %s", pattern->value.s, why);
        return nullptr;
      }
      free(pattern->value.s);
      pattern->value.regexp = re;
      pattern->type = dbREGEXPR;
      n->left = static_cast<Expression *>(gettbl(args.list, 0));
      n->right = pattern;
      n->x3 = static_cast<Expression *>(gettbl(args.list, 2));
      freetbl(args.release(), nullptr);
    } else {
      n->expr_tbl = args.release();
    }
    if (!settle(n.get())) return nullptr;
    if (f.kind == EX_AGGREGATE && aggregate_nesting(n.get()) > DBEX_MAX_AGGREGATE_NESTING) {
      char m[96];
      snprintf(m, sizeof m, "aggregate functions nested more than %d deep",
               DBEX_MAX_AGGREGATE_NESTING);
      error(m);
      return nullptr;
    }
    return n;
  }

  Dbptr db_;
  ExToken tok_;
  bool failed_ = false;
  int nesting_ = 0;
};

// Aggregates on the deepest path of the tree (bounded by the tree's depth).
int aggregate_nesting(const Expression *e) {
  if (!e) return 0;
  int m = 0;
  for (const Expression *c : {e->left, e->right, e->x3, e->x4}) {
    int n = aggregate_nesting(c);
    if (n > m) m = n;
  }
  for (long i = 0; i < maxtbl(e->expr_tbl); i++) {
    int n = aggregate_nesting(static_cast<Expression *>(gettbl(e->expr_tbl, i)));
    if (n > m) m = n;
  }
  return m + (e->kind == EX_AGGREGATE ? 1 : 0);
}

}  // namespace

int dbex_compile(Dbptr db, const char *text, Expression **tree, int type) {
  std::lock_guard<std::mutex> lock(Compile_mutex);
  *tree = nullptr;
  exlex_start(text);
  Node root;
  {
    Parser parser(db);
    root = parser.parse();
  }
  int errors = exlex_errors();
  exlex_finish();
  if (!root || errors) return dbINVALID;
  if (root->type == 0) {
    elog_log(0, "Expression could not be compiled: %s\n", text);
    return dbINVALID;
  }
  int result = root->type;
  Expression *e = root.release();
  if (type) e = ex_to_type(e, type);
  *tree = e;
  return result;
}
