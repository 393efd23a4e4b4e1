// Altus block-mode codec on memory: framing a maximum-size packet of worst-case bytes
// (every byte escaped), unstuffing it, parsing it, the stream CRC and the stream-sample
// decoder on a full stream packet; and the frame reader through a SerialBuf on a socket
// pair.
#include <benchmark/benchmark.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "altuscomsubs_block.h"
#include "altussim_block.h"

namespace {

using altussim::Bytes;

Bytes worst_packet() { return altussim::packet(PKR_FILE, 1, Bytes(BLOCK_MAX_DATA, 0xC0)); }

// A full stream packet: one absolute sample and 2-byte differences (1485 samples).
Bytes full_strdata() {
  std::vector<int32_t> s;
  for (int i = 0; i < 1485; i++) s.push_back((i % 100) * 2);
  return altussim::packet(PKR_STRDATA, 1, altussim::strdata_payload(1, 0, 1, 0, 0, s));
}

void BM_Frame(benchmark::State &state) {
  Bytes p = worst_packet();
  for (auto _ : state) benchmark::DoNotOptimize(altussim::frame(p));
  state.SetBytesProcessed(state.iterations() * (int64_t)p.size());
}

// The codec's own framing, writing into a socket pair drained by a reader thread.
void BM_SendBlockCommandPacket(benchmark::State &state) {
  int sv[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
  SerialBuf *b = serialbuf_create(1024, 1000, 1000, 1000, 0, 1, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr);
  b->fd = sv[0];
  b->state = SERIALBUF_CONNECTED;
  std::thread drain([&] {
    char buf[65536];
    while (read(sv[1], buf, sizeof buf) > 0) {
    }
  });
  Bytes p = worst_packet();
  for (auto _ : state) send_block_command_packet(b, p.data(), (int)p.size());
  state.SetBytesProcessed(state.iterations() * (int64_t)p.size());
  shutdown(sv[0], SHUT_RDWR);
  drain.join();
  serialbuf_destroy(b);
  close(sv[1]);
}

void BM_Unstuff(benchmark::State &state) {
  Bytes f = altussim::frame(worst_packet());
  Bytes inner(f.begin() + 1, f.end() - 1);
  Bytes work(inner.size());
  for (auto _ : state) {
    memcpy(work.data(), inner.data(), inner.size());
    benchmark::DoNotOptimize(block_unstuff(work.data(), (int)work.size()));
  }
  state.SetBytesProcessed(state.iterations() * (int64_t)inner.size());
}

void BM_DecodeBlockPacket(benchmark::State &state) {
  Bytes p = worst_packet();
  auto pkt = std::make_unique<AltusBlockPkt>();
  for (auto _ : state)
    benchmark::DoNotOptimize(
        decode_block_packet(p.data(), (int)p.size(), pkt.get(), nullptr, nullptr));
  state.SetBytesProcessed(state.iterations() * (int64_t)p.size());
}

void BM_Datacrc(benchmark::State &state) {
  Bytes d(BLOCK_MAX_DATA, 0x5A);
  for (auto _ : state) benchmark::DoNotOptimize(datacrc(d.data(), (int)d.size()));
  state.SetBytesProcessed(state.iterations() * (int64_t)d.size());
}

void BM_DecodeStrdata(benchmark::State &state) {
  Bytes p = full_strdata();
  auto pkt = std::make_unique<AltusBlockPkt>();
  decode_block_packet(p.data(), (int)p.size(), pkt.get(), nullptr, nullptr);
  auto sd = std::make_unique<AltusBlockStrdata>();
  for (auto _ : state) benchmark::DoNotOptimize(decode_block_strdata(pkt.get(), sd.get()));
  state.SetBytesProcessed(state.iterations() * (int64_t)pkt->dataLength);
}

// Frames read byte by byte through a SerialBuf from a socket pair fed by a writer thread.
void BM_ReceiveThroughSerialBuf(benchmark::State &state) {
  int sv[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
  SerialBuf *b = serialbuf_create(8192, 1000, 1000, 1000, 0, 1, nullptr, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr);
  b->fd = sv[0];
  b->state = SERIALBUF_CONNECTED;
  Bytes f = altussim::frame(full_strdata());
  std::atomic<bool> stop{false};
  std::thread feed([&] {
    while (!stop) {
      if (send(sv[1], f.data(), f.size(), MSG_NOSIGNAL) <= 0) break;
    }
  });
  unsigned char *frame = nullptr;
  int n = 0, cap = 0;
  for (auto _ : state) receive_block_packet(b, &frame, &n, &cap);
  state.SetBytesProcessed(state.iterations() * (int64_t)f.size());
  stop = true;
  shutdown(sv[0], SHUT_RDWR);
  shutdown(sv[1], SHUT_RDWR);
  feed.join();
  free(frame);
  serialbuf_destroy(b);
  close(sv[1]);
}

// The transport's floor for the row above: the same frames read from a socket pair in
// frame-sized read() calls, with nothing decoded.
void BM_SocketPairReference(benchmark::State &state) {
  int sv[2];
  socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
  Bytes f = altussim::frame(full_strdata());
  std::atomic<bool> stop{false};
  std::thread feed([&] {
    while (!stop) {
      if (send(sv[1], f.data(), f.size(), MSG_NOSIGNAL) <= 0) break;
    }
  });
  std::vector<unsigned char> in(f.size());
  for (auto _ : state) {
    size_t got = 0;
    while (got < in.size()) {
      ssize_t r = read(sv[0], in.data() + got, in.size() - got);
      if (r <= 0) break;
      got += (size_t)r;
    }
  }
  state.SetBytesProcessed(state.iterations() * (int64_t)f.size());
  stop = true;
  shutdown(sv[0], SHUT_RDWR);
  shutdown(sv[1], SHUT_RDWR);
  feed.join();
  close(sv[0]);
  close(sv[1]);
}

}  // namespace

BENCHMARK(BM_Frame);
BENCHMARK(BM_SendBlockCommandPacket);
BENCHMARK(BM_Unstuff);
BENCHMARK(BM_DecodeBlockPacket);
BENCHMARK(BM_Datacrc);
BENCHMARK(BM_DecodeStrdata);
BENCHMARK(BM_ReceiveThroughSerialBuf);
BENCHMARK(BM_SocketPairReference);
BENCHMARK_MAIN();
