// Expressions: scanning, parsing and typing (dbex_compile), evaluation (dbex_eval) with
// conversions, operators, assignment and the command form, and the built-in functions.
#include "reldb/dbex.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <string>

#include "base/timetext.h"
#include "dbfixture.h"
#include "reldb/dbedit.h"
#include "reldb/dbview.h"
#include "science/science.h"

namespace {

struct Result {
  int type = dbINVALID;  // dbex_compile's result
  int rc = dbINVALID;    // dbex_eval's result
  int i = 0;
  double d = 0.0;
  std::string s;
};

// Compiles and evaluates text for the record db names.
Result run(Dbptr db, const std::string &text, int setflag = 0) {
  Expression *e = nullptr;
  Result r;
  r.type = dbex_compile(db, text.c_str(), &e, 0);
  if (r.type < 0) {
    EXPECT_EQ(e, nullptr);
    return r;
  }
  if (r.type == dbREAL || r.type == dbTIME) {
    r.rc = dbex_eval(db, e, setflag, &r.d);
  } else if (r.type == dbSTRING) {
    char *s = nullptr;
    r.rc = dbex_eval(db, e, setflag, &s);
    r.s = s ? s : "(none)";
    free(s);
  } else {
    r.rc = dbex_eval(db, e, setflag, &r.i);
  }
  dbex_free(e);
  return r;
}

// The printed and registered messages of one compilation (or evaluation).
struct Messages {
  ElogCapture printed;
  std::string text() { return printed.text() + logged(); }
};

class Expr : public ::testing::Test {
 protected:
  void SetUp() override { logged(); }
  void open_with_sites() {
    ASSERT_EQ(demo.open(), 0);
    std::string text =
        record(demo.db, "site",
               {"AAK", "2001001", "-1", "42.6390", "74.4940", "1.6450", "Ala Archa", "0"}) +
        record(demo.db, "site",
               {"BBB", "2005010", "2006001", "-10.5000", "20.2500", "0.1000", "12abc", "0"}) +
        record(demo.db, "site",
               {"CCC", "-1", "-1", "-999.0000", "-999.0000", "-999.0000", "-", "0"});
    demo.close();
    demo.write_table("site", text);
    ASSERT_EQ(demo.open(), 0);
    site = demo.table("site");
    site.record = 0;
  }
  Dbptr rec(int n) const {
    Dbptr d = site;
    d.record = n;
    return d;
  }

  DemoDb demo;
  Dbptr site{};
};

}  // namespace

TEST_F(Expr, ScannerAndParserTypes) {
  open_with_sites();
  struct Case {
    const char *text;
    int type;
  } cases[] = {
      {"1e5", dbREAL},
      {".5", dbREAL},
      {"1.", dbREAL},
      {"1.5E+10", dbREAL},
      {"12", dbINTEGER},
      {"'abc'", dbSTRING},
      {"\"a'b\"", dbSTRING},
      {"_2001-01-01 00:00:00_", dbTIME},
      {"lat", dbREAL},
      {"ondate", dbYEARDAY},
      {"sta", dbSTRING},
      {"site.lat", dbREAL},
      {"lat > 1", dbBOOLEAN},
      {"2 + 3", dbINTEGER},
      {"2 ^ 3", dbREAL},
      {"lddate - lddate", dbREAL},
      {"ondate + 1", dbYEARDAY},
      {"sta . lat", dbSTRING},
      {"1 ? 'a' : 2", dbSTRING},
      {"sta =~ /A.*/", dbBOOLEAN},
      {"max(lat)", dbREAL},
      {"max(lat, 2)", dbREAL},
      {"count()", dbINTEGER},
      {"strlen(sta)", dbINTEGER},
      {"[ '/bin/echo' 'x' ]", dbSTRING},
      {"- - 3", dbINTEGER},
      {"1 | 6 & 3", dbINTEGER},
      {"lat := 3", dbREAL},
      {"sta == NULL", dbBOOLEAN},
      {"0x12", dbINVALID},
      {"1.2.3", dbINVALID},
      {"a.b", dbINVALID},
      {"", dbINVALID},
      {"# comment\n", dbINVALID},
      {"1 +", dbINVALID},
      {"sta =~ 'A'", dbINVALID},
      {"[ ]", dbINVALID},
      {"NULL", dbINVALID},
      {"'abc", dbINVALID},
      {"_2001", dbINVALID},
      {"1 $ 2", dbINVALID},
      {"nosuch", dbINVALID},
      {"wfdisc.nosuch", dbINVALID},
      {"nosuch.lat", dbINVALID},
      {"-'a'", dbSTRING},
  };
  for (const Case &c : cases) {
    Messages m;
    Expression *e = nullptr;
    EXPECT_EQ(dbex_compile(site, c.text, &e, 0), c.type) << c.text << "\n" << m.text();
    dbex_free(e);
  }
}

TEST_F(Expr, CompileMessages) {
  open_with_sites();
  struct Case {
    const char *text;
    const char *message;
  } cases[] = {
      {"nosuch + 1", "field 'nosuch' not found in database"},
      {"nosuch := 1", "field 'nosuch' not found in table 'site'"},
      {"frobnicate(1)", "function not recognized: 'frobnicate'"},
      {"strlen('a', 'b')", "strlen: wrong number of arguments -- want 1, got 2"},
      {"NULL == sta", "first operand of expression using NULL must be a field"},
      {"sta < NULL", "The only relational operators allowed with NULL are '==' and '!='"},
      {"patsub(sta, sta, 'x')", "pattern in patsub must be string"},
      {"patsub(sta, '(', 'x')", "patsub re '(' didn't compile"},
      {"sta =~ /(/", "'(' failed to compile"},
      {"1 +", "eval : parse error"},
      {"# only a comment\n1", "eval : parse error"},
      {"NULL", "Expression could not be compiled: NULL"},
      {"@/nonexistent/file", "Couldn't open '/nonexistent/file' to include at line 1"},
      {"@/dev/null", "Couldn't open '/dev/null' to include at line 1"},
      {"sta =~ /(a*){5000}/", "failed to compile"},
      {"lat + 1 $", "near '$' in 'lat + 1 $'"},
  };
  for (const Case &c : cases) {
    Messages m;
    Expression *e = nullptr;
    EXPECT_EQ(dbex_compile(site, c.text, &e, 0), dbINVALID) << c.text;
    EXPECT_EQ(e, nullptr);
    EXPECT_NE(m.text().find(c.message), std::string::npos) << c.text << ": " << m.text();
  }
  // A unary minus on a string is only reported.
  Messages m;
  EXPECT_EQ(run(site, "-sta").type, dbSTRING);
  EXPECT_NE(m.text().find("bad unary minus sign"), std::string::npos);
}

TEST_F(Expr, LiteralsAndLines) {
  open_with_sites();
  EXPECT_EQ(run(site, "'two\nlines'").s, "two\nlines");
  EXPECT_EQ(run(site, "1 + 2\n+ 4").i, 3);  // the newline ends the expression
  EXPECT_EQ(run(site, "sta =~ /ab\\/c/ ? 'y' : 'n'").s, "n");
  EXPECT_EQ(run(site, "'ab/c' =~ /ab\\/c/").i, 1);
  EXPECT_EQ(run(site, "_2001-01-01 00:00:00_").d, 978307200.0);
  EXPECT_EQ(run(site, "__").d, 0.0);
  EXPECT_EQ(run(site, "99999999999").i, INT_MAX);
  // A literal longer than the scanner takes fails instead of overrunning.
  std::string longest = "'" + std::string(8191, 'x') + "'";
  EXPECT_EQ(run(site, "strlen(" + longest + ")").i, 8191);
  Messages m;
  EXPECT_EQ(run(site, "'" + std::string(9000, 'x') + "'").type, dbINVALID);
  EXPECT_NE(m.text().find("literal longer than 8191"), std::string::npos);
}

TEST_F(Expr, Includes) {
  open_with_sites();
  TempDir dir;
  std::string third = dir.write("third", "1\n");
  std::string second = dir.write("second", "@" + third + "\n");
  std::string first = dir.write("first", "@" + second + "\n");
  // The included text goes on with the rest of the line, unless the file's newline ends
  // the whole expression.
  std::string part = dir.write("part", "lat + 1");
  std::string line = dir.write("line", "lat + 1 \n ignored");
  EXPECT_DOUBLE_EQ(run(site, "@" + part + " * 2").d, 42.639 + 2);
  EXPECT_DOUBLE_EQ(run(site, "@" + line + " * 2").d, 42.639 + 1);
  EXPECT_EQ(run(site, "@" + second).i, 1);  // two levels open at once
  Messages m;
  EXPECT_EQ(run(site, "@" + first).type, dbINVALID);
  EXPECT_NE(m.text().find("Includes nested more than 1 deep"), std::string::npos);
}

TEST_F(Expr, Precedence) {
  open_with_sites();
  struct Case {
    const char *text;
    int i;
  } cases[] = {
      {"2 + 3 * 4", 14},   {"(2 + 3) * 4", 20}, {"2 ^ 3 ^ 2 == 64", 1},
      {"-2 * 3", -6},      {"- - 4", 4},        {"1 < 2 < 3", 1},
      {"3 < 2 < 1", 1},    {"1 || 0 && 0", -1}, {"0 ? 5 : 1 ? 6 : 7", 6},
      {"1 + 2 == 3", 1},   {"1 | 2 + 1", 4},    {"1 << 2 | 1", 5},
      {"12 . 3 + 1", 124}, {"2 + 3 =~ /5/", 1}, {"1 == 2 =~ /2/", 1},
      {"10 - 4 - 3", 3},   {"100 / 10 / 5", 2},
  };
  for (const Case &c : cases) {
    Result r = run(site, c.text);
    EXPECT_GE(r.rc, 0) << c.text;
    EXPECT_EQ(r.i, c.i) << c.text;
  }
  // Assignment takes the whole right side, and binds into the right operand.
  EXPECT_EQ(run(rec(0), "elev := 1 ? 2 : 3", 1).d, 2.0);
  EXPECT_EQ(run(rec(0), "1 + elev := 5", 1).d, 6.0);
  EXPECT_EQ(run(rec(0), "elev").d, 5.0);
}

TEST_F(Expr, Arithmetic) {
  open_with_sites();
  struct Case {
    const char *text;
    int type;
    double value;
  } cases[] = {
      {"2 + 3", dbINTEGER, 5},
      {"2 / 4", dbINTEGER, 0},
      {"2.0 / 4", dbREAL, 0.5},
      {"2 ^ 3", dbREAL, 8},
      {"-7 % 3", dbINTEGER, -1},
      {"-7.0 % 3.0", dbREAL, 2},
      {"7 % -3", dbINTEGER, 1},
      {"1 << 40", dbINTEGER, 0},
      {"1 << 257", dbINTEGER, 2},
      {"-8 >> 1", dbINTEGER, -4},
      {"-8 >> 40", dbINTEGER, -1},
      {"6 & 3", dbINTEGER, 2},
      {"6 | 3", dbINTEGER, 7},
      {"-7 / 2", dbINTEGER, -3},
      {"2147483647 + 1", dbINTEGER, INT_MIN},
      {"'12' + 1", dbINTEGER, 13},
      {"' 2.5 ' * 2", dbREAL, 5},
      {"ondate + 1", dbYEARDAY, 2001002},
      {"-lat", dbREAL, -42.639},
      {"lat * 2", dbREAL, 85.278},
  };
  for (const Case &c : cases) {
    Result r = run(rec(0), c.text);
    ASSERT_EQ(r.type, c.type) << c.text;
    EXPECT_GE(r.rc, 0) << c.text;
    EXPECT_DOUBLE_EQ(c.type == dbREAL ? r.d : r.i, c.value) << c.text;
  }
  // Integer division and remainder by zero fail the evaluation instead of trapping.
  for (const char *text : {"1 / 0", "1 % 0", "1 / (ondate - 2001001)"}) {
    Messages m;
    Result r = run(rec(0), text);
    EXPECT_EQ(r.rc, dbINVALID) << text;
    EXPECT_EQ(r.i, INT_MIN) << text;
    EXPECT_NE(m.text().find("integer division by zero"), std::string::npos);
  }
  EXPECT_EQ(run(rec(0), "-2147483647 - 1 == (-2147483647 - 1) / -1").i, 1);
}

TEST_F(Expr, ConversionsAndComparisons) {
  open_with_sites();
  struct Case {
    const char *text;
    int truth;
  } cases[] = {
      {"'abc' =~ /b/", 0},      {"'abc' =~ /.*b.*/", 1},     {"'abc' !~ /b/", 1},
      {"sta =~ /AA./", 1},      {"sta == 'AAK'", 1},         {"'b' > 'abc'", 1},
      {"lat > 42.6", 1},        {"ondate == 2001001", 1},    {"ondate < _2001-01-02_", 1},
      {"lddate == 0", 1},       {"'12' == 12", 1},           {"1 || sta == lat", 1},
      {"'true' == (1 < 2)", 1}, {"int(2.5) . '' == '2'", 1}, {"strlen(lddate . '') == 23", 1},
      {"lat < 'x'", -102},      {"staname + 1", -102},
  };
  for (const Case &c : cases) {
    Result r = run(rec(0), c.text);
    EXPECT_EQ(r.rc, c.truth) << c.text;
  }
  // Failure values by type, on the string field "12abc" of record 1.
  Result r = run(rec(1), "staname + 0");
  EXPECT_EQ(r.rc, dbINVALID);
  EXPECT_EQ(r.i, INT_MIN);
  r = run(rec(1), "staname * 1.0");
  EXPECT_EQ(r.rc, dbINVALID);
  EXPECT_EQ(r.d, HUGE_VAL);
  r = run(rec(1), "staname . (staname + 0)");
  EXPECT_EQ(r.rc, dbINVALID);
  EXPECT_EQ(r.s, "**evaluation failed**");
  // Conversions the tables refuse reach the evaluator as invalid conversion nodes.
  Messages m;
  EXPECT_EQ(run(rec(0), "(1 < 2) * 1.5 > 0").rc, dbINVALID);
  EXPECT_NE(m.text().find("Bad conversion (compile error) from dbBOOLEAN to dbREAL"),
            std::string::npos);
  // Time and yearday conversions.
  EXPECT_EQ(run(rec(1), "ondate + 0.0 == _2005010_").i, 1);
  EXPECT_EQ(run(rec(1), "yearday(_2005-01-10 13:00:00_)").i, 2005010);
  EXPECT_EQ(run(rec(0), "'' . lddate").s, "01/01/1970 00:00:00.000");
  EXPECT_EQ(run(rec(0), "'' . 2.5").s, "2.5");
}

TEST_F(Expr, StringResultsAndNull) {
  open_with_sites();
  EXPECT_EQ(run(rec(0), "staname").s, "Ala Archa");
  EXPECT_EQ(run(rec(0), "staname").rc, 1);
  EXPECT_EQ(run(rec(0), "''").rc, 0);
  EXPECT_EQ(run(rec(0), "sta . '-' . ondate").s, "AAK-2001001");
  for (int n : {0, 1, 2}) {
    EXPECT_EQ(run(rec(n), "lat == NULL").i, n == 2) << n;
    EXPECT_EQ(run(rec(n), "staname != NULL").i, n != 2) << n;
  }
  EXPECT_EQ(run(rec(0), "(1 ? NULL : 2) == 2").rc, dbINVALID);
}

TEST_F(Expr, ShortCircuitAndConditional) {
  open_with_sites();
  // The right operand, and the branch not taken, would fail if evaluated.
  EXPECT_EQ(run(rec(1), "1 || staname + 0").i, -1);
  EXPECT_EQ(run(rec(1), "0 && staname + 0").i, 0);
  EXPECT_EQ(run(rec(1), "1 ? 5 : staname + 0").i, 5);
  EXPECT_EQ(run(rec(1), "0 ? staname + 0 : 7").i, 7);
  EXPECT_EQ(run(rec(1), "0 || staname + 0").rc, dbINVALID);
}

TEST_F(Expr, Assignment) {
  open_with_sites();
  Result r = run(rec(1), "elev := elev + 1", 0);
  EXPECT_DOUBLE_EQ(r.d, 1.1);
  EXPECT_DOUBLE_EQ(run(rec(1), "elev").d, 0.1);  // setflag 0 writes nothing
  struct Case {
    const char *set;
    const char *check;
  } cases[] = {
      {"elev := 2.5", "elev == 2.5"},
      {"staname := 'new name'", "staname == 'new name'"},
      {"ondate := 2007100", "ondate == 2007100"},
      {"lddate := _2001-01-01_", "lddate == 978307200.0"},
      {"staname := NULL", "staname == NULL"},
      {"lat := '7.5'", "lat == 7.5"},
  };
  for (const Case &c : cases) {
    EXPECT_GE(run(rec(1), c.set, 1).rc, 0) << c.set;
    EXPECT_EQ(run(rec(1), c.check).i, 1) << c.check;
  }
  // The null record can't be written.
  Messages m;
  EXPECT_EQ(run(rec(dbNULL), "elev := 1.0", 1).rc, dbINVALID);
  EXPECT_NE(m.text().find("can't ASSIGN    1.00000 to elev"), std::string::npos) << m.text();
}

TEST_F(Expr, FieldsWiderThanTheWorkingText) {
  // A string field wider than 1024 bytes is read whole, not into a 1024-byte buffer.
  TempDir dir;
  clear_db_env();
  dir.write(
      "wide1.0",
      "Schema wide1.0 ;\nAttribute note String (2000) Format ( \"%-2000s\" ) Null ( \"-\" ) ;\n"
      "Relation notes Fields ( note ) ;\n");
  std::string path = dir.write("wide", "wide1.0\n");
  dir.write("wide.notes", std::string(1990, 'n') + "end" + std::string(7, ' ') + "\n");
  Dbptr db;
  ASSERT_EQ(RVdbopen(path.c_str(), "r", &db), 0);
  db = dblookup(db, nullptr, "notes", nullptr, nullptr);
  db.record = 0;
  Result r = run(db, "note");
  EXPECT_EQ(r.s.size(), 1993u);
  EXPECT_EQ(r.s.substr(1990), "end");
  RVdbclose(db);
}

TEST_F(Expr, CommandForm) {
  open_with_sites();
  EXPECT_EQ(run(rec(0), "[ '/bin/echo' sta 'x' ]").s, "AAK x");
  EXPECT_EQ(run(rec(0), "[ 'echo' 'search' 'path' ]").s, "search path");
  EXPECT_EQ(run(rec(0), "[ '/nonexistent/prog' ]").s, "Couldn't exec /nonexistent/prog");
  // More output than is taken: the first 1024 bytes, and the program does not block.
  std::string many = "[ '/bin/echo'";
  for (int i = 0; i < 40; i++) many += " '" + std::string(1000, 'a' + i % 26) + "'";
  many += " ]";
  Result r = run(rec(0), many);
  EXPECT_EQ(r.s.size(), 1024u);
  EXPECT_EQ(r.s.substr(0, 3), "aaa");
  Messages m;
  EXPECT_EQ(run(rec(0), "[| '/bin/echo' 'x' ]").rc, dbINVALID);
}

TEST_F(Expr, HostileNesting) {
  open_with_sites();
  struct Case {
    std::string text;
    const char *message;
  } cases[] = {
      {std::string(5000, '(') + "1" + std::string(5000, ')'), "parser stack overflow"},
      {std::string(5000, '-') + "1", "parser stack overflow"},
      {[] {
         std::string s = "1";
         for (int i = 0; i < 3000; i++) s += " + 1";
         return s;
       }(),
       "expression nested more than 1000 deep"},
      {"sum(sum(sum(lat)))", "aggregate functions nested more than 2 deep"},
  };
  for (const Case &c : cases) {
    Messages m;
    EXPECT_EQ(run(site, c.text).type, dbINVALID) << c.message;
    EXPECT_NE(m.text().find(c.message), std::string::npos) << m.text().substr(0, 200);
  }
  std::string ok = "1";
  for (int i = 0; i < 900; i++) ok += " + 1";
  EXPECT_EQ(run(site, ok).i, 901);
}

TEST_F(Expr, ConvertedRootAndNames) {
  open_with_sites();
  Expression *e = nullptr;
  EXPECT_EQ(dbex_compile(rec(0), "lat", &e, dbSTRING), dbREAL);
  char *s = nullptr;
  EXPECT_EQ(dbex_eval(rec(0), e, 0, &s), 1);
  EXPECT_STREQ(s, "42.639");
  free(s);
  dbex_free(e);
  EXPECT_STREQ(dbtypename(dbINVALID), "dbINVALID");
  EXPECT_STREQ(dbtypename(dbYEARDAY), "dbYEARDAY");
  EXPECT_STREQ(dbtypename(7), "regular expression");
  EXPECT_STREQ(dbtypename(99), "** Unknown **");
  dbex_free(nullptr);
}

TEST_F(Expr, Printer) {
  open_with_sites();
  Expression *e = nullptr;
  ASSERT_EQ(dbex_compile(rec(0), "lat + 1 > 2 && sta =~ /A/", &e, 0), dbBOOLEAN);
  testing::internal::CaptureStdout();
  exshow_expression(e, 1);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "(real) lat (integer) 1 (real) type-conversion (real) + (integer) 2 (real) "
            "type-conversion (boolean) GT (string) sta (regexp) /RE/ (boolean) LIKE "
            "(boolean) AND ");
  dbex_free(e);
}

TEST_F(Expr, BuiltinFunctions) {
  open_with_sites();
  struct Case {
    const char *text;
    double value;
  } numbers[] = {
      {"distance(0, 0, 0, 90)", 90},
      {"distance(10, 20, 10, 20)", 0},
      {"azimuth(0, 0, 0, 90)", 90},
      {"azimuth(0, 0, 10, 0)", 0},
      {"azimuth(0, 0, -10, 0)", 180},
      {"latitude(0, 0, 10, 0)", 10},
      {"longitude(0, 0, 10, 90)", 10},
      {"longitude(0, 175, 10, 90)", -175},
      {"deg2km(1)", 111.19492664455873},
      {"km2deg(111.19492664455873)", 1},
      {"abs(-2)", 2},
      {"ceil(1.2)", 2},
      {"floor(-1.2)", -2},
      {"int(-2.5)", -2},
      {"int(2.5)", 2},
      {"sqrt(9)", 3},
      {"cos(60)", 0.5},
      {"sin(30)", 0.5},
      {"tan(45)", 1},
      {"atan(1, 1)", 45},
      {"log(exp(1))", 1},
      {"log10(1000)", 3},
      {"sign(0)", 0},
      {"sign(-3)", -1},
      {"sign(0.1)", 1},
      {"epoch(2001001)", 978307200},
      {"min(2, 3)", 2},
      {"max(2, 3)", 3},
      {"date2e(2001, 1, 2, 10)", 978393610},
      {"date2e(2001.9, 2, 1.5, 0)", 980985600},
      {"str2epoch('2001-01-01')", 978307200},
      {"yearday(_2005-01-10_)", 2005010},
      {"strlen('abc')", 3},
      {"record()", 0},
      {"count()", 3},
      {"sum(lat)", 42.639 - 10.5 - 999},
      {"max(lat)", 42.639},
      {"min(lat)", -999},
      {"max(lat) - min(lat) + sum(1)", 42.639 + 999 + 3},
  };
  for (const Case &c : numbers) {
    Result r = run(rec(0), c.text);
    EXPECT_GE(r.rc, 0) << c.text;
    double got = (r.type == dbREAL || r.type == dbTIME) ? r.d : r.i;
    EXPECT_NEAR(got, c.value, 1e-9) << c.text;
  }
  EXPECT_EQ(run(rec(2), "record()").i, 2);
  EXPECT_GT(run(rec(0), "now()").d, 1.5e9);

  struct Text {
    const char *text;
    const char *value;
  } texts[] = {
      {"strdate(0)", "01/01/1970"},
      {"strtime(0.5)", "01/01/1970 00:00:00.500"},
      {"strydtime(86400)", "01/02/1970 (002) 00:00:00.000"},
      {"dirname('/a/b/c')", "/a/b"},
      {"basename('/a/b/c')", "c"},
      {"substr('abcdefghij', -3, 0)", "hij"},
      {"substr('abcdef', 2, -2)", "cd"},
      {"substr('abc', 1, -10)", "bc"},
      {"substr('abc', 5, 0)", ""},
      {"substr('abcdef', 1, 2)", "bc"},
      {"substr('abc', -10, 1)", "a"},
      {"concatpaths('/db', '../wf/x')", "/wf/x"},
      {"epoch2str('0', '%Y-%m-%d')", "1970-01-01"},
      {"epoch2str(_2001-02-03_, '%j')", "034"},
      {"epoch2str('0', '%H:%M', 'UTC')", "00:00"},
      {"strtdelta(90)", "1.5 minutes"},
      {"patsub('a.b.c', '[.]', '/')", "a/b/c"},
      {"patsub(sta, '(A+)', '<\\1>')", "<AA>K"},
      {"null('lat')", "-999.0000"},
      {"null('keyname')", "-"},
      {"null('nosuchfield')", ""},
  };
  for (const Text &c : texts) {
    Result r = run(rec(0), c.text);
    EXPECT_GE(r.rc, 0) << c.text;
    EXPECT_EQ(r.s, c.value) << c.text;
  }
}

// The rows that call the science layer pass its results on as they come.
TEST_F(Expr, ScienceRows) {
  open_with_sites();
  struct Case {
    const char *text;
    double value;
  } numbers[] = {
      {"ptime(10, 33)", pphasetime(10, 33)},
      {"pphasetime(10, 33)", pphasetime(10, 33)},
      {"pphase_slowness(10, 33)", pphase_slowness(10, 33)},
      {"stime(10, 33)", sphasetime(10, 33)},
      {"sphasetime(10, 33)", sphasetime(10, 33)},
      {"sphase_slowness(10, 33)", sphase_slowness(10, 33)},
      {"phasetime('S', '10', '33')", sphasetime(10, 33)},
      {"phase_slowness('P', 10, 33)", pphase_slowness(10, 33)},
      // A real reaches phasetime whole, not as the six digits of "%g".
      {"phasetime('P', 10.1234567, 0.000123456789)", pphasetime(10.1234567, 0.000123456789)},
      {"phase_slowness('S', lat / 3, 1.0 / 3)", sphase_slowness(42.639 / 3, 1.0 / 3)},
      {"phasetime('PKP', 10, 0)", -1},
      {"ptime(200, 0)", -1},
      {"grn(0, 0)", 9 * 36 + 18 + 1},
      {"grn(lat, lon)", (double)grnumber(42.639, 74.494)},
      {"srn(0, 0)", (double)srnumber(9 * 36 + 18 + 1)},
      {"srn(-90, 180)", 1},
  };
  for (const Case &c : numbers) {
    Result r = run(rec(0), c.text);
    EXPECT_GE(r.rc, 0) << c.text;
    double got = (r.type == dbREAL || r.type == dbTIME) ? r.d : r.i;
    EXPECT_EQ(got, c.value) << c.text;
  }
  EXPECT_NE(pphasetime(10.1234567, 0), pphasetime(10.1235, 0));  // the case above can tell

  struct Text {
    const char *text;
    std::string value;
  } texts[] = {
      {"grname(0, 0)", "region lat 0 to 10, lon 0 to 10"},
      {"gregion(-90, -180)", "region lat -90 to -80, lon -180 to -170"},
      {"srname(0, 0)", "seismic region lat 0 to 30, lon 0 to 30"},
      {"sregion(89, 179)", "seismic region lat 60 to 90, lon 150 to 180"},
      {"grname(lat, lon)", grname(grnumber(42.639, 74.494))},
  };
  for (const Text &c : texts) {
    Result r = run(rec(0), c.text);
    EXPECT_GE(r.rc, 0) << c.text;
    EXPECT_EQ(r.s, c.value) << c.text;
  }
}

// Arrival times read the origin and the site of a record of a view over both.
TEST_F(Expr, ArrivalsOnAViewOfOriginAndSite) {
  open_with_sites();
  ASSERT_EQ(dbcompile(demo.db,
                      "Attribute depth\n\tReal (9)\n\tFormat ( \"%9.4f\" )\n"
                      "\tNull ( \"-999.0000\" )\n\t;\n"
                      "Relation origin\n\tFields ( lat lon depth time lddate )\n\t;\n"),
            0);
  demo.write_table("origin",
                   record(demo.db, "origin", {"10.0", "20.0", "33.0", "1000.0", "0"}) +
                       record(demo.db, "origin", {"10.0", "20.0", "7000.0", "1000.0", "0"}));
  Tbl *tables = newtbl(2);
  pushtbl(tables, const_cast<char *>("origin"));
  pushtbl(tables, const_cast<char *>("site"));
  Dbptr view = dbtbl2view(demo.db, "os", tables);
  freetbl(tables, nullptr);
  ASSERT_GE(view.table, 0) << logged();
  Dbptr origin = demo.table("origin");
  for (int o : {0, 1}) {
    Dbptr row[2] = {{origin.database, origin.table, dbALL, o},
                    {site.database, site.table, dbALL, 0}};
    ASSERT_GE(dbadd(view, reinterpret_cast<const char *>(row)), 0) << logged();
  }
  const double kPi = 3.141592653589793;
  double delta, az;
  dist(10.0 * kPi / 180, 20.0 * kPi / 180, 42.639 * kPi / 180, 74.494 * kPi / 180, &delta, &az);
  double distance = delta * 180 / kPi;
  ASSERT_GT(distance, 1.0);
  view.record = 0;
  struct Case {
    const char *text;
    double value;
  } cases[] = {
      {"arrival('P')", 1000.0 + phasetime("P", distance, 33.0)},
      {"arrival('S')", 1000.0 + phasetime("S", distance, 33.0)},
      {"parrival()", 1000.0 + pphasetime(distance, 33.0)},
      {"sarrival()", 1000.0 + sphasetime(distance, 33.0)},
      {"phase_arrival(2.0)", 1000.0 + distance / 2.0},
  };
  for (const Case &c : cases) {
    Result r = run(view, c.text);
    EXPECT_EQ(r.rc, 1) << c.text << " " << logged();
    EXPECT_NEAR(r.d, c.value, 1e-6) << c.text;
  }
  EXPECT_GT(run(view, "sarrival() - parrival()").d, 0.0);
  // No travel time (a phase the model lacks, or a source below the centre): an
  // evaluation error, not a time before the origin.
  Result r = run(view, "arrival('PKP')");
  EXPECT_EQ(r.rc, dbINVALID);
  EXPECT_NE(logged().find("arrival: no PKP travel time"), std::string::npos);
  view.record = 1;
  EXPECT_EQ(run(view, "parrival()").rc, dbINVALID);
  EXPECT_EQ(run(view, "phase_arrival(2.0)").rc, 1);  // no travel time involved
}

TEST_F(Expr, BuiltinFailures) {
  open_with_sites();
  struct Case {
    std::string text;
    const char *message;
  } cases[] = {
      {"phasetime('P', 'ten', 0)", "phasetime: 'ten' is not a number"},
      {"phase_slowness('P', 10, '1e999')", "phase_slowness: '1e999' is not a number"},
      {"parrival()", "can't read the origin and site"},
      {"arrival('P')", "can't read the origin and site"},
      {"phase_arrival(8.0)", "can't read the origin and site"},
      {"epoch2str('0', '%H', 'No/Such_Zone')", ""},
      {"patsub(patsub(patsub(sta, '', '" + std::string(50, 'x') + "'), '', '" +
           std::string(50, 'x') + "'), '', '" + std::string(50, 'x') + "')",
       "patsub: result longer than 65536 bytes"},
  };
  for (const Case &c : cases) {
    Messages m;
    Result r = run(rec(0), c.text);
    EXPECT_EQ(r.rc, dbINVALID) << c.text;
    EXPECT_NE(m.text().find(c.message), std::string::npos) << c.text << ": " << m.text();
  }
  // Max and min over an empty table fail; a sum is 0.
  Dbptr empty = demo.table("sitechan");
  empty.record = 0;
  EXPECT_EQ(run(empty, "max(chanid)").rc, dbINVALID);
  EXPECT_EQ(run(empty, "min(chanid)").rc, dbINVALID);
  Result r = run(empty, "sum(chanid)");
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.d, 0.0);
  // A record whose value fails is left out and fails the whole evaluation.
  EXPECT_EQ(run(rec(0), "sum(staname + 0.0)").rc, dbINVALID);
}

TEST_F(Expr, CountFollowsTheTable) {
  open_with_sites();
  EXPECT_EQ(run(rec(0), "count()").i, 3);
  std::string more = read_file(demo.dir.file("demo.site"));
  more += more.substr(0, more.size() / 3);
  demo.write_table("site", more);
  Dbptr all = site;
  all.record = dbALL;
  ASSERT_EQ(dbquery(all, dbRECORD_COUNT, nullptr), 4);
  // Not a count remembered from before the record was added.
  EXPECT_EQ(run(rec(0), "count()").i, 4);
}

TEST_F(Expr, GroupAggregates) {
  open_with_sites();
  ASSERT_EQ(dbadd_bundle(demo.db), 0);
  ASSERT_EQ(dbcompile(demo.db, "Relation grp\n\tFields ( sta bundle )\n\t;\n"), 0);
  auto bytes = [](Dbptr p) { return std::string(reinterpret_cast<const char *>(&p), sizeof p); };
  Dbptr first_two = {site.database, site.table, 2, 0};  // records 0 and 1
  Dbptr last = {site.database, site.table, 3, 2};       // record 2
  Dbptr none = {site.database, site.table, 1, 1};       // no record
  demo.write_table("grp", record(demo.db, "grp", {"g1", bytes(first_two)}) +
                              record(demo.db, "grp", {"g2", bytes(last)}) +
                              record(demo.db, "grp", {"g3", bytes(none)}));
  Dbptr grp = demo.table("grp");
  struct Case {
    int record;
    const char *text;
    double value;
    int rc;
  } cases[] = {
      {0, "count()", 2, 1},           {1, "count()", 1, 1},       {2, "count()", 0, 0},
      {0, "sum(lat)", 32.139, 1},     {0, "max(lat)", 42.639, 1}, {0, "min(lat)", -10.5, 1},
      {1, "max(elev)", -999, 1},      {2, "max(lat)", 0, -102},   {2, "sum(lat)", 0, 0},
      {0, "max(count(), 50)", 50, 1},
  };
  for (const Case &c : cases) {
    grp.record = c.record;
    Result r = run(grp, c.text);
    EXPECT_EQ(r.rc, c.rc) << c.text << " " << c.record;
    if (c.rc >= 0) {
      EXPECT_NEAR(r.type == dbINTEGER ? r.i : r.d, c.value, 1e-9) << c.text;
    }
  }
  Expression *e = nullptr;
  EXPECT_EQ(dbex_compile(grp, "bundle", &e, 0), dbINVALID);  // a pointer, not a value
  ASSERT_EQ(dbex_compile(grp, "max(lat)", &e, 0), dbREAL);
  EXPECT_STREQ(RVFunctions[e->value.i].name, "%max_group");
  dbex_free(e);
  ASSERT_EQ(dbex_compile(site, "max(lat)", &e, 0), dbREAL);
  EXPECT_STREQ(RVFunctions[e->value.i].name, "max_table");
  dbex_free(e);
  EXPECT_EQ(RVnfunctions, 74);
  EXPECT_EQ(eqfunct("min_table"), 73);
  EXPECT_EQ(eqfunct("nosuch"), -1);
}
