// exinternal.h - what the expression scanner (exlex.cpp), parser (exyacc.cpp), evaluator
// (dbex.cpp) and built-in functions (dbex_functions.cpp) share. The scanner state is
// process-wide and used only under the compiler's mutex, which dbex_compile holds.
#pragma once

#include <string>
#include <vector>

#include "reldb/dbex.h"

// Tokens other than single characters (returned as their own code) and the end (0).
enum {
  EXT_END = 0,
  EXT_OR = 256,
  EXT_AND,
  EXT_SHIFT,     // code 22 or 23
  EXT_REL,       // code 2-7
  EXT_MATCH,     // code 12 or 13
  EXT_PIPEOPEN,  // "[|"
  EXT_COND,      // "?"
  EXT_ASSIGN,    // ":="
  EXT_CONCAT,    // "." standing alone
  EXT_NULL,      // node of kind 109
  EXT_CONST,     // immediate node
  EXT_NAME,      // text in name
  EXT_REGEX,     // immediate node of type 7
};

struct ExToken {
  int token = EXT_END;
  int code = 0;                // operator code
  Expression *node = nullptr;  // constants, NULL and patterns (handed to the parser)
  std::string name;            // names
  std::string text;            // the characters of the token, for messages
};

// Starts scanning `text` from its beginning at line 1 with no include open.
void exlex_start(const char *text);
// The next token; at the end of the input (or after a scanner error) EXT_END.
void exlex_next(ExToken *token);
// Scanner errors counted since exlex_start.
int exlex_errors(void);
// Releases any include file still open.
void exlex_finish(void);
// The text just before the read position, for messages.
std::string exlex_context(void);

// Evaluation of the built-in function calls (dbex_functions.cpp), with the evaluator's
// value of a node. Strings point to texts the evaluation owns.
struct ExValue {
  int i = 0;
  double d = 0.0;
  const char *s = "";
};

class ExEvaluator;
// The value of a call node of kinds 104, 106-108, 110-113 and 119 given its evaluated
// arguments (none for 119, which evaluates its argument itself).
ExValue exfunction_call(ExEvaluator *ev, Dbptr db, Expression *node,
                        const std::vector<ExValue> &args);

// What the built-ins need from the evaluator.
class ExEvaluator {
 public:
  virtual ~ExEvaluator() = default;
  // Counts one evaluation error.
  virtual void error() = 0;
  // Keeps a text for the rest of the evaluation and returns it.
  virtual const char *keep(std::string text) = 0;
  // A new text taken over (freed at the end of the evaluation); none gives "".
  virtual const char *adopt(char *text) = 0;
};

// The type tables (row: left operand's type, column: right operand's type).
extern const int Plus_result[8][8], Minus_result[8][8], Multiply_result[8][8], Bit_result[8][8],
    Boolean_eval[8][8], Logical_eval[8][8], type_convert[8][8];

// Longest text a patsub call may produce.
enum { DBEX_MAX_PATSUB = 65536 };
