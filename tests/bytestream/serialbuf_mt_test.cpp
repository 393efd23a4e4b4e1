// A reader and a writer thread on one device record: both streams arrive whole and in
// order, the callbacks count every byte, and a reader waiting for input does not hold
// up the writer.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "bytestream/serialbuf.h"
#include "fixtures.h"
#include "testkit/testkit.h"

using namespace bsfix;

namespace {

// Byte i of a stream: text with a line end every 50 bytes, so the echo passes lines.
char stream_byte(size_t i, char base) { return (i % 50 == 49) ? '\n' : (char)(base + (i % 26)); }

TEST(SerialbufThreads, ReaderAndWriterOnOneRecord) {
  constexpr size_t kBytes = 200000;
  Recorder rec;
  SockPair sp;
  Record r(make_record(&rec, 1024, 5000));
  attach(r.get(), sp.give_near());
  r->rverbose = 3;  // lines of what is read go to the log callback
  int far = sp.far;

  std::string to_record(kBytes, 0), to_peer(kBytes, 0);
  for (size_t i = 0; i < kBytes; ++i) {
    to_record[i] = stream_byte(i, 'a');
    to_peer[i] = stream_byte(i, 'A');
  }

  std::string read_by_record, read_by_peer;
  int read_rc = 0;
  std::thread reader([&] {
    unsigned char c;
    read_by_record.reserve(kBytes);
    for (size_t i = 0; i < kBytes; ++i) {
      read_rc = serialbuf_get_byte(r.get(), &c, 0);
      if (read_rc != 0) return;
      read_by_record += (char)c;
    }
  });
  std::thread writer([&] {
    for (size_t off = 0; off < kBytes; off += 100) {
      size_t n = std::min<size_t>(100, kBytes - off);
      size_t done = 0;
      while (done < n) {
        int w = serialbuf_write(r.get(), to_peer.data() + off + done, (int)(n - done));
        if (w <= 0) return;
        done += (size_t)w;
      }
    }
  });
  std::thread peer_out([&] { write_all(far, to_record); });
  std::thread peer_in([&] { read_by_peer = read_for(far, kBytes, 60); });

  reader.join();
  writer.join();
  peer_out.join();
  peer_in.join();

  EXPECT_EQ(read_rc, 0);
  EXPECT_TRUE(read_by_record == to_record);
  EXPECT_TRUE(read_by_peer == to_peer);
  std::lock_guard<std::mutex> lock(rec.mutex);
  EXPECT_EQ(rec.read_bytes, (long long)kBytes);
  EXPECT_EQ(rec.written_bytes, (long long)kBytes);
  EXPECT_EQ(rec.lines.size(), kBytes / 50);
  for (const auto &[code, text] : rec.lines) ASSERT_EQ(code, 1);
}

TEST(SerialbufThreads, AWaitingReaderDoesNotHoldUpTheWriter) {
  Recorder rec;
  SockPair sp;
  Record r(make_record(&rec, 64, 0));  // the reader waits without limit
  attach(r.get(), sp.give_near());
  std::atomic<bool> reading{false}, done{false};
  unsigned char got = 0;
  int rc = -9;
  std::thread reader([&] {
    reading = true;
    rc = serialbuf_get_byte(r.get(), &got, 0);
    done = true;
  });
  // The reader is inside its wait once it holds the record's read lock: the only lock
  // a waiting read keeps.
  bool waiting = wait_until([&] {
    if (!reading) return false;
    if (!r->mutex_comm.try_lock()) return true;
    r->mutex_comm.unlock();
    return false;
  });
  EXPECT_TRUE(waiting) << "the reader never began its wait; it "
                       << (done ? "returned " + std::to_string(rc) : std::string("runs"));
  EXPECT_EQ(serialbuf_write(r.get(), "w", 1), 1);
  EXPECT_EQ(sp.recv(1, 5), "w");
  EXPECT_FALSE(done.load());
  sp.send("r");
  reader.join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(got, 'r');
}

}  // namespace
