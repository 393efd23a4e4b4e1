// The status thread's view of a datalogger's connection while the console dialogue
// records it: read under the program record's status_mutex, the five connection fields
// always belong to one update.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>

#include "altuscomsubs_console.h"
#include "altuscomsubs_output.h"
#include "altussim_block.h"
#include "base/elog.h"
#include "base/pmtfifo.h"
#include "bytestream/fixtures.h"
#include "kessaro_hooks.h"
#include "testkit/testkit.h"

using namespace bsfix;

TEST(AltusConsoleThreads, ConnectionFieldsUnderStatusLock) {
  ClockScale scale(0.01);
  ElogCapture log;
  static Kessaro *altus = kessaro_new();  // reachable to the end, as in the program
  altus->mtfifo_write = pmtfifo_create(0, 0, 0);
  kessaro_install(altus);
  Modem *modem = modem_new();
  modem->name = strdup("tty1");
  AltusDatalogger *dl = altusdatalogger_new();
  dl->target_name = strdup("dlA");
  // No connected link: the fields are still written under the lock.
  dl->connected_modem = nullptr;
  altussim::Sim sim;
  int port = sim.listen_tcp();
  sim.start();
  Record buf(serialbuf_create_tcpclient("127.0.0.1", port, 4096, 10000, 10000, 3, nullptr, nullptr,
                                        nullptr, nullptr, nullptr, nullptr, nullptr));
  ASSERT_EQ(serialbuf_connect(buf.get(), 0, nullptr), 0);

  std::atomic<bool> done{false};
  std::atomic<int> torn{0}, reads{0};
  std::thread status([&] {
    while (!done.load()) {
      std::lock_guard<KessaroMutex> g(altus->status_mutex);
      if (dl->last_monitormode_time != dl->open_time) torn++;
      if (dl->com_mode == 3 && dl->close_time != 0.0) torn++;
      reads++;
    }
  });
  for (int i = 0; i < 3; i++) {
    int got = 0;
    {
      std::lock_guard<KessaroMutex> g(altus->status_mutex);
      dl->close_time = 100.0 + i;
      dl->com_mode = ALTUS_COM_DISCONNECTED;
    }
    EXPECT_EQ(initiate_monitormode(buf.get(), modem, dl, &dl->com_mode, nullptr, &got), 0);
    EXPECT_EQ(got, 1);
  }
  std::string answer;
  EXPECT_EQ(altuscom_console_reboot(buf.get(), modem, dl, nullptr, nullptr, nullptr, &answer), 0);
  done = true;
  status.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
  {
    std::lock_guard<KessaroMutex> g(altus->status_mutex);
    EXPECT_EQ(dl->com_mode, 5);
    EXPECT_EQ(dl->lcom, 5);
  }

  buf.reset();
  sim.stop();
  void *item = nullptr;
  while (pmtfifo_pop(altus->mtfifo_write, &item) == 1)
    altuspacket_free(static_cast<AltusPacket *>(item));
  pmtfifo_destroy(altus->mtfifo_write, nullptr);
  altus->mtfifo_write = nullptr;
  kessaro_install(nullptr);
  altusdatalogger_free(dl);
  modem_free(modem);
  elog_clear_register(0);
}
