// The reference text (doc/reference.md) names every key the parameter parsers know: the
// table of muldrin's datalogger parameters (with whether the top level must give it), and
// every key of both example parameter files and of their templates and packet
// definitions. A key added to a parser or an example without a line in the reference
// fails here.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/pf.h"
#include "base/tbl.h"
#include "parse_pf.h"
#include "testkit/testkit.h"

namespace {

const std::string kRoot = SOURCE_DIR;

// The reference's table row of `key` ("| `key` |"), or "" when it has none.
std::string row_of(const std::string &doc, const std::string &key) {
  size_t at = doc.find("| `" + key + "` |");
  if (at == std::string::npos) return "";
  return doc.substr(at, doc.find('\n', at) - at);
}

// The keys of an array node, and one level down for blocks that hold named blocks of
// keys (templates, packet definitions).
void collect_keys(Pf *pf, int depth, std::vector<std::string> *out) {
  Tbl *keys = pfkeys(pf);
  for (long i = 0; i < maxtbl(keys); i++) {
    const char *key = static_cast<const char *>(gettbl(keys, i));
    out->push_back(key);
    void *value = nullptr;
    int kind = pfget(pf, key, &value);
    if (depth == 0 && kind != PFSTRING && kind != PFINVALID &&
        std::string(key).find("templates") != std::string::npos) {
      Tbl *names = pfkeys(static_cast<Pf *>(value));
      for (long k = 0; k < maxtbl(names); k++) {
        void *block = nullptr;
        if (pfget(static_cast<Pf *>(value), static_cast<char *>(gettbl(names, k)), &block) !=
            PFSTRING)
          collect_keys(static_cast<Pf *>(block), 1, out);
      }
      freetbl(names, nullptr);
    }
  }
  freetbl(keys, nullptr);
}

TEST(OperatorDoc, NamesEveryDataloggerParameterWithItsRequirement) {
  const std::string doc = read_file(kRoot + "/doc/reference.md");
  ASSERT_FALSE(doc.empty());
  const char *name = nullptr;
  int required = 0, n = 0;
  for (int i = 0; parse_dlparams_key(i, &name, &required) == 0; i++, n++) {
    std::string row = row_of(doc, name);
    ASSERT_NE(row, "") << name << " has no row in doc/reference.md";
    EXPECT_NE(row.find(required ? "| required |" : "| optional |"), std::string::npos)
        << name << ": " << row;
  }
  EXPECT_GT(n, 0);
}

TEST(OperatorDoc, NamesEveryKeyOfTheExampleFiles) {
  const std::string doc = read_file(kRoot + "/doc/reference.md");
  for (const char *example : {"/src/bin/rt/muldrin/muldrin.pf", "/src/bin/rt/kessaro/kessaro.pf"}) {
    Pf *pf = nullptr;
    ASSERT_EQ(pfcompile(read_file(kRoot + example).c_str(), &pf), 0) << example;
    std::vector<std::string> keys;
    collect_keys(pf, 0, &keys);
    pffree(pf);
    EXPECT_FALSE(keys.empty());
    for (const std::string &key : keys)
      EXPECT_NE(doc.find("`" + key + "`"), std::string::npos)
          << key << " of " << example << " is not named in doc/reference.md";
  }
}

}  // namespace
