// Expressions compiled and evaluated from several threads at once: the scanner and
// parser state and the evaluator's conversion count are shared and must stay whole.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "dbfixture.h"
#include "reldb/dbex.h"

TEST(ExprThreads, CompileAndEvaluateConcurrently) {
  DemoDb demo;
  ASSERT_EQ(demo.open(), 0);
  Dbptr site = demo.table("site");
  std::vector<std::thread> threads;
  std::vector<int> wrong(4, 0);
  for (int t = 0; t < 4; t++) {
    threads.emplace_back([&, t] {
      for (int n = 0; n < 200; n++) {
        std::string text = "substr('" + std::to_string(t * 1000 + n) + "' . 'x', 0, 0) . " +
                           (t % 2 ? "(1 < 2)" : "((1 < 2) * 1.5)");
        Expression *e = nullptr;
        if (dbex_compile(site, text.c_str(), &e, 0) != dbSTRING) {
          wrong[t]++;
          continue;
        }
        char *s = nullptr;
        int rc = dbex_eval(site, e, 0, &s);
        // Odd threads succeed; even ones meet a refused conversion and must fail,
        // whatever the other threads do meanwhile.
        std::string want = t % 2 ? std::to_string(t * 1000 + n) + "xtrue" : "**evaluation failed**";
        if ((t % 2 ? rc != 1 : rc != dbINVALID) || want != s) wrong[t]++;
        free(s);
        dbex_free(e);
      }
      elog_clear_register(0);
    });
  }
  for (std::thread &th : threads) th.join();
  for (int t = 0; t < 4; t++) EXPECT_EQ(wrong[t], 0) << t;
}
