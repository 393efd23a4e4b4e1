// dblex.cpp - the schema language: its scanner (with Include files and {...} blocks),
// its parser with recovery at ";", and compile_schema, which runs them over one input
// and adds what each statement defines to a schema.
//
// One compile runs at a time in the process: compile_schema holds a mutex of its own for
// the whole compile. The scanner and parser state live in one Compiler record per
// compile; the schema being filled belongs to the caller.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/arr.h"
#include "base/elog.h"
#include "base/paths.h"
#include "base/tbl.h"
#include "reldb/dbinternal.h"

namespace {

// Characters kept of one quoted string or block.
constexpr size_t kMaxText = 8184;
// Included files open at once before Include is refused.
constexpr size_t kMaxIncludes = 10;
// Bytes read of one schema file; schemas are small, and a file past this is cut.
constexpr size_t kMaxFile = 64u << 20;

enum Token {
  T_END = 0,
  // 1..255: the character itself
  T_NUL = 256,  // a NUL byte in the input, as a character token
  K_INCLUDE = 300,
  K_SCHEMA,
  K_ATTRIBUTE,
  K_RELATION,
  K_TIMEDATE,
  K_REAL,
  K_INTEGER,
  K_TIME,
  K_YEARDAY,
  K_STRING,
  K_BFLOAT,
  K_BDOUBLE,
  K_BSHORT,
  K_BINT,
  K_DBPTR,
  K_UNITS,
  K_NULL,
  K_FORMAT,
  K_RANGE,
  K_FIELDS,
  K_PRIMARY,
  K_ALTERNATE,
  K_FOREIGN,
  K_SEPARATOR,
  K_LIKE,
  K_DEFINES,
  K_TRANSIENT,
  K_DESCRIPTION,
  K_DETAIL,
  T_TEXT,
  T_INTEGER,
};

struct Keyword {
  const char *word;
  int token;
  int type;  // type code for the type keywords
};

const Keyword kKeywords[] = {
    {"Include", K_INCLUDE, 0},
    {"Schema", K_SCHEMA, 0},
    {"Attribute", K_ATTRIBUTE, 0},
    {"Relation", K_RELATION, 0},
    {"Timedate", K_TIMEDATE, 0},
    {"Real", K_REAL, dbREAL},
    {"Integer", K_INTEGER, dbINTEGER},
    {"Time", K_TIME, dbTIME},
    {"YearDay", K_YEARDAY, dbYEARDAY},
    {"String", K_STRING, dbSTRING},
    {"Bfloat", K_BFLOAT, dbBFLOAT},
    {"Bdouble", K_BDOUBLE, dbBDOUBLE},
    {"Bshort", K_BSHORT, dbBSHORT},
    {"Bint", K_BINT, dbBINT},
    {"Dbptr", K_DBPTR, dbDBPTR},
    {"Units", K_UNITS, 0},
    {"Null", K_NULL, 0},
    {"Format", K_FORMAT, 0},
    {"Range", K_RANGE, 0},
    {"Fields", K_FIELDS, 0},
    {"Primary", K_PRIMARY, 0},
    {"Alternate", K_ALTERNATE, 0},
    {"Foreign", K_FOREIGN, 0},
    {"Separator", K_SEPARATOR, 0},
    {"Like", K_LIKE, 0},
    {"Defines", K_DEFINES, 0},
    {"Transient", K_TRANSIENT, 0},
    {"Description", K_DESCRIPTION, 0},
    {"Detail", K_DETAIL, 0},
};

int type_of(int token) {
  for (const Keyword &k : kKeywords)
    if (k.token == token) return k.type;
  return 0;
}

bool is_word_char(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == ':' || c == '$' || c == '%';
}

// Reads what the descriptor holds, up to kMaxFile bytes. false on a read failure.
bool read_all(int fd, std::string *out) {
  char buf[16384];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return true;
    size_t keep = std::min((size_t)n, kMaxFile - std::min(kMaxFile, out->size()));
    out->append(buf, keep);
    if (keep < (size_t)n) return true;
  }
}

struct Input {
  std::string text;
  size_t pos = 0;
  std::string filename;
  int saved_lineno = 0;  // line of the including file, restored at the end
};

enum Kind { KIND_NONE, KIND_SCHEMA, KIND_ATTRIBUTE, KIND_RELATION };

class Compiler {
 public:
  Compiler(Schema *schema, const char *dbname, int added)
      : schema_(schema), dbname_(dbname ? dbname : ""), added_(added) {}
  ~Compiler() {
    if (attr_) dbfree_attribute(attr_);
    if (rel_) dbfree_relation(rel_);
  }

  void push_input(std::string text, const char *filename) {
    Input in;
    in.text = std::move(text);
    in.filename = filename ? filename : "";
    stack_.push_back(std::move(in));
  }

  int parse();
  int errors() const { return errors_; }

 private:
  // --- scanner ---
  int lex();
  void include();
  void quoted(Input &in);
  void block(Input &in);
  const std::string &current_file() const { return stack_.back().filename; }

  // --- parser ---
  void advance() { tok_ = lex(); }
  void error(const char *message);
  bool statement();
  bool schema_statement();
  bool attribute_statement();
  bool relation_statement();
  bool expect(int token) {
    if (tok_ != token) return false;
    advance();
    return true;
  }
  bool text(std::string *out) {
    if (tok_ != T_TEXT) return false;
    *out = value_;
    advance();
    return true;
  }
  bool paren_text(std::string *out) { return expect('(') && text(out) && expect(')'); }
  bool name_list(Tbl **list);
  void finish_attribute();
  void finish_relation();

  Schema *schema_;
  std::string dbname_;
  int added_;
  std::vector<Input> stack_;
  int lineno_ = 1;
  bool ended_ = false;
  int errors_ = 0;

  int tok_ = T_END;
  std::string value_;   // text of a text token
  long ival_ = 0;       // value of an integer token
  std::string yytext_;  // the token as read, for messages

  Kind kind_ = KIND_NONE;
  std::string stmt_name_;
  Attribute *attr_ = nullptr;
  Relation *rel_ = nullptr;
};

int Compiler::lex() {
  for (;;) {
    if (ended_ || stack_.empty()) {
      yytext_.clear();
      return T_END;
    }
    Input &in = stack_.back();
    if (in.pos >= in.text.size()) {
      if (stack_.size() == 1) {
        yytext_.clear();
        return T_END;
      }
      lineno_ = in.saved_lineno;
      stack_.pop_back();
      continue;
    }
    const std::string &t = in.text;
    unsigned char c = (unsigned char)t[in.pos];
    if (c == ' ' || c == '\t') {
      in.pos++;
      continue;
    }
    if (c == '\n') {
      lineno_++;
      in.pos++;
      continue;
    }
    if (c == '#') {
      size_t nl = t.find('\n', in.pos);
      if (nl != std::string::npos) {
        in.pos = nl;  // the newline is counted on the next pass
        continue;
      }
      in.pos++;
      yytext_ = "#";
      return '#';
    }
    if (is_word_char(c)) {
      size_t start = in.pos;
      bool digits = true;
      while (in.pos < t.size() && is_word_char((unsigned char)t[in.pos])) {
        if (t[in.pos] < '0' || t[in.pos] > '9') digits = false;
        in.pos++;
      }
      yytext_ = t.substr(start, in.pos - start);
      if (digits) {
        errno = 0;
        ival_ = strtol(yytext_.c_str(), nullptr, 10);
        if (errno == ERANGE) ival_ = LONG_MAX;
        return T_INTEGER;
      }
      int keyword = T_TEXT;
      for (const Keyword &k : kKeywords)
        if (yytext_ == k.word) keyword = k.token;
      if (keyword == K_INCLUDE) {
        include();
        continue;
      }
      value_ = yytext_;
      return keyword;
    }
    if (c == '"') {
      quoted(in);
      return T_TEXT;
    }
    if (c == '{') {
      block(in);
      return T_TEXT;
    }
    in.pos++;
    yytext_.assign(1, (char)c);
    return c ? (int)c : T_NUL;
  }
}

void Compiler::quoted(Input &in) {
  const std::string &t = in.text;
  size_t start = ++in.pos;
  value_.clear();
  while (in.pos < t.size() && t[in.pos] != '"') {
    if (t[in.pos] == '\n') lineno_++;
    if (value_.size() < kMaxText) value_.push_back(t[in.pos]);
    in.pos++;
  }
  yytext_ = "\"" + t.substr(start, std::min<size_t>(in.pos - start, 32));
  if (in.pos < t.size()) in.pos++;  // the closing quote
}

void Compiler::block(Input &in) {
  const std::string &t = in.text;
  in.pos++;  // "{"
  yytext_ = "{";
  value_.clear();
  int indent = 0;
  while (in.pos < t.size()) {
    char c = t[in.pos];
    if (c == ' ')
      indent++;
    else if (c == '\t')
      indent += 8;
    else if (c == '\n') {
      indent = 0;
      lineno_++;
    } else
      break;
    in.pos++;
  }
  if (in.pos >= t.size()) return;
  if (t[in.pos] == '}') {
    in.pos++;
    return;
  }
  auto put = [this](char c) {
    if (value_.size() < kMaxText) value_.push_back(c);
  };
  int level = 1;
  bool dropping = false;  // the first line's indentation was skipped above
  int count = 0;
  while (in.pos < t.size()) {
    char c = t[in.pos++];
    if (c == '\n') {
      lineno_++;
      put(c);
      dropping = true;
      count = 0;
      continue;
    }
    if (dropping) {
      if (c == ' ') {
        if (count < indent)
          count++;
        else
          put(' ');
        continue;
      }
      if (c == '\t') {
        if (count < indent) {
          for (int k = indent; k < 8; k++) put(' ');
          count = std::min(indent, 8);
        } else {
          for (int k = 0; k < 8; k++) put(' ');
        }
        continue;
      }
      if (c != '{' && c != '}') dropping = false;
    }
    if (c == '{')
      level++;
    else if (c == '}' && --level == 0)
      break;
    put(c);
  }
}

void Compiler::include() {
  Input &in = stack_.back();
  const std::string &t = in.text;
  while (in.pos < t.size() && (t[in.pos] == ' ' || t[in.pos] == '\t')) in.pos++;
  size_t start = in.pos;
  while (in.pos < t.size() && t[in.pos] != ' ' && t[in.pos] != '\t' && t[in.pos] != '\n') in.pos++;
  std::string name = t.substr(start, in.pos - start);
  const std::string here = in.filename;
  if (stack_.size() - 1 > kMaxIncludes) {
    elog_log(0, "Includes nested more than %d deep\n", (int)kMaxIncludes);
    errors_++;
    ended_ = true;
    return;
  }
  std::string path;
  if (find_schemafile(&path, name.c_str(), dbname_.c_str()) < 0) {
    elog_log(0, "Couldn't find '%s' to include at line %d of file %s\n", name.c_str(), lineno_,
             here.c_str());
    errors_++;
    ended_ = true;
    return;
  }
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    elog_log(1, "Couldn't open '%s' to include at line %d of file %s\n", path.c_str(), lineno_,
             here.c_str());
    errors_++;
    ended_ = true;
    return;
  }
  if (!schema_->extdir) {
    std::string ext = path + ".ext";
    if (is_dir(ext.c_str())) schema_->extdir = db_strdup(ext.c_str());
  }
  std::string text;
  if (!read_all(fd, &text)) elog_log(1, "read failed in compile_schema\n");
  close(fd);
  int saved = lineno_;
  push_input(std::move(text), path.c_str());
  stack_.back().saved_lineno = saved;
}

void Compiler::error(const char *message) {
  errors_++;
  std::string shown = yytext_;
  for (size_t i = 0; i < shown.size(); i++) {
    if ((unsigned char)shown[i] < ' ' || shown[i] == 0x7f) {
      shown.resize(i);
      break;
    }
  }
  if (shown.size() > 25) shown.resize(25);
  std::string name = stmt_name_.substr(0, 200);
  const char *file = stack_.empty() ? "" : current_file().c_str();
  switch (kind_) {
    case KIND_ATTRIBUTE:
      elog_log(0, "db : %s at '%s' while compiling attribute '%s' near line #%d of %s\n", message,
               shown.c_str(), name.c_str(), lineno_, file);
      break;
    case KIND_RELATION:
      elog_log(0, "db : %s at '%s' while compiling relation '%s' near line #%d of %s\n", message,
               shown.c_str(), name.c_str(), lineno_, file);
      break;
    case KIND_SCHEMA:
      elog_log(0, "db : %s at '%s' while compiling schema '%s' near line #%d of %s\n", message,
               shown.c_str(), name.c_str(), lineno_, file);
      break;
    default:
      elog_log(0, "db : %s at '%s' near line #%d of %s\n", message, shown.c_str(), lineno_, file);
      break;
  }
}

bool Compiler::name_list(Tbl **list) {
  if (!expect('(')) return false;
  if (tok_ != T_TEXT) return false;
  Tbl *names = db_newtbl(8);
  while (tok_ == T_TEXT) {
    pushtbl(names, db_strdup(value_.c_str()));
    advance();
  }
  if (tok_ != ')') {
    freetbl(names, free);
    return false;
  }
  advance();
  if (*list && *list != _db_nulltbl) freetbl(*list, free);
  *list = names;
  return true;
}

bool Compiler::schema_statement() {
  advance();  // Schema
  std::string s;
  if (!text(&s)) return false;
  kind_ = KIND_SCHEMA;
  stmt_name_ = s;
  db_settext(&schema_->name, s.c_str());
  for (;;) {
    switch (tok_) {
      case K_DESCRIPTION:
        advance();
        if (!paren_text(&s)) return false;
        db_settext(&schema_->description, s.c_str());
        break;
      case K_DETAIL:
        advance();
        if (!text(&s)) return false;
        db_settext(&schema_->detail, s.c_str());
        break;
      case K_TIMEDATE:
        advance();
        if (!text(&s)) return false;
        db_settext(&schema_->timedate, s.c_str());
        break;
      case ';':
        advance();
        return true;
      default:
        return false;
    }
  }
}

bool Compiler::attribute_statement() {
  advance();  // Attribute
  std::string s;
  if (!text(&s)) return false;
  kind_ = KIND_ATTRIBUTE;
  stmt_name_ = s;
  attr_ = new_attribute();
  attr_->name = db_strdup(s.c_str());
  attr_->added = added_;
  int clauses = 0;
  for (;; clauses++) {
    char **slot = nullptr;
    switch (tok_) {
      case K_REAL:
      case K_INTEGER:
      case K_TIME:
      case K_YEARDAY:
      case K_STRING:
      case K_BFLOAT:
      case K_BDOUBLE:
      case K_BSHORT:
      case K_BINT:
      case K_DBPTR: {
        int type = type_of(tok_);
        advance();
        if (!expect('(') || tok_ != T_INTEGER) return false;
        long size = ival_;
        advance();
        if (!expect(')')) return false;
        attr_->type = type;
        attr_->size = size > INT_MAX ? INT_MAX : (int)size;
        continue;
      }
      case K_UNITS:
        slot = &attr_->units;
        break;
      case K_NULL:
        slot = &attr_->null;
        break;
      case K_FORMAT:
        slot = &attr_->format;
        break;
      case K_RANGE:
        slot = &attr_->range;
        break;
      case K_DESCRIPTION:
        slot = &attr_->description;
        break;
      case K_DETAIL:
        advance();
        if (!text(&s)) return false;
        db_settext(&attr_->detail, s.c_str());
        continue;
      case ';':
        if (clauses == 0) return false;
        advance();
        finish_attribute();
        return true;
      default:
        return false;
    }
    advance();
    if (!paren_text(&s)) return false;
    db_settext(slot, s.c_str());
  }
}

void Compiler::finish_attribute() {
  Attribute *a = attr_;
  attr_ = nullptr;
  if (dbadd_attribute(schema_, a) < 0) {
    dbfree_attribute(a);
    error("bad attribute");
  }
}

bool Compiler::relation_statement() {
  advance();  // Relation
  std::string s, s2;
  if (!text(&s)) return false;
  kind_ = KIND_RELATION;
  stmt_name_ = s;
  rel_ = new_relation();
  rel_->name = db_strdup(s.c_str());
  rel_->added = added_;
  int clauses = 0;
  for (;; clauses++) {
    switch (tok_) {
      case K_FIELDS:
        advance();
        if (!name_list(&rel_->fieldlist)) return false;
        break;
      case K_PRIMARY:
        advance();
        if (!name_list(&rel_->primary)) return false;
        break;
      case K_ALTERNATE:
        advance();
        if (!name_list(&rel_->alternate)) return false;
        break;
      case K_FOREIGN:
        advance();
        if (!name_list(&rel_->foreign)) return false;
        break;
      case K_SEPARATOR:
        advance();
        if (!expect('(') || !text(&s)) return false;
        if (tok_ == T_TEXT) {
          text(&s2);
          rel_->terminator = s2.empty() ? 0 : s2[0];
        }
        if (!expect(')')) return false;
        rel_->separator = s.empty() ? 0 : s[0];
        break;
      case K_DEFINES:
        advance();
        if (!text(&s)) return false;
        db_settext(&rel_->defines, s.c_str());
        break;
      case K_TRANSIENT:
        advance();
        rel_->transient = 1;
        break;
      case K_LIKE:
        advance();
        if (!text(&s)) return false;
        db_settext(&rel_->like, s.c_str());
        break;
      case K_DESCRIPTION:
        advance();
        if (!paren_text(&s)) return false;
        db_settext(&rel_->description, s.c_str());
        break;
      case K_DETAIL:
        advance();
        if (!text(&s)) return false;
        db_settext(&rel_->detail, s.c_str());
        break;
      case ';':
        if (clauses == 0) return false;
        advance();
        finish_relation();
        return true;
      default:
        return false;
    }
  }
}

void Compiler::finish_relation() {
  Relation *r = rel_;
  rel_ = nullptr;
  if (r->like) {
    std::string like = r->like;
    if (dbadd_like_relation(schema_, r, like.c_str()) < 0) {
      // A relation whose model was not found was not added; one that was added belongs
      // to the schema whatever its layout's faults.
      if (r->id < 0) dbfree_relation(r);
      error("bad Like relation");
    }
    return;
  }
  if (dbadd_relation(schema_, r) < 0) error("bad relation");
}

bool Compiler::statement() {
  switch (tok_) {
    case K_SCHEMA:
      return schema_statement();
    case K_ATTRIBUTE:
      return attribute_statement();
    case K_RELATION:
      return relation_statement();
    default:
      return false;
  }
}

// 0 when the input was read to its end, 1 when an error at the end of input ended it.
int Compiler::parse() {
  advance();
  bool first = true;
  for (;;) {
    if (tok_ == T_END && !first) return 0;
    first = false;
    if (statement()) continue;
    error("parse error");
    if (attr_) {
      dbfree_attribute(attr_);
      attr_ = nullptr;
    }
    if (rel_) {
      dbfree_relation(rel_);
      rel_ = nullptr;
    }
    // Skip to the next ";" and go on with the statement after it.
    while (tok_ != ';') {
      if (tok_ == T_END) return 1;
      advance();
    }
    advance();
  }
}

std::mutex compile_mutex;

}  // namespace

int compile_schema(Schema *schema, int fd, const char *text, const char *dbname,
                   const char *filename) {
  std::lock_guard<std::mutex> lock(compile_mutex);
  Compiler compiler(schema, dbname, fd < 0 ? 1 : 0);
  std::string input;
  if (fd >= 0) {
    if (!read_all(fd, &input)) elog_log(1, "read failed in compile_schema\n");
  } else if (text) {
    input = text;
  }
  compiler.push_input(std::move(input), filename);
  int result = compiler.parse();

  if (!schema->tablenames) {
    schema->tablenames = db_newtbl(maxtbl(schema->relation_names) + 8);
    for (long i = 0; i < maxtbl(schema->relation_names); i++) {
      const char *name = static_cast<const char *>(gettbl(schema->relation_names, i));
      if (db_owned(name)) pushtbl(schema->tablenames, db_strdup(name));
    }
    if (schema->extdir) {
      char **names = nullptr;
      int n = dirfiles(schema->extdir, 1, &names);
      for (int i = 0; i < n; i++) pushtbl(schema->tablenames, names[i]);
      free(names);
      if (n < 0) elog_clear_register(0);
    }
  }
  return result + compiler.errors();
}
