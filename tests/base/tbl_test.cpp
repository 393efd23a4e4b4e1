#include "base/tbl.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "testkit/testkit.h"

namespace {

// The texts of a pointer list, "-" for none entries.
std::string texts(const Tbl *tbl) {
  std::string out;
  for (long i = 0; i < maxtbl(tbl); i++) {
    const char *s = static_cast<const char *>(gettbl(tbl, i));
    out += (i ? " " : "");
    out += s ? s : "-";
  }
  return out;
}

char A[] = "a", B[] = "b", C[] = "c", D[] = "d";

struct Key {
  int32_t record;
  int32_t value;
};

}  // namespace

TEST(Tbl, EditingOperationsKeepOrder) {
  Tbl *t = newtbl(0);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(maxtbl(t), 0);
  EXPECT_EQ(pushtbl(t, B), 1);
  EXPECT_EQ(pushtbl(t, C), 2);
  EXPECT_EQ(unshifttbl(t, A), 3);
  EXPECT_EQ(texts(t), "a b c");
  EXPECT_EQ(instbl(t, 3, D), 3);  // at the end
  EXPECT_EQ(instbl(t, 1, D), 1);
  EXPECT_EQ(texts(t), "a d b c d");
  EXPECT_EQ(instbl(t, 6, A), -1);
  EXPECT_EQ(instbl(t, -1, A), -1);
  EXPECT_EQ(deltbl(t, 1), D);
  EXPECT_EQ(deltbl(t, 4), nullptr);
  EXPECT_EQ(shifttbl(t), A);
  EXPECT_EQ(poptbl(t), D);
  EXPECT_EQ(texts(t), "b c");
  EXPECT_EQ(gettbl(t, -1), nullptr);
  EXPECT_EQ(gettbl(t, 2), nullptr);
  EXPECT_EQ(poptbl(t), C);
  EXPECT_EQ(shifttbl(t), B);
  EXPECT_EQ(poptbl(t), nullptr);
  EXPECT_EQ(shifttbl(t), nullptr);
  freetbl(t, nullptr);
}

TEST(Tbl, SettblAppendsAndFillsGapsWithNone) {
  struct Case {
    long index;
    long result;
    const char *after;
  } cases[] = {
      {0, 0, "b"},          // replaces
      {1, 1, "b b"},        // index == count appends
      {4, 4, "b b - - b"},  // gap filled with none
      {-1, -1, "b b - - b"},
  };
  Tbl *t = newtbl(1);
  pushtbl(t, A);
  for (const Case &c : cases) {
    EXPECT_EQ(settbl(t, c.index, B), c.result) << c.index;
    EXPECT_EQ(texts(t), c.after) << c.index;
  }
  freetbl(t, nullptr);
}

TEST(Tbl, GrowsPastItsHintAndNullListsAreHarmless) {
  Tbl *t = newtbl(2);
  std::vector<long> values(1000);
  for (long i = 0; i < 1000; i++) {
    values[i] = i;
    pushtbl(t, &values[i]);
  }
  ASSERT_EQ(maxtbl(t), 1000);
  for (long i = 0; i < 1000; i++) ASSERT_EQ(*static_cast<long *>(gettbl(t, i)), i);
  freetbl(t, nullptr);

  EXPECT_EQ(maxtbl(nullptr), 0);
  EXPECT_EQ(gettbl(nullptr, 0), nullptr);
  EXPECT_EQ(pushtbl(nullptr, A), -1);
  EXPECT_EQ(settbl(nullptr, 0, A), -1);
  EXPECT_EQ(poptbl(nullptr), nullptr);
  freetbl(nullptr, free);
  clrtbl(nullptr, free);
  Tbl *huge = newtbl(LONG_MAX);  // an absurd hint is not an allocation
  ASSERT_NE(huge, nullptr);
  freetbl(huge, nullptr);
}

TEST(Tbl, AnIndexBeyondAnyPossibleListIsOutOfMemoryNotAnOverflow) {
  ElogCapture cap;
  ElogExitTrap trap;
  Tbl *t = newtbl(0);
  for (long i : {LONG_MAX, LONG_MAX / 8}) {
    EXPECT_THROW(settbl(t, i, A), ElogExit) << i;
  }
  EXPECT_TRUE(cap.contains("Out of memory")) << cap.text();
  EXPECT_EQ(maxtbl(t), 0);
  Tbl *huge = inittbl(4, LONG_MAX);  // elements too big to hold even one
  ASSERT_NE(huge, nullptr);
  Key k{};
  EXPECT_THROW(addrtbl(huge, &k), ElogExit);
  freetbl(huge, nullptr);
  freetbl(t, nullptr);
}

TEST(Tbl, FreeAndClearPassEntriesToTheFunction) {
  static int freed;
  freed = 0;
  auto count_free = [](void *p) {
    freed++;
    free(p);
  };
  Tbl *t = newtbl(0);
  pushtbl(t, strdup("x"));
  pushtbl(t, strdup("y"));
  clrtbl(t, count_free);
  EXPECT_EQ(freed, 2);
  EXPECT_EQ(maxtbl(t), 0);
  pushtbl(t, strdup("z"));
  freetbl(t, count_free);
  EXPECT_EQ(freed, 3);
}

TEST(Tbl, DupCatApplyJoin) {
  Tbl *t = newtbl(0);
  pushtbl(t, A);
  pushtbl(t, nullptr);
  pushtbl(t, C);
  char *j = jointbl(t, ", ");
  EXPECT_STREQ(j, "a, , c");
  free(j);

  Tbl *shallow = duptbl(t, nullptr);
  EXPECT_EQ(gettbl(shallow, 0), A);
  Tbl *deep =
      duptbl(t, [](void *p) -> void * { return p ? strdup(static_cast<char *>(p)) : nullptr; });
  EXPECT_NE(gettbl(deep, 0), A);
  EXPECT_STREQ(static_cast<char *>(gettbl(deep, 0)), "a");

  EXPECT_EQ(cattbl(shallow, shallow), shallow);  // appending a list to itself
  EXPECT_EQ(texts(shallow), "a - c a - c");

  long calls = 0;
  long nonzero = applytbl(
      shallow,
      [](void *e, void *arg) {
        ++*static_cast<long *>(arg);
        return e != nullptr ? 1 : 0;
      },
      &calls);
  EXPECT_EQ(calls, 6);
  EXPECT_EQ(nonzero, 4);

  Tbl *empty = newtbl(0);
  j = jointbl(empty, ",");
  EXPECT_STREQ(j, "");
  free(j);
  freetbl(empty, nullptr);
  freetbl(deep, free);
  freetbl(shallow, nullptr);
  freetbl(t, nullptr);
}

TEST(Tbl, CattblRefusesListsOfDifferentKinds) {
  ElogCapture cap;
  Tbl *p = newtbl(0);
  Tbl *f = inittbl(0, 12);
  EXPECT_EQ(cattbl(p, f), nullptr);
  EXPECT_EQ(cattbl(p, nullptr), p);
  freetbl(p, nullptr);
  freetbl(f, nullptr);
}

TEST(Tbl, FixedSizeListsHoldContiguousCopies) {
  Tbl *t = inittbl(0, sizeof(Key));
  ASSERT_NE(t, nullptr);
  for (int i = 0; i < 100; i++) {
    Key k{i, 100 - i};
    EXPECT_EQ(addrtbl(t, &k), i + 1);
  }
  Key *base = static_cast<Key *>(gettbl(t, 0));
  EXPECT_EQ(base[42].record, 42);
  EXPECT_EQ(static_cast<Key *>(gettbl(t, 99)), base + 99);

  Key k{-1, -1};
  EXPECT_EQ(instbl(t, 1, &k), 1);
  EXPECT_EQ(static_cast<Key *>(gettbl(t, 1))->record, -1);
  EXPECT_EQ(static_cast<Key *>(gettbl(t, 2))->record, 1);
  Key *removed = static_cast<Key *>(deltbl(t, 1));
  ASSERT_NE(removed, nullptr);
  EXPECT_EQ(removed->record, -1);
  EXPECT_EQ(static_cast<Key *>(gettbl(t, 1))->record, 1);
  EXPECT_EQ(static_cast<Key *>(poptbl(t))->record, 99);
  EXPECT_EQ(static_cast<Key *>(shifttbl(t))->record, 0);
  EXPECT_EQ(maxtbl(t), 98);

  Tbl *copy = duptbl(t, nullptr);
  EXPECT_EQ(static_cast<Key *>(gettbl(copy, 0))->record, 1);
  EXPECT_NE(gettbl(copy, 0), gettbl(t, 0));
  freetbl(copy, nullptr);

  static int called;
  called = 0;
  freetbl(t, [](void *) { called++; });
  EXPECT_EQ(called, 0);  // elements are not pointers

  ElogCapture cap;
  EXPECT_EQ(inittbl(4, 0), nullptr);
}

TEST(Tbl, ReadtblSplitsHeaderAndLines) {
  TempDir dir;
  struct Case {
    const char *name;
    const char *text;
    int flag;
    const char *header;  // none: header not asked
    const char *lines;
  } cases[] = {
      {"plain", "one\ntwo\n", 0, nullptr, "one two"},
      {"no final newline", "one\ntwo", 0, nullptr, "one two"},
      {"empty", "", 1, "", ""},
      {"header", "#Index x 1 0\n#sta\nab\n#not header\n", 1, "#Index x 1 0\n#sta\n", "ab #not"},
      {"hash lines kept without flag", "#a\nb\n", 0, nullptr, "#a b"},
      {"blank line kept", "a\n\nb\n", 1, "", "a  b"},
  };
  for (const Case &c : cases) {
    std::string path = dir.write("t", c.text);
    char *header = reinterpret_cast<char *>(1);
    Tbl *t = readtbl(path.c_str(), c.flag, &header);
    ASSERT_NE(t, nullptr) << c.name;
    // Entries hold no blanks in these cases except "#not header": compare word by word.
    std::string got;
    for (long i = 0; i < maxtbl(t); i++) {
      std::string line = static_cast<char *>(gettbl(t, i));
      got += (i ? " " : "") + line.substr(0, line.find(' '));
    }
    EXPECT_EQ(got, c.lines) << c.name;
    if (c.header) {
      ASSERT_NE(header, nullptr) << c.name;
      EXPECT_STREQ(header, c.header) << c.name;
    } else {
      EXPECT_EQ(header, nullptr) << c.name;
    }
    free(header);
    freetbl(t, free);
  }
}

TEST(Tbl, ReadtblOfAMissingFileLogsAndGivesNone) {
  ElogCapture cap;
  TempDir dir;
  char *header = nullptr;
  EXPECT_EQ(readtbl(dir.file("absent").c_str(), 1, &header), nullptr);
  EXPECT_EQ(header, nullptr);
  EXPECT_EQ(readtbl(nullptr, 0, nullptr), nullptr);
}

namespace {

// Compares ints, counting calls in the context.
int cmp_int(const void *a, const void *b, void *ctx) {
  ++*static_cast<int *>(ctx);
  int x = *static_cast<const int *>(a), y = *static_cast<const int *>(b);
  return (x > y) - (x < y);
}

// Orders Keys by value only: records tell equal values apart.
int cmp_key(const void *a, const void *b, void *) {
  const Key *x = static_cast<const Key *>(a), *y = static_cast<const Key *>(b);
  return (x->value > y->value) - (x->value < y->value);
}

}  // namespace

TEST(Sort, QuicksortUsesTheContextAndKeepsEqualElementsInOrder) {
  std::vector<Key> keys;
  for (int i = 0; i < 50; i++) keys.push_back({i, (i * 7) % 5});
  int calls = 0;
  quicksort(
      keys.data(), static_cast<long>(keys.size()), sizeof(Key),
      [](const void *a, const void *b, void *ctx) {
        ++*static_cast<int *>(ctx);
        return cmp_key(a, b, nullptr);
      },
      &calls);
  EXPECT_GT(calls, 0);
  for (size_t i = 1; i < keys.size(); i++) {
    ASSERT_LE(keys[i - 1].value, keys[i].value);
    if (keys[i - 1].value == keys[i].value) {
      ASSERT_LT(keys[i - 1].record, keys[i].record);
    }
  }

  int none[1] = {5};
  quicksort(none, 0, sizeof(int), cmp_int, &calls);  // nothing to do
  quicksort(nullptr, 3, sizeof(int), cmp_int, &calls);
  EXPECT_EQ(none[0], 5);
}

TEST(Sort, QuicksortSurvivesAnInconsistentComparison) {
  std::vector<int> v(200);
  for (int i = 0; i < 200; i++) v[i] = i;
  unsigned state = 1;
  quicksort(
      v.data(), 200, sizeof(int),
      [](const void *, const void *, void *ctx) {
        unsigned &s = *static_cast<unsigned *>(ctx);
        s = s * 1103515245u + 12345u;
        return static_cast<int>((s >> 16) % 3) - 1;
      },
      &state);
  std::vector<int> sorted = v;
  std::sort(sorted.begin(), sorted.end());
  for (int i = 0; i < 200; i++) ASSERT_EQ(sorted[i], i);  // a permutation, nothing lost
}

TEST(Search, SsearchFindsRangesAndInsertionPoints) {
  const int sorted[] = {1, 3, 3, 3, 5, 8};
  struct Case {
    int key;
    int unique;
    long count, first, last;
  } cases[] = {
      {3, 0, 3, 1, 3},                                     // the whole run of equal keys
      {1, 0, 1, 0, 0}, {8, 0, 1, 5, 5}, {0, 0, 0, 0, -1},  // before everything
      {4, 0, 0, 4, 3},                                     // between: insertion position 4
      {9, 0, 0, 6, 5},                                     // after everything
      {5, 1, 1, 4, 4}, {4, 1, 0, 4, 3},
  };
  for (const Case &c : cases) {
    long first = -99, last = -99;
    int calls = 0;
    long n = ssearch(&c.key, sizeof(int), sorted, 6, c.unique, cmp_int, &calls, &first, &last);
    EXPECT_EQ(n, c.count) << c.key;
    EXPECT_EQ(first, c.first) << c.key;
    EXPECT_EQ(last, c.last) << c.key;
    EXPECT_GT(calls, 0);
  }
  // Unique search: one of the equal elements, and only that one.
  long first = -1, last = -1;
  int calls = 0, key = 3;
  EXPECT_EQ(ssearch(&key, sizeof(int), sorted, 6, 1, cmp_int, &calls, &first, &last), 1);
  EXPECT_EQ(first, last);
  EXPECT_EQ(sorted[first], 3);
  // Empty array.
  EXPECT_EQ(ssearch(&key, sizeof(int), sorted, 0, 0, cmp_int, &calls, &first, &last), 0);
  EXPECT_EQ(first, 0);
  EXPECT_EQ(last, -1);
}

TEST(Search, InsertingAtTheFoundPositionKeepsAFixedListSorted) {
  Tbl *t = inittbl(0, sizeof(Key));
  unsigned state = 7;
  for (int i = 0; i < 300; i++) {
    state = state * 1103515245u + 12345u;
    Key k{i, static_cast<int32_t>((state >> 16) % 20)};
    long first, last;
    ssearch(&k, sizeof k, gettbl(t, 0), maxtbl(t), 0, cmp_key, nullptr, &first, &last);
    ASSERT_EQ(instbl(t, last + 1, &k), last + 1);  // after its equals
  }
  for (long i = 1; i < maxtbl(t); i++) {
    const Key *a = static_cast<Key *>(gettbl(t, i - 1)), *b = static_cast<Key *>(gettbl(t, i));
    ASSERT_LE(a->value, b->value);
    if (a->value == b->value) {
      ASSERT_LT(a->record, b->record);
    }
  }
  freetbl(t, nullptr);
}

TEST(TextStack, PushedTextsComeBackJoinedInOrder) {
  void *stack = nullptr;
  pushstr(&stack, "alpha ");
  pushstr(&stack, "");
  pushstr(&stack, nullptr);
  pushstr(&stack, "beta\n");
  char *text = popstr(&stack, 1);
  EXPECT_STREQ(text, "alpha beta\n");
  EXPECT_EQ(stack, nullptr);
  free(text);

  pushstr(&stack, "dropped");
  EXPECT_EQ(popstr(&stack, 0), nullptr);
  EXPECT_EQ(stack, nullptr);

  text = popstr(&stack, 1);  // nothing pushed: an empty text
  EXPECT_STREQ(text, "");
  free(text);
  EXPECT_EQ(popstr(nullptr, 1), nullptr);
}

TEST(Splitlist, WordsAtSeparatorsWithQuotes) {
  struct Case {
    const char *text;
    std::vector<std::string> words;
  } cases[] = {
      {"", {}},
      {" \t,\n", {}},
      {"one", {"one"}},
      {"  set  dl1,dl2\tvalue\n", {"set", "dl1", "dl2", "value"}},
      {"a,,b", {"a", "b"}},
      {"say \"hello world\" 'x, y'", {"say", "hello world", "x, y"}},
      {"pre\"fix a\"post", {"prefix apost"}},
      {"\"\" x", {"", "x"}},
      {"it's\"\"'", {"its\"\""}},  // the other quote is plain text inside quotes
  };
  for (const Case &c : cases) {
    int argc = -1;
    char **argv = nullptr;
    ASSERT_EQ(splitlist(c.text, &argc, &argv), 0) << c.text;
    ASSERT_EQ(argc, static_cast<int>(c.words.size())) << c.text;
    for (int i = 0; i < argc; i++) EXPECT_EQ(argv[i], c.words[i]) << c.text;
    EXPECT_EQ(argv[argc], nullptr);
    freeargs(argc, argv);
  }
}

TEST(Splitlist, BadArgumentsAndUnmatchedQuotesFail) {
  ElogCapture cap;
  int argc = 5;
  char **argv = reinterpret_cast<char **>(1);
  EXPECT_EQ(splitlist("open \"quote", &argc, &argv), -1);
  EXPECT_EQ(argc, 0);
  EXPECT_EQ(argv, nullptr);
  EXPECT_EQ(splitlist(nullptr, &argc, &argv), -1);
  EXPECT_EQ(splitlist("x", nullptr, &argv), -1);
  EXPECT_EQ(splitlist("x", &argc, nullptr), -1);
  freeargs(0, nullptr);
}

TEST(Hook, FreeHookCallsItsFunctionOnce) {
  static int freed;
  freed = 0;
  Hook *hook = new_hook([](void *p) {
    freed++;
    free(p);
  });
  ASSERT_NE(hook, nullptr);
  EXPECT_EQ(hook->p, nullptr);
  hook->p = malloc(8);
  free_hook(&hook);
  EXPECT_EQ(hook, nullptr);
  EXPECT_EQ(freed, 1);
  free_hook(&hook);  // again: nothing
  free_hook(nullptr);
  Hook *empty = new_hook(nullptr);
  free_hook(&empty);
  EXPECT_EQ(freed, 1);
}
