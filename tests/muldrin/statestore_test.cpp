// The state store reads parameter-file text as the parameter-file parser does (checked
// against it: the same texts refused, the same keys, kinds and values found), leaves a
// top-level block over 1 MiB out alone, and holds at most about twice the text.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "base/pf.h"
#include "base/tbl.h"
#include "q330_statestore.h"
#include "testkit/testkit.h"

namespace {

// The store's view of a Pf node, checked entry by entry: arrays by their keys in order
// (the last of equal keys), lists by position.
void expect_same(Pf *pf, int kind, Q330StateNode node, const std::string &where) {
  if (kind == PFTBL) {
    size_t pos = 0, i = 0;
    Q330StateEntry e;
    for (; q330_statenode_next(node, &pos, &e); i++) {
      void *v = nullptr;
      int k = pfget(pf, std::to_string(i).c_str(), &v);
      std::string at = where + "[" + std::to_string(i) + "]";
      if (k == PFSTRING) {
        EXPECT_EQ(e.kind, 'S') << at;
        if (e.kind == 'S') {
          EXPECT_STREQ(e.text, static_cast<char *>(v)) << at;
        }
      } else {
        EXPECT_EQ(e.kind, k == PFTBL ? 'T' : 'A') << at;
        if (e.kind != 'S') expect_same(static_cast<Pf *>(v), k, e.node, at);
      }
    }
    void *v = nullptr;
    EXPECT_EQ(pfget(pf, std::to_string(i).c_str(), &v), PFINVALID) << where << ": more in Pf";
    return;
  }
  Tbl *keys = pfkeys(pf);
  std::vector<uint32_t> offsets;
  q330_statenode_keys(node, &offsets);
  ASSERT_EQ(offsets.size(), static_cast<size_t>(maxtbl(keys))) << where;
  for (size_t i = 0; i < offsets.size(); i++) {
    auto *key = static_cast<char *>(gettbl(keys, static_cast<long>(i)));
    size_t pos = offsets[i];
    Q330StateEntry e;
    ASSERT_TRUE(q330_statenode_next(node, &pos, &e));
    EXPECT_STREQ(e.key, key) << where;
    Q330StateEntry last;
    ASSERT_TRUE(q330_statenode_find(node, key, &last));
    EXPECT_EQ(last.key, e.key) << where << ": find gives the last of equal keys";
    void *v = nullptr;
    int k = pfget(pf, key, &v);
    std::string at = where + "." + key;
    if (k == PFSTRING) {
      EXPECT_EQ(e.kind, 'S') << at;
      if (e.kind == 'S') {
        EXPECT_STREQ(e.text, static_cast<char *>(v)) << at;
      }
    } else {
      EXPECT_EQ(e.kind, k == PFTBL ? 'T' : 'A') << at;
      if (e.kind != 'S') expect_same(static_cast<Pf *>(v), k, e.node, at);
    }
  }
  freetbl(keys, nullptr);
}

TEST(StateStore, ReadsWhatTheParameterFileParserReads) {
  const std::string deep = [] {
    std::string t;
    for (int i = 0; i <= PF_MAX_DEPTH; i++) t += "a &Arr{\n";
    for (int i = 0; i <= PF_MAX_DEPTH; i++) t += "}\n";
    return t;
  }();
  const std::string texts[] = {
      "",
      "a 1\nb  two words \t\n",
      "\"a b\" \" x \"\nc \"\"\n",
      "DL1 &Arr{\n  x 1\n  l &Tbl{\n    1\n    &Arr{\n      k v\n    }\n    two\n  }\n}\n",
      "a 1\na 2\nb &Arr{\nc 1\n}\nb 3\nb &Tbl{\nx\n}\n",
      "# comment\n\na 1 \nb &Arr{ # note\n} # end\n",
      "a 1\r\nb &Tbl{\r\n2\r\n}\r\n",
      "t &Literal{\n  line1\n  {x}\n  }\n",
      "log &Literal{\nmessage}\nnext 1\n",
      "l &Tbl{\n&Tbl{\n1\n}\n&Literal{\nx\n}\n}\n",
      "a &Arr{\n",
      "}\n",
      "a 1\x01\n",
      "&Arr{\n}\n",
      "a &Arr{ x\n}\n",
      "\"a b\n",
      "a " + std::string(PF_MAX_LINE, 'x') + "\n",
      "t &Literal{\nnot closed\n",
      "a\rb\n",
      deep,
  };
  for (const std::string &text : texts) {
    SCOPED_TRACE(text.size() < 200 ? text : text.substr(0, 200));
    Pf *pf = nullptr;
    int pf_rc = pfcompile(text.c_str(), &pf);
    Q330StateStore *store = nullptr;
    int rc = q330_statestore_compile(text.c_str(), "test", &store);
    EXPECT_EQ(rc == Q330_STATESTORE_OK, pf_rc == 0);
    if (rc == Q330_STATESTORE_OK && pf_rc == 0)
      expect_same(pf, PFFILE, q330_statestore_root(store), "");
    EXPECT_EQ(rc == Q330_STATESTORE_OK, store != nullptr);
    pffree(pf);
    q330_statestore_free(store);
  }
}

// A top-level block is bounded by its text, its first line to its closing one; nested
// blocks and the top-level items around it stay.
TEST(StateStore, TopLevelBlockOverTheBoundIsLeftOutAlone) {
  struct Case {
    const char *what;
    size_t block_text;  // bytes of DL1's text
    bool kept;
  } cases[] = {
      {"exactly 1 MiB", Q330_STATESTORE_BLOCK_MAX, true},
      {"one byte more", Q330_STATESTORE_BLOCK_MAX + 1, false},
      {"16 MiB", Q330_STATESTORE_BLOCK_MAX * 16, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    const std::string head = "DL1 &Arr{\nbins &Tbl{\n", tail = "}\nk v\n}\n";
    std::string text = "a 1\n" + head;
    size_t body = c.block_text - head.size() - tail.size();
    text.reserve(c.block_text + 64);
    while (body > 3) {
      text += "7\n";
      body -= 2;
    }
    text += std::string(body - 1, '8') + "\n" + tail + "DL2 &Arr{\nk w\n}\ntime 5\n";
    ElogCapture log;
    Q330StateStore *store = nullptr;
    ASSERT_EQ(q330_statestore_compile(text.c_str(), "state", &store), Q330_STATESTORE_OK);
    Q330StateNode root = q330_statestore_root(store), dl;
    EXPECT_EQ(q330_statenode_array(root, "DL1", &dl), c.kept);
    if (c.kept) {
      EXPECT_STREQ(q330_statenode_text(dl, "k"), "v");
    }
    ASSERT_TRUE(q330_statenode_array(root, "DL2", &dl));
    EXPECT_STREQ(q330_statenode_text(dl, "k"), "w");
    EXPECT_STREQ(q330_statenode_text(root, "a"), "1");
    EXPECT_EQ(store->time, "5");
    EXPECT_EQ(log.contains("Statefile state: the block of DL1 is larger than 1048576 bytes"),
              !c.kept)
        << log.text();
    EXPECT_LE(store->bytes.capacity(), 2 * text.size() + 64);
    q330_statestore_free(store);
  }
}

}  // namespace
