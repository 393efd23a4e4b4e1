// Opening, querying and closing databases from several threads at once: the registry of
// open databases and the schema compiler are shared by every thread.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "dbfixture.h"

TEST(DbopenThreads, OpenQueryAndCloseConcurrently) {
  clear_db_env();
  TempDir dir;
  dir.write("demo1.0", demo_schema());
  constexpr int kThreads = 4;
  std::vector<std::string> paths;
  for (int i = 0; i < kThreads; i++)
    paths.push_back(dir.write("db" + std::to_string(i), "demo1.0\n"));
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; i++) {
    threads.emplace_back([&, i] {
      for (int round = 0; round < 5; round++) {
        Dbptr db;
        if (RVdbopen(paths[(size_t)i].c_str(), "r", &db) != 0) {
          failures[(size_t)i]++;
          continue;
        }
        // Each thread uses only its own database (databases themselves are not locked);
        // the registry they are found in is shared.
        Dbptr other = dblookup(db, paths[(size_t)i].c_str(), "site", nullptr, nullptr);
        int n = 0;
        if (dbquery(db, dbTABLE_COUNT, &n) != 7) failures[(size_t)i]++;
        if (other.database != db.database || dbquery(other, dbRECORD_SIZE, nullptr) != 124)
          failures[(size_t)i]++;
        dbquery(db, dbDATABASE_COUNT, &n);
        RVdbclose(db);
        elog_clear_register(0);
      }
    });
  }
  for (auto &t : threads) t.join();
  for (int i = 0; i < kThreads; i++) EXPECT_EQ(failures[(size_t)i], 0) << i;
}
