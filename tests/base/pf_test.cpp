#include "base/pf.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/arr.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "testkit/testkit.h"

namespace {

std::string quote(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string dump_value(int kind, void *value);

// An unambiguous picture of a node, built through the public calls only: texts quoted,
// arrays as {key=value,...} in key order, lists as [a,b].
std::string dump_node(Pf *node, int kind) {
  std::string out;
  if (kind == PFTBL) {
    out = "[";
    for (long i = 0;; i++) {
      void *v = nullptr;
      int k = pfget(node, std::to_string(i).c_str(), &v);
      if (k == PFINVALID) break;
      if (i > 0) out += ",";
      out += dump_value(k, v);
    }
    return out + "]";
  }
  out = "{";
  Tbl *keys = pfkeys(node);
  for (long i = 0; i < maxtbl(keys); i++) {
    const char *key = static_cast<const char *>(gettbl(keys, i));
    void *v = nullptr;
    int k = pfget(node, key, &v);
    if (i > 0) out += ",";
    out += quote(key) + "=" + dump_value(k, v);
  }
  freetbl(keys, nullptr);
  return out + "}";
}

std::string dump_value(int kind, void *value) {
  if (kind == PFSTRING) return quote(static_cast<char *>(value));
  return dump_node(static_cast<Pf *>(value), kind);
}

std::string dump(Pf *pf) { return dump_node(pf, PFFILE); }

void free_pf(void *p) { pffree(static_cast<Pf *>(p)); }

struct PfDeleter {
  void operator()(Pf *pf) const { pffree(pf); }
};
using PfPtr = std::unique_ptr<Pf, PfDeleter>;

PfPtr compile(const std::string &text) {
  Pf *pf = nullptr;
  EXPECT_EQ(pfcompile(text.c_str(), &pf), 0) << text << "\n" << take_registered();
  return PfPtr(pf);
}

std::string to_text(Pf *pf) {
  char *s = pf2string(pf);
  EXPECT_NE(s, nullptr) << take_registered();
  std::string out = s != nullptr ? s : "";
  free(s);
  return out;
}

// pf2string, then pfcompile, must give the same tree, and writing that gives the same text.
void expect_round_trip(Pf *pf, const std::string &what) {
  std::string text = to_text(pf);
  PfPtr back = compile(text);
  ASSERT_TRUE(back) << what;
  EXPECT_EQ(dump(back.get()), dump(pf)) << what << "\ntext:\n" << text;
  EXPECT_EQ(to_text(back.get()), text) << what;
}

}  // namespace

TEST(Pf, TextShapes) {
  struct Case {
    const char *text;
    const char *tree;
  } cases[] = {
      {"", "{}"},
      {"# only a comment\n\n   \n", "{}"},
      {"key value", "{\"key\"=\"value\"}"},
      {"  key\t  some  value \t\n", "{\"key\"=\"some  value\"}"},
      {"key\n", "{\"key\"=\"\"}"},
      {"k \"  x \"\n", "{\"k\"=\"  x \"}"},
      {"k \"\"\n", "{\"k\"=\"\"}"},
      {"k \"\"x\"\"\n", "{\"k\"=\"\\\"x\\\"\"}"},
      {"k \"x\n", "{\"k\"=\"\\\"x\"}"},
      {"k a # not a comment\n", "{\"k\"=\"a # not a comment\"}"},
      {"b 1\na 2\nb 3\n", "{\"a\"=\"2\",\"b\"=\"3\"}"},
      {"\"a b\" 1\n", "{\"a b\"=\"1\"}"},
      {"a 1\r\nb 2\r\n", "{\"a\"=\"1\",\"b\"=\"2\"}"},
      {"a &Arr{ # opens\n  b 1\n  c &Tbl{\n    x\n\n    # gone\n    y z\n    \"#kept\"\n"
       "    &Arr{\n      k v\n    }\n    &Tbl{\n    }\n  }\n} # closes\n",
       "{\"a\"={\"b\"=\"1\",\"c\"=[\"x\",\"y z\",\"#kept\",{\"k\"=\"v\"},[]]}}"},
      {"l &Literal{\nline one\n  two\n# kept\n}\n", "{\"l\"=\"line one\\n  two\\n# kept\"}"},
      {"log &Literal{\nPinged ok}\n", "{\"log\"=\"Pinged ok\"}"},
      {"e &Literal{\n}\n", "{\"e\"=\"\"}"},
      {"one &Literal{on the line}\n", "{\"one\"=\"on the line\"}"},
      {"m &Literal{\nbad } here}\n", "{\"m\"=\"bad } here\"}"},
      {"a &Arr{\n    x &Literal{\n    keep {braces}\n      indented\n\n    }\n}\n",
       "{\"a\"={\"x\"=\"keep {braces}\\n  indented\\n\"}}"},
      {"t &Tbl{\n  &Literal{\n  a\n  b\n  }\n}\n", "{\"t\"=[\"a\\nb\"]}"},
  };
  for (const Case &c : cases) {
    PfPtr pf = compile(c.text);
    ASSERT_TRUE(pf) << c.text;
    EXPECT_EQ(dump(pf.get()), c.tree) << c.text;
  }
}

TEST(Pf, MalformedTextIsRefusedWithItsLine) {
  std::string long_line = "k " + std::string(1 << 20, 'x') + "\n";
  std::string deep, too_deep;
  for (int i = 0; i < PF_MAX_DEPTH; i++) deep += "&Tbl{\n";
  deep = "t &Tbl{\n" + deep.substr(6);
  too_deep = deep + "&Tbl{\n";
  for (int i = 0; i < PF_MAX_DEPTH; i++) deep += "}\n";
  struct Case {
    std::string text;
    const char *error;
  } cases[] = {
      {"a &Arr{\n b 1\n", "pfcompile: line 2: &Arr{ opened at line 1 is not closed"},
      {"a &Arr{\n b &Arr{\n}\n", "line 3: &Arr{ opened at line 1 is not closed"},
      {"a 1\n}\n", "pfcompile: line 2: '}' closes no block"},
      {"a &Literal{\nnever {closed}\n", "line 2: &Literal{ opened at line 1 is not closed"},
      {"a &Literal{\nunbalanced {\n}\n", "line 3: &Literal{ opened at line 1 is not closed"},
      {"a 1\nb \x01x\n", "pfcompile: line 2: binary byte 0x01"},
      {"a 1\x7f\n", "line 1: binary byte 0x7f"},
      {"a 1\r2\n", "line 1: binary byte 0x0d"},
      {"l &Literal{\nx\x1b\n}\n", "line 2: binary byte 0x1b"},
      {long_line, "pfcompile: line 1: line longer than 65535 bytes"},
      {"a &Arr{ x\n}\n", "line 1: text after '&Arr{'"},
      {"a &Tbl{\n} x\n", "line 2: text after '}'"},
      {"&Arr{\n}\n", "line 1: a block inside an array needs a key"},
      {"\"a b 1\n", "line 1: a quoted key needs"},
      {"\"a\"b 1\n", "line 1: a quoted key needs"},
      {too_deep, "line 101: blocks nested deeper than 100"},
  };
  for (const Case &c : cases) {
    take_registered();
    Pf *pf = reinterpret_cast<Pf *>(&pf);
    EXPECT_EQ(pfcompile(c.text.c_str(), &pf), -1) << c.text.substr(0, 80);
    EXPECT_EQ(pf, nullptr);
    std::string reg = take_registered();
    EXPECT_NE(reg.find(c.error), std::string::npos) << c.text.substr(0, 80) << " gave " << reg;
  }
  PfPtr ok = compile(deep);
  EXPECT_TRUE(ok);
}

TEST(Pf, CanonicalText) {
  PfPtr pf = compile(
      "zeta &Tbl{\n  plain\n  \"  padded\"\n  \"\"\n  &Arr{\n   x 1\n  }\n}\n"
      "alpha 1\nmid &Arr{\n  \"key with blank\" v\n  empty\n  lit &Literal{\n  two\n  lines\n  "
      "}\n}\n");
  EXPECT_EQ(to_text(pf.get()),
            "alpha 1\n"
            "mid &Arr{\nempty\n\"key with blank\" v\nlit &Literal{\ntwo\nlines\n}\n}\n"
            "zeta &Tbl{\nplain\n\"  padded\"\n\"\"\n&Arr{\nx 1\n}\n}\n");
}

TEST(Pf, NestedTreesRoundTrip) {
  const char *awkward[] = {
      "",
      "  lead",
      "trail ",
      "\"quoted\"",
      "\"",
      "\"half",
      "&Arr{",
      "&Tbl{x",
      "&Literal{",
      "#hash",
      "}",
      "} x",
      "tab\tin",
      "multi\nline",
      "ends in newline\n",
      "\nstarts with one",
      "  \n  ",
      "{\n}",
      "a {b}\nc",
      "x\na}",
      "\xc3\xbcnicode",
      "{ open",
      "close }",
  };
  PfPtr pf(pfnew(PFFILE));
  Pf *inner = nullptr;
  PfPtr sub =
      compile("level1 &Arr{\n level2 &Tbl{\n  &Arr{\n   deep &Tbl{\n    x\n   }\n  }\n }\n}\n");
  for (size_t i = 0; i < sizeof awkward / sizeof *awkward; i++) {
    std::string key = "k" + std::to_string(i);
    ASSERT_EQ(pfput_string(pf.get(), key.c_str(), awkward[i]), 0);
  }
  // The same texts as keys and as list elements.
  Tbl *list = newtbl(0);
  Arr *arr = newarr(nullptr);
  const char *keys[] = {"a b", "#k", "}k", "", "&Tbl{", "x\"y"};
  for (const char *k : keys) setarr(arr, k, const_cast<char *>("v"));
  for (const char *s : awkward) {
    pushtbl(list, const_cast<char *>(s));
    if (strchr(s, '\n') == nullptr && strchr(s, '"') == nullptr) {
      setarr(arr, (std::string("key ") + s).c_str(), const_cast<char *>(s));
    }
  }
  ASSERT_EQ(pfput_tbl(pf.get(), "list", list), 0);
  ASSERT_EQ(pfput_arr(pf.get(), "arr", arr), 0);
  ASSERT_EQ(pfget(sub.get(), "level1", reinterpret_cast<void **>(&inner)), PFARR);
  ASSERT_EQ(pfput_string(inner, "added", "multi\nline {text}"), 0);
  freetbl(list, nullptr);
  freearr(arr, nullptr);
  expect_round_trip(pf.get(), "awkward texts");
  expect_round_trip(sub.get(), "nested blocks");
}

TEST(Pf, TreesTheTextCannotCarryAreRefused) {
  struct Case {
    const char *key;
    std::string value;
    const char *error;
  } cases[] = {
      {"k", "bell\x07", "control character"},
      {"k", "two\nlines\x01", "control character"},
      {"k\n", "v", "control character"},
      {"a\"b c", "v", "needs quotes and holds '\"'"},
      {"k", "open {\nnever closed", "braces would end its &Literal{ early"},
      {"k", "a\n}\nb", "braces would end its &Literal{ early"},
      {"k", "x}\n}", "braces would end its &Literal{ early"},
      {"\"q", "v", "needs quotes and holds '\"'"},
      {"k", std::string(PF_MAX_LINE, 'x'), "longer than 65535"},
  };
  for (const Case &c : cases) {
    PfPtr pf(pfnew(PFFILE));
    ASSERT_EQ(pfput_string(pf.get(), c.key, c.value.c_str()), 0);
    take_registered();
    EXPECT_EQ(pf2string(pf.get()), nullptr) << c.key;
    std::string reg = take_registered();
    EXPECT_NE(reg.find("pf2string: can't write"), std::string::npos) << reg;
    EXPECT_NE(reg.find(c.error), std::string::npos) << c.key << ": " << reg;
  }
}

TEST(Pf, GetReportsKindsAndHandsOutTheTreesOwnValues) {
  PfPtr pf = compile(
      "s text\nn 12\nd 2.5\nb yes\nt &Tbl{\n x\n &Arr{\n  k v\n }\n}\na &Arr{\n z 1\n y &Tbl{\n "
      "}\n}\n");
  struct Case {
    Pf *node;
    const char *key;
    int kind;
  };
  void *v = nullptr;
  ASSERT_EQ(pfget(pf.get(), "t", &v), PFTBL);
  Pf *t = static_cast<Pf *>(v);
  ASSERT_EQ(pfget(pf.get(), "a", &v), PFARR);
  Pf *a = static_cast<Pf *>(v);
  Case cases[] = {
      {pf.get(), "s", PFSTRING}, {pf.get(), "t", PFTBL},
      {pf.get(), "a", PFARR},    {pf.get(), "none", PFINVALID},
      {t, "0", PFSTRING},        {t, "1", PFARR},
      {t, "2", PFINVALID},       {t, "x", PFINVALID},
      {t, "-1", PFINVALID},      {a, "y", PFTBL},
      {nullptr, "s", PFINVALID},
  };
  for (const Case &c : cases) {
    v = reinterpret_cast<void *>(1);
    EXPECT_EQ(pfget(c.node, c.key, &v), c.kind) << c.key;
    if (c.kind == PFINVALID) {
      EXPECT_EQ(v, nullptr);
    }
  }
  EXPECT_STREQ(pfget_string(pf.get(), "s"), "text");
  EXPECT_EQ(pfget_string(pf.get(), "t"), nullptr);
  EXPECT_EQ(pfget_int(pf.get(), "n"), 12);
  EXPECT_EQ(pfget_int(pf.get(), "s"), 0);
  EXPECT_EQ(pfget_int(pf.get(), "none"), 0);
  EXPECT_DOUBLE_EQ(pfget_double(pf.get(), "d"), 2.5);
  EXPECT_EQ(pfget_double(pf.get(), "s"), 0.0);
  EXPECT_EQ(pfget_boolean(pf.get(), "b"), 1);
  EXPECT_EQ(pfget_boolean(pf.get(), "s"), 0);

  Tbl *tbl = pfget_tbl(pf.get(), "t");
  ASSERT_NE(tbl, nullptr);
  ASSERT_EQ(maxtbl(tbl), 2);
  EXPECT_EQ(gettbl(tbl, 0), pfget_string(t, "0"));  // the tree's own text
  void *elem = nullptr;
  pfget(t, "1", &elem);
  EXPECT_EQ(gettbl(tbl, 1), elem);
  freetbl(tbl, nullptr);
  EXPECT_EQ(pfget_tbl(pf.get(), "a"), nullptr);

  Arr *arr = pfget_arr(pf.get(), "a");
  ASSERT_NE(arr, nullptr);
  EXPECT_EQ(cntarr(arr), 2);
  EXPECT_STREQ(static_cast<char *>(getarr(arr, "z")), "1");
  freearr(arr, nullptr);
  EXPECT_EQ(pfget_arr(pf.get(), "t"), nullptr);

  Tbl *keys = pfkeys(pf.get());
  ASSERT_NE(keys, nullptr);
  char *joined = jointbl(keys, ",");
  EXPECT_STREQ(joined, "a,b,d,n,s,t");
  free(joined);
  freetbl(keys, nullptr);
  EXPECT_EQ(pfkeys(t), nullptr);
}

TEST(Pf, PutStoresCopies) {
  PfPtr pf(pfnew(PFARR));
  ASSERT_TRUE(pf);
  EXPECT_EQ(pfput_string(pf.get(), "s", "first"), 0);
  EXPECT_EQ(pfput_string(pf.get(), "s", pfget_string(pf.get(), "s")), 0);  // its own text
  EXPECT_STREQ(pfget_string(pf.get(), "s"), "first");
  EXPECT_EQ(pfput_int(pf.get(), "i", INT_MIN), 0);
  EXPECT_EQ(pfput_boolean(pf.get(), "b", 7), 0);
  const double doubles[] = {0.1, -1e300, 5e-324, 123456789.125, 1.0 / 3};
  for (double d : doubles) {
    ASSERT_EQ(pfput_double(pf.get(), "d", d), 0);
    double back = 0;
    ASSERT_EQ(parse_param(pf.get(), "d", P_DBL, 1, &back), 0) << pfget_string(pf.get(), "d");
    EXPECT_EQ(back, d) << pfget_string(pf.get(), "d");
  }
  EXPECT_STREQ(pfget_string(pf.get(), "i"), "-2147483648");
  EXPECT_STREQ(pfget_string(pf.get(), "b"), "1");
  EXPECT_EQ(pfput_string(pf.get(), "x", nullptr), -1);

  // A list node takes indices: replace, append, nothing beyond.
  PfPtr list(pfnew(PFTBL));
  EXPECT_EQ(pfput_string(list.get(), "0", "a"), 0);
  EXPECT_EQ(pfput_string(list.get(), "1", "b"), 0);
  EXPECT_EQ(pfput_string(list.get(), "0", "c"), 0);
  EXPECT_EQ(pfput_string(list.get(), "3", "d"), -1);
  EXPECT_EQ(pfput_string(list.get(), "x", "d"), -1);
  EXPECT_EQ(to_text(list.get()), "c\nb\n");
  PfPtr str(pfnew(PFSTRING));
  EXPECT_EQ(pfput_string(str.get(), "k", "v"), -1);
  EXPECT_EQ(pfnew(99), nullptr);
  take_registered();

  // pfdup copies deeply.
  PfPtr orig = compile("a &Arr{\n b 1\n}\n");
  PfPtr copy(pfdup(orig.get()));
  void *inner = nullptr;
  pfget(copy.get(), "a", &inner);
  pfput_string(static_cast<Pf *>(inner), "b", "2");
  EXPECT_EQ(dump(orig.get()), "{\"a\"={\"b\"=\"1\"}}");
  EXPECT_EQ(dump(copy.get()), "{\"a\"={\"b\"=\"2\"}}");
}

TEST(ParseParam, ScalarKinds) {
  struct Case {
    int kind;
    const char *text;
    bool ok;
    double want;  // the stored number (booleans 0/1)
  } cases[] = {
      {P_LINT, "42", true, 42},
      {P_LINT, "-7", true, -7},
      {P_LINT, "+7", true, 7},
      {P_LINT, "0x1F", true, 31},
      {P_LINT, "0xffffffff", true, -1},
      {P_LINT, "-2147483648", true, INT_MIN},
      {P_LINT, "2147483648", false, 0},
      {P_LINT, "0x100000000", false, 0},
      {P_LINT, "abc", false, 0},
      {P_LINT, "12abc", false, 0},
      {P_LINT, "1.5", false, 0},
      {P_LINT, "", false, 0},
      {P_LINT, "--1", false, 0},
      {P_LINT, "\" 5 \"", true, 5},
      {P_SINT, "32767", true, 32767},
      {P_SINT, "32768", false, 0},
      {P_SINT, "-32768", true, -32768},
      {P_SINT, "0xffff", true, -1},
      {P_DBL, "1.5", true, 1.5},
      {P_DBL, "-2e3", true, -2000},
      {P_DBL, "7", true, 7},
      {P_DBL, "1e999", false, 0},
      {P_DBL, "nan", false, 0},
      {P_DBL, "inf", false, 0},
      {P_DBL, "1.5x", false, 0},
      {P_FLT, "3.25", true, 3.25},
      {P_FLT, "1e39", false, 0},
      {P_BOOL, "yes", true, 1},
      {P_BOOL, "No", true, 0},
      {P_BOOL, "TRUE", true, 1},
      {P_BOOL, "off", true, 0},
      {P_BOOL, "y", true, 1},
      {P_BOOL, "0", true, 0},
      {P_BOOL, "2", true, 1},
      {P_BOOL, "maybe", false, 0},
  };
  for (const Case &c : cases) {
    PfPtr pf = compile(std::string("k ") + c.text + "\n");
    int i = 99;
    short h = 99;
    double d = 99;
    float f = 99;
    void *dest = c.kind == P_SINT  ? static_cast<void *>(&h)
                 : c.kind == P_DBL ? static_cast<void *>(&d)
                 : c.kind == P_FLT ? static_cast<void *>(&f)
                                   : static_cast<void *>(&i);
    take_registered();
    int r = parse_param(pf.get(), "k", c.kind, 1, dest);
    double got = c.kind == P_SINT ? h : c.kind == P_DBL ? d : c.kind == P_FLT ? f : i;
    std::string reg = take_registered();
    if (c.ok) {
      EXPECT_EQ(r, 0) << c.kind << " '" << c.text << "' " << reg;
      EXPECT_EQ(got, c.want) << c.kind << " '" << c.text << "'";
    } else {
      EXPECT_EQ(r, -2) << c.kind << " '" << c.text << "'";
      EXPECT_EQ(got, 99) << "destination changed for " << c.text;
      EXPECT_NE(reg.find("parse_param: line 1: key 'k'"), std::string::npos) << reg;
    }
  }
}

TEST(ParseParam, TextAndStructureKinds) {
  std::string max_text(P_STRCP_SIZE - 1, 'x');
  PfPtr pf = compile(
      "s some text\nl &Tbl{\n a\n b c\n}\nln &Tbl{\n a\n &Arr{\n }\n}\n"
      "a &Arr{\n x 1\n y 2\n}\nb &Arr{\n p &Arr{\n  q 1\n }\n r &Arr{\n }\n}\n"
      "m &Arr{\n p &Arr{\n }\n x 1\n}\nmax " +
      max_text + "\nover " + max_text + "y\n");
  struct Case {
    int kind;
    const char *key;
    const char *want;  // dump-like picture of the result, or none for a refusal
  } cases[] = {
      {P_STR, "s", "\"some text\""},
      {P_STR, "l", nullptr},
      {P_STRCP, "s", "\"some text\""},
      {P_TBL, "l", "[\"a\",\"b c\"]"},
      {P_TBL, "s", "[\"some text\"]"},
      {P_TBL, "ln", nullptr},
      {P_TBL, "a", nullptr},
      {P_ARRSTR, "a", "{\"x\"=\"1\",\"y\"=\"2\"}"},
      {P_ARRSTR, "b", nullptr},
      {P_ARRSTR, "l", nullptr},
      {P_ARRPF, "b", "{\"p\"={\"q\"=\"1\"},\"r\"={}}"},
      {P_ARRPF, "a", nullptr},
      {P_ARRPF, "m", nullptr},
      {P_ARR, "b", "{\"p\"={\"q\"=\"1\"},\"r\"={}}"},
      {P_ARR, "s", nullptr},
      {P_ARR, "l", nullptr},
  };
  for (const Case &c : cases) {
    void *dest = nullptr;
    char buf[P_STRCP_SIZE] = "untouched";
    take_registered();
    int r = parse_param(pf.get(), c.key, c.kind, 1,
                        c.kind == P_STRCP ? static_cast<void *>(buf) : &dest);
    std::string reg = take_registered();
    std::string what = std::to_string(c.kind) + " " + c.key;
    if (c.want == nullptr) {
      EXPECT_EQ(r, -2) << what;
      EXPECT_EQ(dest, nullptr) << what;
      EXPECT_NE(reg.find(std::string("key '") + c.key + "'"), std::string::npos) << what << reg;
      continue;
    }
    ASSERT_EQ(r, 0) << what << reg;
    std::string got;
    switch (c.kind) {
      case P_STR:
        got = quote(static_cast<char *>(dest));
        free(dest);
        break;
      case P_STRCP:
        got = quote(buf);
        break;
      case P_TBL: {
        Tbl *t = static_cast<Tbl *>(dest);
        got = "[";
        for (long i = 0; i < maxtbl(t); i++)
          got += (i ? "," : "") + quote(static_cast<char *>(gettbl(t, i)));
        got += "]";
        freetbl(t, free);
        break;
      }
      case P_ARRSTR:
      case P_ARRPF: {
        Arr *a = static_cast<Arr *>(dest);
        Tbl *keys = keysarr(a);
        got = "{";
        for (long i = 0; i < maxtbl(keys); i++) {
          const char *k = static_cast<const char *>(gettbl(keys, i));
          void *v = getarr(a, k);
          got += (i ? "," : "") + quote(k) + "=" +
                 (c.kind == P_ARRSTR ? quote(static_cast<char *>(v)) : dump(static_cast<Pf *>(v)));
        }
        got += "}";
        freetbl(keys, nullptr);
        freearr(a, c.kind == P_ARRSTR ? free : free_pf);
        break;
      }
      case P_ARR:
        got = dump(static_cast<Pf *>(dest));
        pffree(static_cast<Pf *>(dest));
        break;
    }
    EXPECT_EQ(got, c.want) << what;
  }
  // The results are copies: the tree is unchanged after they are freed (ASan checks the
  // rest), and a fixed buffer takes at most P_STRCP_SIZE - 1 characters.
  char buf[P_STRCP_SIZE] = "untouched";
  EXPECT_EQ(parse_param(pf.get(), "max", P_STRCP, 1, buf), 0);
  EXPECT_EQ(std::string(buf), max_text);
  strcpy(buf, "untouched");
  EXPECT_EQ(parse_param(pf.get(), "over", P_STRCP, 1, buf), -2);
  EXPECT_STREQ(buf, "untouched");
  EXPECT_NE(take_registered().find("key 'over': text longer than 255 characters"),
            std::string::npos);
}

TEST(ParseParam, AbsentKeysAndBadCalls) {
  PfPtr pf = compile("present 1\n");
  const int kinds[] = {P_LINT, P_SINT,  P_DBL,    P_STR, P_STRCP, P_TBL,
                       P_FLT,  P_ARRPF, P_ARRSTR, P_ARR, P_BOOL};
  for (int kind : kinds) {
    union {
      char buf[P_STRCP_SIZE];
      void *ptr;
      double d;
    } dest;
    memset(&dest, 0x5a, sizeof dest);
    take_registered();
    // Optional and absent: nothing happens, nothing is registered, also without a tree.
    EXPECT_EQ(parse_param(pf.get(), "absent", kind, 0, &dest), 0) << kind;
    EXPECT_EQ(parse_param(nullptr, "absent", kind, 0, &dest), 0) << kind;
    for (unsigned char byte : dest.buf) ASSERT_EQ(byte, 0x5a) << kind;
    EXPECT_EQ(take_registered(), "");
    // Required and absent.
    EXPECT_EQ(parse_param(pf.get(), "absent", kind, 1, &dest), -1) << kind;
    for (unsigned char byte : dest.buf) ASSERT_EQ(byte, 0x5a) << kind;
    EXPECT_EQ(take_registered(), "parse_param: required key 'absent' is missing\n");
  }
  int i = 0;
  EXPECT_EQ(parse_param(pf.get(), "present", 12, 1, &i), -3);
  EXPECT_EQ(parse_param(pf.get(), "present", 0, 1, &i), -3);
  EXPECT_EQ(parse_param(pf.get(), "present", P_LINT, 1, nullptr), -3);
  EXPECT_NE(take_registered().find("key 'present'"), std::string::npos);
}

TEST(Pf, PfinReadsAStream) {
  struct Case {
    std::string text;
    int result;
    const char *error;
  } cases[] = {
      {"dataloggers &Arr{\n  dl1 &Arr{\n    lasttime 1.5\n    eventfiles &Tbl{\n    }\n  }\n}\n", 0,
       ""},
      {std::string("a 1\nb \0 2\n", 10), -1, "pfin: line 2: binary byte 0x00"},
      {"a &Tbl{\n", -1, "pfin: line 1: &Tbl{ opened at line 1 is not closed"},
  };
  for (const Case &c : cases) {
    FILE *f = tmpfile();
    ASSERT_NE(f, nullptr);
    fwrite(c.text.data(), 1, c.text.size(), f);
    rewind(f);
    take_registered();
    Pf *pf = nullptr;
    EXPECT_EQ(pfin(f, &pf), c.result);
    fclose(f);
    EXPECT_NE(take_registered().find(c.error), std::string::npos);
    if (c.result == 0) {
      ASSERT_NE(pf, nullptr);
      EXPECT_EQ(dump(pf), "{\"dataloggers\"={\"dl1\"={\"eventfiles\"=[],\"lasttime\"=\"1.5\"}}}");
    } else {
      EXPECT_EQ(pf, nullptr);
    }
    pffree(pf);
  }
}

class PfPath : public ::testing::Test {
 protected:
  void SetUp() override {
    const char *old = getenv("PFPATH");
    had_ = old != nullptr;
    if (had_) old_ = old;
    ASSERT_EQ(mkdir(dir_.file("one").c_str(), 0755), 0);
    ASSERT_EQ(mkdir(dir_.file("two").c_str(), 0755), 0);
    dir_.write("one/prog.pf", "a 1\nb 1\nn &Arr{\n  p 1\n}\n");
    dir_.write("two/prog.pf", "b 2\nn &Arr{\n  q 2\n}\n");
  }
  void TearDown() override {
    if (had_) {
      setenv("PFPATH", old_.c_str(), 1);
    } else {
      unsetenv("PFPATH");
    }
  }
  std::string read(const char *name, int expect) {
    Pf *pf = nullptr;
    take_registered();
    EXPECT_EQ(pfread(name, &pf), expect) << name << " " << take_registered();
    std::string out = pf != nullptr ? dump(pf) : "none";
    pffree(pf);
    return out;
  }
  TempDir dir_;
  bool had_ = false;
  std::string old_;
};

TEST_F(PfPath, LaterFilesOverrideKeyByKey) {
  std::string one = dir_.file("one"), two = dir_.file("two"), missing = dir_.file("missing");
  struct Case {
    std::string path;
    std::string name;
    const char *tree;
  } cases[] = {
      {one + ":" + two, "prog", "{\"a\"=\"1\",\"b\"=\"2\",\"n\"={\"q\"=\"2\"}}"},
      {two + ":" + one, "prog", "{\"a\"=\"1\",\"b\"=\"1\",\"n\"={\"p\"=\"1\"}}"},
      {missing + ":" + one, "prog.pf", "{\"a\"=\"1\",\"b\"=\"1\",\"n\"={\"p\"=\"1\"}}"},
      {missing, one + "/prog", "{\"a\"=\"1\",\"b\"=\"1\",\"n\"={\"p\"=\"1\"}}"},
  };
  for (const Case &c : cases) {
    setenv("PFPATH", c.path.c_str(), 1);
    EXPECT_EQ(read(c.name.c_str(), 0), c.tree) << c.path;
  }
}

TEST_F(PfPath, DefaultIsTheWorkingDirectoryAndFailuresNameTheFile) {
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
  ASSERT_EQ(chdir(dir_.file("one").c_str()), 0);
  unsetenv("PFPATH");
  EXPECT_EQ(read("prog", 0), "{\"a\"=\"1\",\"b\"=\"1\",\"n\"={\"p\"=\"1\"}}");
  setenv("PFPATH", (":" + dir_.file("two")).c_str(), 1);  // an empty entry is "."
  EXPECT_EQ(read("prog", 0), "{\"a\"=\"1\",\"b\"=\"2\",\"n\"={\"q\"=\"2\"}}");
  ASSERT_EQ(chdir(cwd), 0);

  setenv("PFPATH", dir_.path().c_str(), 1);
  Pf *pf = reinterpret_cast<Pf *>(&pf);
  EXPECT_EQ(pfread("nothere", &pf), -1);
  EXPECT_EQ(pf, nullptr);
  EXPECT_NE(take_registered().find("pfread: can't find 'nothere.pf'"), std::string::npos);
  dir_.write("bad.pf", "ok 1\n}\n");
  EXPECT_EQ(pfread("bad", &pf), -1);
  EXPECT_NE(
      take_registered().find("pfread: '" + dir_.file("bad.pf") + "' line 2: '}' closes no block"),
      std::string::npos);
}

TEST_F(PfPath, RequireChecksTheRevisionTime) {
  setenv("PFPATH", dir_.path().c_str(), 1);
  struct Case {
    const char *text;  // none: no file
    const char *time;
    int result;
    const char *error;
  } cases[] = {
      {"pf_revision_time 1105315200\n", "2005010:00:00:00", 0, ""},
      {"pf_revision_time 2006001:00:00:00\n", "2005010:00:00:00", 0, ""},
      {"pf_revision_time 1105315199\n", "2005010:00:00:00", -2, "revised before 2005010:00:00:00"},
      {"pf_revision_time 2005009:23:59:59\n", "2005010:00:00:00", -2, "revised before"},
      {"other 1\n", "2005010:00:00:00", -1, "no pf_revision_time"},
      {"pf_revision_time &Arr{\n}\n", "2005010:00:00:00", -1, "no pf_revision_time"},
      {"pf_revision_time soon\n", "2005010:00:00:00", -1, "pf_revision_time 'soon'"},
      {"pf_revision_time 1105315200\n}\n", "2005010:00:00:00", -3, "line 2: '}' closes no block"},
      {nullptr, "2005010:00:00:00", -4, "can't find 'req.pf'"},
      {"pf_revision_time 1105315200\n", "tomorrow", -5, "'tomorrow' is not a time"},
  };
  for (const Case &c : cases) {
    unlink(dir_.file("req.pf").c_str());
    if (c.text != nullptr) dir_.write("req.pf", c.text);
    take_registered();
    EXPECT_EQ(pfrequire("req", c.time), c.result) << (c.text ? c.text : "no file");
    std::string reg = take_registered();
    EXPECT_NE(reg.find(c.error), std::string::npos) << reg;
    if (c.result == 0) {
      EXPECT_EQ(reg, "");
    }
  }
}

// ---- Number ranges, places and keys nothing reads ------------------------------------

// Every number a program reads goes through one reader: NaN, infinities, numbers beyond
// the kind and values outside the setting's range are refused, naming the file, the line,
// the key and the value; the destination keeps what it held.
TEST(ParseParam, RangedNumbersNameFileLineKeyAndValue) {
  TempDir dir;
  struct Case {
    int kind;
    const char *text;
    PfRange range;
    bool ok;
    const char *why;  // part of the refusal
  } cases[] = {
      {P_DBL, "nan", {0, 10}, false, "'nan' is not a finite number (NaN)"},
      {P_DBL, "-nan", {0, 10}, false, "is not a finite number (NaN)"},
      {P_DBL, "inf", {0, 10}, false, "'inf' is not a finite number (infinite)"},
      {P_DBL, "-inf", {0, 10}, false, "'-inf' is not a finite number (infinite)"},
      {P_DBL, "1e999", {0, 10}, false, "'1e999' is not a finite number (too large)"},
      {P_DBL, "10.5", {0, 10}, false, "'10.5' is outside 0 .. 10"},
      {P_DBL, "-0.001", {0, 10}, false, "is outside 0 .. 10"},
      {P_DBL, "10", {0, 10}, true, ""},
      {P_DBL, "0", {0, 10}, true, ""},
      {P_FLT, "inf", {0, 10}, false, "not a finite number"},
      {P_FLT, "2.5", {0, 10}, true, ""},
      {P_LINT, "nan", {0, 100}, false, "'nan' is not an integer"},
      {P_LINT, "1e999", {0, 100}, false, "is not an integer"},
      {P_LINT, "-1", {0, 100}, false, "'-1' is outside 0 .. 100"},
      {P_LINT, "2147483648", {0, 100}, false, "is not an integer"},
      {P_LINT, "101", {0, 100}, false, "'101' is outside 0 .. 100"},
      {P_LINT, "100", {0, 100}, true, ""},
      {P_SINT, "-5", {0, 100}, false, "'-5' is outside 0 .. 100"},
      {P_SINT, "5", {0, 100}, true, ""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(std::to_string(c.kind) + " " + c.text);
    std::string path = dir.write("r.pf", std::string("# settings\nother 1\nk ") + c.text + "\n");
    Pf *raw = nullptr;
    ASSERT_EQ(pfread(path.c_str(), &raw), 0);
    PfPtr pf(raw);
    int i = 99;
    short h = 99;
    double d = 99;
    float f = 99;
    void *dest = c.kind == P_SINT  ? static_cast<void *>(&h)
                 : c.kind == P_DBL ? static_cast<void *>(&d)
                 : c.kind == P_FLT ? static_cast<void *>(&f)
                                   : static_cast<void *>(&i);
    take_registered();
    int r = parse_param_range(pf.get(), "k", c.kind, 1, dest, c.range);
    std::string reg = take_registered();
    double got = c.kind == P_SINT ? h : c.kind == P_DBL ? d : c.kind == P_FLT ? f : i;
    if (c.ok) {
      EXPECT_EQ(r, 0) << reg;
      EXPECT_NE(got, 99);
      continue;
    }
    EXPECT_EQ(r, -2);
    EXPECT_EQ(got, 99);
    EXPECT_NE(reg.find("'" + path + "' line 3: key 'k': "), std::string::npos) << reg;
    EXPECT_NE(reg.find(c.why), std::string::npos) << reg;
    // Without a range the kind's own limits hold, and a non-finite value is still refused.
    if (std::string(c.why).find("finite") != std::string::npos) {
      EXPECT_EQ(parse_param(pf.get(), "k", c.kind, 1, dest), -2);
    }
  }
}

// The same reader for a value that comes in a command or a table cell.
TEST(PfNumber, TextValues) {
  struct Case {
    int kind;
    const char *text;
    PfRange range;
    bool ok;
    double want;
    const char *why;
  } cases[] = {
      {P_DBL, "nan", {-10, 10}, false, 0, "key 'x': 'nan' is not a finite number (NaN)"},
      {P_DBL, "inf", {-10, 10}, false, 0, "key 'x': 'inf' is not a finite number (infinite)"},
      {P_DBL, "-inf", {-10, 10}, false, 0, "(infinite)"},
      {P_DBL, "1e999", {-10, 10}, false, 0, "(too large)"},
      {P_DBL, "11", {-10, 10}, false, 0, "key 'x': '11' is outside -10 .. 10"},
      {P_DBL, "0.25", {-10, 10}, true, 0.25, ""},
      {P_DBL, "2 3", {-10, 10}, false, 0, "is not a number"},
      {P_DBL, "", {-10, 10}, false, 0, "is not a number"},
      {P_LINT, "7", {0, 9}, true, 7, ""},
      {P_LINT, "7.5", {0, 9}, false, 0, "is not an integer"},
      {P_LINT, "-1", {0, 9}, false, 0, "'-1' is outside 0 .. 9"},
      {P_BOOL, "1", {0, 9}, false, 0, "unknown kind of number"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    double d = 99;
    int i = 99;
    char why[200] = "";
    void *dest = c.kind == P_DBL ? static_cast<void *>(&d) : static_cast<void *>(&i);
    int r = pfnumber("x", c.text, c.kind, c.range, dest, why, sizeof why);
    if (c.ok) {
      EXPECT_EQ(r, 0) << why;
      EXPECT_EQ(c.kind == P_DBL ? d : i, c.want);
    } else {
      EXPECT_EQ(r, -1);
      EXPECT_EQ(c.kind == P_DBL ? d : i, 99);
      EXPECT_NE(std::string(why).find(c.why), std::string::npos) << why;
    }
  }
  char small[8];
  EXPECT_EQ(pfnumber("x", "nan", P_DBL, {0, 1}, &small, small, sizeof small), -1);
  EXPECT_EQ(strlen(small), sizeof small - 1);  // cut, ended
}

// A required key that is absent while a key a slip away stands in its block names the
// word typed and its line, not only the key that is missing.
TEST(ParseParam, MissingRequiredKeyNamesTheSlipTyped) {
  TempDir dir;
  struct Case {
    const char *text;
    const char *want;
  } cases[] = {
      {"passwrd abc\n",
       "line 1: key 'passwrd' is no known key: required key 'password' is missing"},
      {"pasword abc\n", "key 'pasword' is no known key"},
      {"pwd abc\n", "required key 'password' is missing"},  // too far: no guess
      {"blk &Arr{\n}\n", "required key 'password' is missing"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    std::string path = dir.write("m.pf", c.text);
    Pf *raw = nullptr;
    ASSERT_EQ(pfread(path.c_str(), &raw), 0);
    PfPtr pf(raw);
    char *v = nullptr;
    take_registered();
    EXPECT_EQ(parse_param(pf.get(), "password", P_STR, 1, &v), -1);
    std::string reg = take_registered();
    EXPECT_NE(reg.find(c.want), std::string::npos) << reg;
    EXPECT_NE(reg.find("'" + path + "'"), std::string::npos) << reg;
  }
}

TEST(PfWhere, KeysBlocksAndTexts) {
  TempDir dir;
  std::string path = dir.write("w.pf", "a 1\nb &Arr{\n  c 2\n}\nl &Tbl{\n x\n}\n");
  Pf *raw = nullptr;
  ASSERT_EQ(pfread(path.c_str(), &raw), 0);
  PfPtr pf(raw);
  char w[300];
  pfwhere(pf.get(), "a", w, sizeof w);
  EXPECT_EQ(std::string(w), "'" + path + "' line 1");
  void *b = nullptr;
  ASSERT_EQ(pfget(pf.get(), "b", &b), PFARR);
  pfwhere(static_cast<Pf *>(b), "c", w, sizeof w);
  EXPECT_EQ(std::string(w), "'" + path + "' line 3");
  pfwhere(static_cast<Pf *>(b), "absent", w, sizeof w);  // the block's own place
  EXPECT_EQ(std::string(w), "'" + path + "' line 2");
  Pf *copy = pfdup(static_cast<Pf *>(b));  // copies keep where they were read
  pfwhere(copy, "c", w, sizeof w);
  EXPECT_EQ(std::string(w), "'" + path + "' line 3");
  pffree(copy);
  PfPtr text = compile("\n\nz 1\n");
  pfwhere(text.get(), "z", w, sizeof w);
  EXPECT_STREQ(w, "line 3");
}

// Keys that no reader asked for are said once each, with file, line and a near known
// key; keys of blocks read whole are data; reading a copy counts for the original.
TEST(PfWarnUnused, NamesKeysNothingRead) {
  TempDir dir;
  std::string path = dir.write("u.pf",
                               "pf_revision_time 1\n"                  // 1: left for others
                               "status_interval 60\n"                  // 2: read
                               "status_intervall 30\n"                 // 3: slip
                               "frobnicate 1\n"                        // 4: unknown
                               "map &Arr{\n 0 a\n 1 b\n}\n"            // 5: read whole
                               "blocks &Arr{\n"                        // 9
                               " one &Arr{\n  twin 1\n  tiwn 2\n }\n"  // 10-13: tiwn at 12
                               "}\n"
                               "dl &Arr{\n passwrd x\n}\n"  // 15-17
                               "list &Tbl{\n a\n}\n");      // read as a list
  Pf *raw = nullptr;
  ASSERT_EQ(pfread(path.c_str(), &raw), 0);
  PfPtr pf(raw);
  double d = 0;
  Arr *map = nullptr, *blocks = nullptr;
  Tbl *list = nullptr;
  ASSERT_EQ(parse_param(pf.get(), "status_interval", P_DBL, 1, &d), 0);
  ASSERT_EQ(parse_param(pf.get(), "map", P_ARRSTR, 1, &map), 0);
  ASSERT_EQ(parse_param(pf.get(), "blocks", P_ARRPF, 1, &blocks), 0);
  ASSERT_EQ(parse_param(pf.get(), "list", P_TBL, 1, &list), 0);
  int twin = 0;
  ASSERT_EQ(parse_param(static_cast<Pf *>(getarr(blocks, "one")), "twin", P_LINT, 1, &twin), 0);
  void *dl = nullptr;
  ASSERT_EQ(pfget(pf.get(), "dl", &dl), PFARR);
  char *pw = nullptr;
  EXPECT_EQ(parse_param(static_cast<Pf *>(dl), "password", P_STR, 0, &pw), 0);
  freearr(map, free);
  freearr(blocks, [](void *p) { pffree(static_cast<Pf *>(p)); });
  freetbl(list, free);

  ElogCapture cap;
  static const char *const quiet[] = {"pf_revision_time", nullptr};
  EXPECT_EQ(pfwarn_unused(pf.get(), "prog", quiet), 4) << cap.text();
  const std::string p = "prog: '" + path + "' ";
  for (const std::string &want :
       {p + "line 3: key 'status_intervall' is not read by this program - ignored (a slip for "
            "'status_interval'?)",
        p + "line 4: key 'frobnicate' is not read by this program - ignored",
        p + "line 12: key 'blocks->one->tiwn' is not read by this program - ignored (a slip for "
            "'twin'?)",
        p + "line 16: key 'dl->passwrd' is not read by this program - ignored (a slip for "
            "'password'?)"}) {
    EXPECT_TRUE(cap.contains(want)) << want << "\n" << cap.text();
  }
  EXPECT_FALSE(cap.contains("pf_revision_time")) << cap.text();
  EXPECT_FALSE(cap.contains("'map->")) << cap.text();
  EXPECT_FALSE(cap.contains("frobnicate' is not read by this program - ignored (a slip"));
}
