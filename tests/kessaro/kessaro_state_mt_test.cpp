// mybury from several threads at once, while the event download replaces a file list and
// a reader watches the file: every version read is one whole text.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/arr.h"
#include "base/pf.h"
#include "kessaro_program.h"
#include "kessaro_state.h"
#include "testkit/testkit.h"

namespace {

TEST(AltusStateThreads, WritersLeaveOneWholeFile) {
  TempDir dir;
  Kessaro *altus = kessaro_new();
  altus->statefile_name = strdup(dir.file("kessaro.state").c_str());
  AltusDatalogger *dls[2];
  const char *names[2] = {"dlA", "dlB"};
  for (int i = 0; i < 2; i++) {
    dls[i] = altusdatalogger_new();
    dls[i]->target_name = strdup(names[i]);
    setarr(altus->dltargets_array, names[i], dls[i]);
  }
  ASSERT_EQ(mybury(altus), 0);

  std::atomic<int> running{3};
  std::atomic<int> bad{0};
  auto writer = [&] {
    for (int i = 0; i < 40; i++) EXPECT_EQ(mybury(altus), 0);
    running--;
  };
  auto downloader = [&] {  // replaces dlA's list as the event download does
    for (int n = 1; n <= 40; n++) {
      auto *files = static_cast<AltusDirTree *>(calloc((size_t)n, sizeof(AltusDirTree)));
      for (int i = 0; i < n; i++) snprintf(files[i].pathname, 256, "C:\\E%d.EVT", i);
      std::lock_guard<KessaroMutex> lock(altus->statefile_mutex);
      free(dls[0]->files);
      dls[0]->files = files;
      dls[0]->files_size = n;
    }
    running--;
  };
  auto reader = [&] {
    while (running > 0) {
      std::string text = read_file(altus->statefile_name);
      Pf *pf = nullptr;
      if (pfcompile(text.c_str(), &pf) != 0 || pfget(pf, "dataloggers", nullptr) != PFARR ||
          text.find("dlB &Arr{") == std::string::npos || text.substr(text.size() - 4) != "}\n}\n") {
        bad++;
      }
      pffree(pf);
    }
  };
  std::vector<std::thread> threads;
  threads.emplace_back(writer);
  threads.emplace_back(writer);
  threads.emplace_back(downloader);
  threads.emplace_back(reader);
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(bad.load(), 0);

  ASSERT_EQ(mybury(altus), 0);
  std::string last = read_file(altus->statefile_name);
  EXPECT_NE(last.find("C:/E39.EVT"), std::string::npos);
  for (AltusDatalogger *d : dls) altusdatalogger_free(d);
  free(altus->statefile_name);
  kessaro_test_free(altus);
}

}  // namespace
