#include "base/arr.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "base/tbl.h"
#include "testkit/testkit.h"

namespace {

std::string joined(Tbl *tbl, bool free_list = true) {
  char *j = jointbl(tbl, " ");
  std::string out = j ? j : "(none)";
  free(j);
  if (free_list) freetbl(tbl, nullptr);
  return out;
}

char V1[] = "v1", V2[] = "v2", V3[] = "v3", V4[] = "v4";

}  // namespace

TEST(Arr, SetGetDeleteAndKeyOrder) {
  Arr *a = newarr(nullptr);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(setarr(a, "b", V2), nullptr);
  EXPECT_EQ(setarr(a, "a", V1), nullptr);
  EXPECT_EQ(setarr(a, "B", V3), nullptr);
  EXPECT_EQ(setarr(a, "a", V4), V1);  // replaced value handed back
  EXPECT_EQ(cntarr(a), 3);
  EXPECT_EQ(getarr(a, "a"), V4);
  EXPECT_EQ(getarr(a, "absent"), nullptr);
  EXPECT_EQ(joined(keysarr(a)), "B a b");  // byte order: capitals first
  EXPECT_EQ(joined(valsarr(a)), "v3 v4 v2");
  EXPECT_EQ(delarr(a, "B"), V3);
  EXPECT_EQ(delarr(a, "B"), nullptr);
  EXPECT_EQ(cntarr(a), 2);
  freearr(a, nullptr);

  EXPECT_EQ(cntarr(nullptr), 0);
  EXPECT_EQ(getarr(nullptr, "a"), nullptr);
  EXPECT_EQ(joined(keysarr(nullptr)), "");
  freearr(nullptr, free);
}

TEST(Arr, KeysAreCopiedAndTheirTextsBelongToTheArray) {
  Arr *a = newarr(nullptr);
  char key[] = "station";
  setarr(a, key, V1);
  strcpy(key, "changed");
  EXPECT_EQ(getarr(a, "station"), V1);
  Tbl *keys = keysarr(a);
  setarr(a, "another", V2);  // adding entries leaves earlier key texts in place
  EXPECT_STREQ(static_cast<char *>(gettbl(keys, 0)), "station");
  freetbl(keys, nullptr);
  freearr(a, nullptr);
}

TEST(Arr, CustomOrderAndFreeingValues) {
  Arr *a = newarr([](const char *x, const char *y) { return strcmp(y, x); });  // descending
  static int freed;
  freed = 0;
  for (const char *k : {"m", "z", "a"}) setarr(a, k, strdup(k));
  EXPECT_EQ(joined(keysarr(a)), "z m a");
  long calls = 0;
  long nonzero = applyarr(
      a,
      [](const char *key, void *value, void *arg) {
        ++*static_cast<long *>(arg);
        return strcmp(key, static_cast<char *>(value)) == 0 && key[0] != 'm' ? 1 : 0;
      },
      &calls);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(nonzero, 2);
  freearr(a, [](void *p) {
    freed++;
    free(p);
  });
  EXPECT_EQ(freed, 3);
}

TEST(Arr, GreparrMatchesWholeKeys) {
  Arr *a = newarr(nullptr);
  setarr(a, "modem1", V1);
  setarr(a, "modem10", V2);
  setarr(a, "xmodem1", V3);
  setarr(a, "radio", V4);
  struct Case {
    const char *pattern;
    const char *values;
  } cases[] = {
      {"modem1", "v1"},  // not modem10 nor xmodem1: the whole key must match
      {"modem.*", "v1 v2"},
      {".*modem1", "v1 v3"},
      {"modem1|radio", "v1 v4"},
      {"nothing", ""},
      {"", ""},
  };
  for (const Case &c : cases) EXPECT_EQ(joined(greparr(c.pattern, a)), c.values) << c.pattern;

  ElogCapture cap;
  EXPECT_EQ(greparr("(unclosed", a), nullptr);
  EXPECT_EQ(greparr("(a*){5000}", a), nullptr);  // refused before the compiler sees it
  EXPECT_EQ(greparr(nullptr, a), nullptr);
  freearr(a, nullptr);
}
