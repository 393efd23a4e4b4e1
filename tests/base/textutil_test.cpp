#include "base/textutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "base/elog.h"
#include "base/tbl.h"
#include "testkit/testkit.h"

namespace {

std::string take(char *text) {
  std::string s = text ? text : "(none)";
  free(text);
  return s;
}

}  // namespace

TEST(Strtrim, TrimsBothEndsInPlace) {
  struct Case {
    const char *in, *out;
  } cases[] = {
      {"", ""}, {"   ", ""}, {" \t\n\r", ""}, {"abc", "abc"}, {"  a b  ", "a b"}, {"\tx\n", "x"},
  };
  for (const Case &c : cases) {
    std::string buf = c.in;
    char *p = buf.data();
    EXPECT_EQ(strtrim(p), p);
    EXPECT_STREQ(p, c.out) << "[" << c.in << "]";
  }
  EXPECT_EQ(strtrim(nullptr), nullptr);
}

TEST(Strmatches, MatchesTheWholeText) {
  struct Case {
    const char *text, *pattern;
    int result;
  } cases[] = {
      {"AA_STA1", "AA_.*", 1},
      {"XAA_STA1", "AA_.*", 0},    // not anchored at the start: no
      {"AA_STA10", "AA_STA1", 0},  // a prefix is not the whole text
      {"muldrin", "muldrin|kessaro", 1},
      {"kessaro", "muldrin|kessaro", 1},
      {"ab", "a|ab", 1},  // leftmost-longest: the longer alternative spans the text
      {"", "", 1},
      {"", "x*", 1},
      {"x", "", 0},
      {"dl1", "^dl[0-9]$", 1},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(strmatches(c.text, c.pattern, nullptr), c.result) << c.text << " ~ " << c.pattern;
  }
  EXPECT_EQ(strmatches(nullptr, "x", nullptr), 0);
}

TEST(Strmatches, BadPatternsGiveMinusOne) {
  ElogCapture cap;
  EXPECT_EQ(strmatches("x", "(", nullptr), -1);
  EXPECT_EQ(strmatches("x", "a{2,1}", nullptr), -1);
  EXPECT_EQ(strmatches("x", nullptr, nullptr), -1);
  EXPECT_EQ(strcontains("x", "[", nullptr, nullptr, nullptr), -1);
  elog_clear_register(1);
  EXPECT_TRUE(cap.contains("strmatches: bad pattern '('")) << cap.text();
}

TEST(RegcompBounded, RefusesPatternsThatWouldExhaustTheCompiler) {
  struct Case {
    const char *pattern;
    int rc;  // 0: compiles
  } cases[] = {
      {"AA_.*|BB_STA[0-9]+", 0},
      {"/pf/dlcm|q330/pf/dlcm", 0},
      {"(a|b){500}", 0},
      {"[*+?{]{3}", 0},  // repetition characters inside brackets are plain
      {"a{2,}b{,3}", 0},
      {"(a*){5000}", REG_ESPACE},  // gigabytes in the C library
      {"(a*){,5000}", REG_ESPACE},
      {"(a*){5\\000}", REG_ESPACE},  // the compiler reads an escaped digit in a count
      {"a++++++++++++++++++++++++++++++", REG_BADRPT},
      {"$\x1b??++???++\x01", REG_BADRPT},  // seconds in the C library's compiler
      {"a*{2}", REG_BADRPT},
      {"(a*)*", 0},  // a repeated group is not a stacked repetition
      {"((((a{10}){10}){10}){10})", REG_ESPACE},
      {"(a)\\1", REG_ESUBREG},
      {"(", REG_EPAREN},
  };
  for (const Case &c : cases) {
    regex_t re;
    char why[64] = "";
    int rc = regcomp_bounded(&re, c.pattern, 0, why, sizeof why);
    EXPECT_EQ(rc, c.rc) << c.pattern << ": " << why;
    if (rc == 0) {
      regfree(&re);
    } else {
      EXPECT_NE(why[0], '\0') << c.pattern;
    }
  }
  regex_t re;
  EXPECT_NE(regcomp_bounded(&re, nullptr, 0, nullptr, 0), 0);
  // The matchers and greparr go through it.
  ElogCapture cap;
  EXPECT_EQ(strmatches("aaa", "(a*){5000}", nullptr), -1);
  elog_clear_register(1);
  EXPECT_TRUE(cap.contains("pattern too complex")) << cap.text();
}

TEST(Strmatches, HookKeepsThePatternUntilItChanges) {
  Hook *hook = nullptr;
  EXPECT_EQ(strmatches("abc", "a.c", &hook), 1);
  ASSERT_NE(hook, nullptr);
  void *compiled = hook->p;
  EXPECT_EQ(strmatches("axc", "a.c", &hook), 1);
  EXPECT_EQ(hook->p, compiled);                 // reused
  EXPECT_EQ(strmatches("abc", "b", &hook), 0);  // a new pattern replaces the old one
  EXPECT_EQ(strcontains("abc", "b", &hook, nullptr, nullptr), 1);
  {
    ElogCapture cap;
    EXPECT_EQ(strmatches("abc", "(", &hook), -1);
    EXPECT_EQ(strmatches("abc", "a.c", &hook), 1);  // recovers after a bad pattern
  }
  free_hook(&hook);

  // A hook that held something else is emptied through its own function first.
  static int freed;
  freed = 0;
  Hook *other = new_hook([](void *p) {
    freed++;
    free(p);
  });
  other->p = malloc(4);
  EXPECT_EQ(strmatches("abc", "abc", &other), 1);
  EXPECT_EQ(freed, 1);
  free_hook(&other);
}

TEST(Strcontains, FindsTheLeftmostLongestMatch) {
  struct Case {
    const char *text, *pattern;
    int result;
    long start, end;
  } cases[] = {
      {"XAA_STA1", "AA_", 1, 1, 4},
      {"aaa", "a+", 1, 0, 3},
      {"abc", "x", 0, -1, -1},
      {"abc", "", 1, 0, 0},
  };
  for (const Case &c : cases) {
    long start = -1, end = -1;
    EXPECT_EQ(strcontains(c.text, c.pattern, nullptr, &start, &end), c.result) << c.pattern;
    EXPECT_EQ(start, c.start) << c.pattern;
    EXPECT_EQ(end, c.end) << c.pattern;
  }
}

TEST(Patsub, ReplacesEveryMatchLikeSed) {
  struct Case {
    const char *text, *pattern, *replacement, *out;
  } cases[] = {
      {"ANMO_BHZ", "BH", "HH", "ANMO_HHZ"},
      {"a.b.c", "\\.", "_", "a_b_c"},  // every match
      {"none", "x", "y", "none"},
      {"", "x", "y", ""},
      {"2003-01-15", "([0-9]+)-([0-9]+)-([0-9]+)", "\\3/\\2/\\1", "15/01/2003"},
      {"abc", "b", "[&]", "a[b]c"},
      {"abc", "b", "[\\0]", "a[b]c"},
      {"abc", "b", "\\&\\\\", "a&\\c"},
      {"abc", "b", "\\9", "ac"},          // a group that does not exist gives nothing
      {"abc", "(x)?b", "<\\1>", "a<>c"},  // a group that took no part gives nothing
      {"abc", "x*", "-", "-a-b-c-"},      // empty matches
      {"abc", "b*", "-", "-a-c-"},        // no empty match right after a match
      {"aaa", "^a", "b", "baa"},          // ^ only at the start of the text
      {"abc", "c$", "", "ab"},
  };
  for (const Case &c : cases) {
    regex_t re;
    ASSERT_EQ(regcomp(&re, c.pattern, REG_EXTENDED), 0) << c.pattern;
    EXPECT_EQ(take(patsub(c.text, &re, c.replacement)), c.out) << c.text << " " << c.pattern;
    regfree(&re);
  }
  regex_t re;
  ASSERT_EQ(regcomp(&re, "x", REG_EXTENDED), 0);
  EXPECT_EQ(patsub(nullptr, &re, "y"), nullptr);
  EXPECT_EQ(patsub("x", nullptr, "y"), nullptr);
  EXPECT_EQ(patsub("x", &re, nullptr), nullptr);
  regfree(&re);
}

TEST(Patsub, LongResultsAreNotCut) {
  std::string text(5000, 'a');
  regex_t re;
  ASSERT_EQ(regcomp(&re, "a", REG_EXTENDED), 0);
  EXPECT_EQ(take(patsub(text.c_str(), &re, "bbb")), std::string(15000, 'b'));
  regfree(&re);
}

TEST(Strsub, ReplacesEveryPlainOccurrence) {
  struct Case {
    const char *text, *old, *replacement, *out;
  } cases[] = {
      {"dl=DLNAME port=DLNAME", "DLNAME", "XA_STA1", "dl=XA_STA1 port=XA_STA1"},
      {"aaa", "aa", "b", "ba"},  // left to right, not overlapping
      {"ab", "a", "aa", "aab"},  // what was inserted is not scanned again
      {"abc", "", "x", "abc"},
      {"abc", nullptr, "x", "abc"},
      {"abc", "b", nullptr, "ac"},
      {"a.*c", ".*", "X", "aXc"},  // plain text, not a pattern
      {"", "a", "b", ""},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(take(strsub(c.text, c.old, c.replacement)), c.out) << c.text;
  }
  EXPECT_EQ(strsub(nullptr, "a", "b"), nullptr);
  // A value much longer than its key: the result grows as far as it needs.
  std::string many(1000, 'k');
  EXPECT_EQ(take(strsub(many.c_str(), "k", "0123456789")).size(), 10000u);
}

TEST(Split, SplitsInPlaceSkippingEmptyWords) {
  struct Case {
    const char *text;
    int sep;
    std::vector<std::string> words;
  } cases[] = {
      {"", ' ', {}},
      {"   ", ' ', {}},
      {"a b", ' ', {"a", "b"}},
      {"  a   b  ", ' ', {"a", "b"}},
      {"host:/fs:x", ':', {"host", "/fs", "x"}},
      {"a::b", ':', {"a", "b"}},
      {"abc", '\0', {"abc"}},
  };
  for (const Case &c : cases) {
    std::string buf = c.text;
    Tbl *words = split(buf.data(), c.sep);
    ASSERT_NE(words, nullptr);
    ASSERT_EQ(maxtbl(words), static_cast<long>(c.words.size())) << "[" << c.text << "]";
    for (long i = 0; i < maxtbl(words); i++) {
      char *w = static_cast<char *>(gettbl(words, i));
      EXPECT_EQ(w, c.words[i]);
      EXPECT_TRUE(w >= buf.data() && w < buf.data() + buf.size());  // points into the text
    }
    freetbl(words, nullptr);
  }
  EXPECT_EQ(split(nullptr, ' '), nullptr);
}

TEST(Getaline, ReadsLinesOfAnyLengthWithoutNewline) {
  TempDir dir;
  std::string longline(10000, 'x');
  std::string path = dir.write("f", "one\n\n" + longline + "\nlast");
  FILE *fp = fopen(path.c_str(), "r");
  ASSERT_NE(fp, nullptr);
  char *line = nullptr;
  size_t size = 0;
  std::vector<std::string> got;
  long n;
  while ((n = getaline(fp, &line, &size)) >= 0) {
    EXPECT_EQ(static_cast<size_t>(n), strlen(line));
    got.emplace_back(line);
  }
  EXPECT_EQ(got, (std::vector<std::string>{"one", "", longline, "last"}));
  EXPECT_EQ(getaline(fp, &line, &size), -1);
  EXPECT_EQ(getaline(nullptr, &line, &size), -1);
  EXPECT_EQ(getaline(fp, nullptr, &size), -1);
  free(line);
  fclose(fp);
}

TEST(Blank, AllWhiteSpaceTests) {
  struct Case {
    const char *text;
    int result;
  } cases[] = {
      {nullptr, 1}, {"", 1}, {"   ", 1}, {" \t\r\n\v\f", 1}, {" - ", 0}, {"x", 0}, {"  0", 0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(blank(c.text), c.result) << (c.text ? c.text : "(none)");
    EXPECT_EQ(whitespace(c.text), c.result) << (c.text ? c.text : "(none)");
  }
}

TEST(FieldCopies, StoreCutPadAndStrip) {
  struct Case {
    const char *src;
    long n;
    const char *sn;  // sncopy: exactly n bytes
    const char *sz;
    const char *strip;
  } cases[] = {
      {"AAK", 6, "AAK   ", "AAK", "AAK"},
      {"AAK   ", 6, "AAK   ", "AAK   ", "AAK"},
      {"ABCDEFGH", 4, "ABCD", "ABCD", "ABCD"},  // cut at n
      {"AB  CD", 4, "AB  ", "AB  ", "AB"},
      {"", 3, "   ", "", ""},
      {"   ", 3, "   ", "   ", ""},
      {" lead ", 6, " lead ", " lead ", " lead"},  // only the padding goes
      {nullptr, 2, "  ", "", ""},
      {"abc", 0, "", "", ""},
      {"abc", -5, "", "", ""},
  };
  for (const Case &c : cases) {
    const std::string what = std::string(c.src ? c.src : "(none)") + "/" + std::to_string(c.n);
    size_t room = c.n > 0 ? static_cast<size_t>(c.n) : 0;
    // Each destination has exactly the room its contract asks, plus a guard byte.
    std::vector<char> sn(room + 1, '#');
    EXPECT_EQ(sncopy(sn.data(), c.src, c.n), sn.data());
    EXPECT_EQ(std::string(sn.data(), room), c.sn) << what;
    EXPECT_EQ(sn[room], '#') << what;
    std::vector<char> sz(room + 2, '#');
    EXPECT_EQ(szcopy(sz.data(), c.src, c.n), sz.data());
    EXPECT_STREQ(sz.data(), c.sz) << what;
    EXPECT_EQ(sz[room + 1], '#') << what;
    std::vector<char> st(room + 2, '#');
    EXPECT_EQ(copystrip(st.data(), c.src, c.n), st.data());
    EXPECT_STREQ(st.data(), c.strip) << what;
    EXPECT_EQ(st[room + 1], '#') << what;
  }
  // A field that is not NUL-ended is read only up to n.
  const char field[4] = {'a', 'b', 'c', 'd'};
  char out[4];
  EXPECT_STREQ(szcopy(out, field, 3), "abc");
  EXPECT_EQ(sncopy(nullptr, "x", 1), nullptr);
  EXPECT_EQ(szcopy(nullptr, "x", 1), nullptr);
  EXPECT_EQ(copystrip(nullptr, "x", 1), nullptr);
}

TEST(Nstrcmp, NaturalOrder) {
  struct Case {
    const char *a, *b;
    int sign;
  } cases[] = {
      {"sta2", "sta10", -1},
      {"sta10", "sta2", 1},
      {"sta10", "sta10", 0},
      {"a", "b", -1},
      {"a", "a1", -1},
      {"a01", "a1", -1},
      {"a1", "a01", 1},
      {"", "", 0},
      {nullptr, "", -1},
      {"", nullptr, 1},
      {nullptr, nullptr, 0},
      {"x9y", "x10a", -1},
      {"99999999999999999999", "100000000000000000000", -1},  // beyond any integer type
      {"\xff", "a", 1},                                       // bytes compare unsigned
  };
  for (const Case &c : cases) {
    int r = nstrcmp(c.a, c.b);
    EXPECT_EQ((r > 0) - (r < 0), c.sign)
        << (c.a ? c.a : "(none)") << " vs " << (c.b ? c.b : "(none)");
  }
}

TEST(Strconcat, JoinsUpToTheTerminator) {
  EXPECT_EQ(take(strconcat("a", "", "bc", "d", nullptr)), "abcd");
  EXPECT_EQ(take(strconcat(nullptr, nullptr)), "");
  EXPECT_EQ(take(strconcat("only", nullptr)), "only");
}

TEST(Strdbl, ShortestTextThatReadsBack) {
  struct Case {
    double value;
    const char *text;
  } cases[] = {
      {0.1, "0.1"},
      {-3, "-3"},
      {12345.678, "12345.678"},
      {1e20, "1e+20"},
      {0, "0"},
      {1.0 / 3.0, "0.3333333333333333"},
      {-2.2250738585072014e-308, "-2.2250738585072014e-308"},
  };
  for (const Case &c : cases) {
    char buf[STRDBL_SIZE];
    EXPECT_EQ(strdbl(c.value, buf, sizeof buf), buf);
    EXPECT_STREQ(buf, c.text);
    EXPECT_EQ(strtod(buf, nullptr), c.value);
  }
  char small[4];
  EXPECT_STREQ(strdbl(12345.678, small, sizeof small), "123");  // cut, still NUL-ended
  EXPECT_EQ(strdbl(1.0, nullptr, 8), nullptr);
  char inf[STRDBL_SIZE];
  EXPECT_STREQ(strdbl(HUGE_VAL, inf, sizeof inf), "inf");
}

TEST(FixStrtod, DecimalNumbersOnlyWithEndAndErrno) {
  struct Case {
    const char *text;
    double value;
    long used;  // characters consumed
    int err;
  } cases[] = {
      {"12.5", 12.5, 4, 0},
      {"  -1.5e3xyz", -1500, 8, 0},
      {"+.5", 0.5, 3, 0},
      {"5.", 5, 2, 0},
      {"1e", 1, 1, 0},  // an exponent without digits is not part of the number
      {"1e+", 1, 1, 0},
      {"7   ", 7, 1, 0},
      {"0x10", 0, 1, 0},  // hexadecimal is not read: the number is the 0
      {"inf", 0, 0, EINVAL},
      {"nan", 0, 0, EINVAL},
      {"-", 0, 0, EINVAL},
      {".", 0, 0, EINVAL},
      {"", 0, 0, EINVAL},
      {"   ", 0, 0, EINVAL},
      {"1e999", HUGE_VAL, 5, ERANGE},
      {"-1e999", -HUGE_VAL, 6, ERANGE},
  };
  for (const Case &c : cases) {
    char *end = nullptr;
    errno = 12345;
    double v = fix_strtod(c.text, &end);
    EXPECT_EQ(v, c.value) << c.text;
    EXPECT_EQ(end - c.text, c.used) << c.text;
    EXPECT_EQ(errno, c.err) << c.text;
  }
  // The use of a field reader: accepted when the rest is white space.
  char *end;
  fix_strtod(" 3.25  ", &end);
  EXPECT_EQ(whitespace(end), 1);
  EXPECT_EQ(fix_strtod("2", nullptr), 2.0);
  errno = 0;
  EXPECT_EQ(fix_strtod(nullptr, &end), 0.0);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(end, nullptr);
}

TEST(Align, RoundsUpToFourAndEight) {
  struct Case {
    long n, as_int, as_double;
  } cases[] = {
      {0, 0, 0}, {1, 4, 8}, {4, 4, 8}, {5, 8, 8}, {8, 8, 8}, {9, 12, 16}, {13, 16, 16}, {-3, 0, 0},
  };
  for (const Case &c : cases) {
    EXPECT_EQ(align_int(c.n), c.as_int) << c.n;
    EXPECT_EQ(align_double(c.n), c.as_double) << c.n;
  }
}
