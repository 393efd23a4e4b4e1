// Tests of the hook rows of the command table: C1_STAT and its sub-blocks, C1_FLGS,
// C1_GLOB, routing table, memory, EP delays and configuration, ping, the GPS position
// texts and the token area. Payloads come from a small builder that lays the bytes out by
// hand; hostile sizes, offsets and counts must fail without touching the structure.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/pf.h"
#include "base/tbl.h"
#include "q330_pktdefs.h"
#include "testkit/testkit.h"

namespace {

struct B {
  std::vector<uint8_t> b;
  B &u8(unsigned v) {
    b.push_back((uint8_t)v);
    return *this;
  }
  B &u16(unsigned v) { return u8(v >> 8).u8(v); }
  B &u32(uint32_t v) { return u16(v >> 16).u16(v & 0xFFFF); }
  B &pstr(int width, const std::string &s) {
    u8((unsigned)s.size());
    b.insert(b.end(), s.begin(), s.end());
    b.insert(b.end(), (size_t)(width - 1 - (int)s.size()), 0);
    return *this;
  }
  B &fill(size_t n, uint8_t v) {
    b.insert(b.end(), n, v);
    return *this;
  }
  B &add(const std::vector<uint8_t> &more) {
    b.insert(b.end(), more.begin(), more.end());
    return *this;
  }
  int size() const { return (int)b.size(); }
};

std::vector<uint8_t> hexbytes(const std::string &hex) {
  std::vector<uint8_t> out;
  std::string digits;
  for (char c : hex)
    if (isxdigit((unsigned char)c)) digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back((uint8_t)std::stoul(digits.substr(i, 2), nullptr, 16));
  return out;
}

// Decodes `bytes` as `command` into *out; returns the result and the bytes consumed.
template <class T>
int decode(int command, const std::vector<uint8_t> &bytes, T *out, int *used = nullptr) {
  std::vector<uint8_t> copy = bytes;
  copy.push_back(0xEE);  // a guard byte the decoder must not count
  unsigned char *cur = copy.data();
  int r = q330_unstuff_qpkt(command, out, (int)bytes.size(), &cur);
  if (used) *used = (int)(cur - copy.data());
  return r;
}

std::string text_of(int command, void *qstruc, int puthdr = 0) {
  void *stack = nullptr;
  EXPECT_EQ(q330_pfstuff_qpkt(command, &stack, qstruc, puthdr, 1), 0);
  char *joined = popstr(&stack, 1);
  std::string text = joined ? joined : "";
  free(joined);
  return text;
}

// Text form compiled as a parameter file; the caller frees it.
Pf *pf_of(const std::string &text) {
  Pf *pf = nullptr;
  EXPECT_EQ(pfcompile(text.c_str(), &pf), 0) << text;
  return pf;
}

// ---- C1_STAT sub-blocks --------------------------------------------------------------------

std::vector<uint8_t> thread_block(int count, int length, int entries_written) {
  B b;
  b.u16((unsigned)count).u16((unsigned)length).u32(0x01020304).u16(0x0506).u16(0);
  for (int i = 0; i < entries_written; i++)
    b.u32(100u + (unsigned)i).u16(7).u8(3).u8(4).u32(9).u16(10).u16(0x8000u + (unsigned)i);
  if (b.size() < length) b.fill((size_t)(length - b.size()), 0);
  return b.b;
}
std::vector<uint8_t> gpss_block(int count) {
  B b;
  b.u16((unsigned)count).u16((unsigned)(4 + 8 * count));
  for (int i = 0; i < count; i++) b.u16(10u + (unsigned)i).u16(45).u16(180).u16(40);
  return b.b;
}
std::vector<uint8_t> arp_block(int count) {
  B b;
  b.u16((unsigned)count).u16((unsigned)(4 + 12 * count));
  for (int i = 0; i < count; i++)
    b.u32(0x7F000101u + (unsigned)i).u32(0x00A0B0C0).u16(0xD0E0).u16(300);
  return b.b;
}
std::vector<uint8_t> aux_block(int size, int type, int nwords) {
  B b;
  b.u16((unsigned)size).u16(1).u16((unsigned)type).u16(2);
  for (int i = 0; i < nwords; i++) b.u32(1000u + (unsigned)i);
  return b.b;
}
// One serial-sensor sub-block of sensor type 1.
std::vector<uint8_t> schan_sub(int iface, int units, int digits, int size = 32) {
  B b;
  b.u16((unsigned)size).u16(1).u16((unsigned)iface);
  b.u16(5).u16((unsigned)units).u16(6).u16((unsigned)digits).u16(0xF);
  b.u32(101325).u32(2150).u32(455).u32((uint32_t)-1250);
  if (b.size() < size) b.fill((size_t)(size - b.size()), 0);
  return b.b;
}
std::vector<uint8_t> schan_block(const std::vector<std::vector<uint8_t>> &subs, int declared) {
  B body;
  for (const auto &s : subs) body.add(s);
  B b;
  b.u16((unsigned)(4 + body.size())).u16((unsigned)declared).add(body.b);
  return b.b;
}
std::vector<uint8_t> gps_block() {
  B b;
  b.u16(1).u16(1).u16(7).u16(11);
  b.pstr(10, "12:34:56").pstr(12, "01/02/2026").pstr(6, "3D").pstr(12, "123.4M");
  b.pstr(14, "4916.4508N").pstr(14, "12310.1234W").u32(777).u32(3);
  return b.b;
}

struct StatCase {
  const char *what;
  uint32_t bits;
  std::vector<uint8_t> blocks;
  std::function<void(const Q330STATPkt &)> check;
};

std::vector<StatCase> stat_cases() {
  std::vector<StatCase> c;
  c.push_back({"msg", 1u << 31, B().u32(0x7F000001).pstr(80, "hello").b,
               [](const Q330STATPkt &s) { EXPECT_STREQ(s.msg.msg, "hello"); }});
  c.push_back({"glob", 1u << 0, B().u16(0x1234).fill(50, 0).b,
               [](const Q330STATPkt &s) { EXPECT_EQ(s.glob.acquisition_control, 0x1234); }});
  c.push_back({"gps", 1u << 1, gps_block(), [](const Q330STATPkt &s) {
                 EXPECT_EQ(s.gps.number_of_satellites_in_view, 11);
                 EXPECT_STREQ(s.gps.gps_fix_string, "3D");
                 EXPECT_NEAR(s.gps.lat, 49.27418, 1e-9);
                 EXPECT_NEAR(s.gps.lon, -123.168723, 1e-6);
                 EXPECT_DOUBLE_EQ(s.gps.elev, 123.4);
               }});
  c.push_back({"pwr", 1u << 2, B().u16(3).fill(18, 0).b,
               [](const Q330STATPkt &s) { EXPECT_EQ(s.pwr.charging_phase, 3); }});
  c.push_back({"boom", 1u << 3, B().u16(0xFFFE).fill(26, 0).u32(99).b, [](const Q330STATPkt &s) {
                 EXPECT_EQ(s.boom.channel_boom[0], -2);
                 EXPECT_EQ(s.boom.slave_processor_timeouts, 99u);
               }});
  c.push_back({"thread", 1u << 4, thread_block(2, 12 + 32 + 8, 2), [](const Q330STATPkt &s) {
                 EXPECT_EQ(s.thread.number_of_entries, 2);
                 EXPECT_EQ(s.thread.total_system_time_lo16, 0x0506);
                 EXPECT_EQ(s.thread.entries[1].flags, 0x8001);
                 EXPECT_EQ(s.thread.entries[1].priority_counter, 4);
               }});
  c.push_back({"pll", 1u << 5, B().fill(20, 0).u32(5).u16(1).u16(2).b,
               [](const Q330STATPkt &s) { EXPECT_EQ(s.pll.state, 2); }});
  c.push_back({"gpss", 1u << 6, gpss_block(3), [](const Q330STATPkt &s) {
                 EXPECT_EQ(s.gpss.number_of_entries, 3);
                 EXPECT_EQ(s.gpss.entries[2].satellite_number, 12);
               }});
  c.push_back({"arp", 1u << 7, arp_block(2), [](const Q330STATPkt &s) {
                 EXPECT_EQ(s.arp.entries[1].ip_address, 0x7F000102u);
                 EXPECT_EQ(s.arp.entries[1].mac_address_low, 0xD0E0);
               }});
  for (int i = 0; i < 4; i++)
    c.push_back(
        {"log", 1u << (8 + i), B().u32(50u + (unsigned)i).fill(28, 0).b, [i](const Q330STATPkt &s) {
           EXPECT_EQ(s.log[i].total_data_packets_sent, 50u + (unsigned)i);
         }});
  for (int i = 0; i < 3; i++)
    c.push_back({"serial", 1u << (12 + i), B().u32(60u + (unsigned)i).fill(32, 0).b,
                 [i](const Q330STATPkt &s) {
                   EXPECT_EQ(s.serial[i].received_checksum_errors, 60u + (unsigned)i);
                 }});
  c.push_back({"eth", 1u << 15, B().fill(68, 0).u16(1).u16(0).u32(0).b,
               [](const Q330STATPkt &s) { EXPECT_EQ(s.eth.current_link_status, 1); }});
  {
    B b;
    for (int i = 0; i < 4; i++) b.u32(70u + (unsigned)i).fill(8, 0);
    c.push_back({"baler", 1u << 16, b.b, [](const Q330STATPkt &s) {
                   for (int i = 0; i < 4; i++)
                     EXPECT_EQ(s.baler[i].time_of_last_power_on, 70u + (unsigned)i);
                 }});
  }
  c.push_back({"dynip", 1u << 17, B().u32(1).u32(2).u32(3).u32(0x7F000004).b,
               [](const Q330STATPkt &s) { EXPECT_EQ(s.dynip.ethernet_ip_address, 0x7F000004u); }});
  c.push_back({"aux", 1u << 18, aux_block(16, 32, 2), [](const Q330STATPkt &s) {
                 EXPECT_EQ(s.aux.aux_type, 32);
                 EXPECT_EQ(s.aux.data[1], 1001u);
               }});
  c.push_back({"schan", 1u << 19, schan_block({schan_sub(0, 1, 2)}, 1), [](const Q330STATPkt &s) {
                 EXPECT_EQ(s.schan.filled[0], 1);
                 EXPECT_EQ(s.schan.subblock[0].pressure_measurement, 101325);
               }});
  return c;
}

TEST(StatHooks, EachBitDecodesItsSubBlockAlone) {
  for (const StatCase &sc : stat_cases()) {
    SCOPED_TRACE(sc.what);
    std::vector<uint8_t> payload = B().u32(sc.bits).add(sc.blocks).b;
    auto s = std::make_unique<Q330STATPkt>();
    std::memset(s.get(), 0, sizeof *s);
    int used = 0;
    ASSERT_EQ(decode(0xA9, payload, s.get(), &used), 0);
    EXPECT_EQ(used, (int)payload.size());
    EXPECT_EQ(s->status_bitmap, sc.bits);
    sc.check(*s);
    // Shorter by one byte: the sub-block no longer fits, nothing is stored.
    std::memset(s.get(), 0, sizeof *s);
    payload.pop_back();
    EXPECT_EQ(decode(0xA9, payload, s.get()), -1);
    EXPECT_EQ(s->status_bitmap, 0u);
  }
}

TEST(StatHooks, CombinationsDecodeInBitmapOrder) {
  // Bits 31 and 0: the message block comes first on the wire.
  std::vector<uint8_t> payload =
      B().u32(0x80000001u).u32(0x7F000001).pstr(80, "first").u16(0x4242).fill(50, 0).b;
  auto s = std::make_unique<Q330STATPkt>();
  std::memset(s.get(), 0, sizeof *s);
  ASSERT_EQ(decode(0xA9, payload, s.get()), 0);
  EXPECT_STREQ(s->msg.msg, "first");
  EXPECT_EQ(s->glob.acquisition_control, 0x4242);

  // Every bit at once: the blocks in their order, all of them consumed.
  B all;
  uint32_t bits = 0;
  std::vector<StatCase> cases = stat_cases();
  for (const StatCase &sc : cases) bits |= sc.bits;
  all.u32(bits).add(cases[0].blocks);  // msg first
  for (size_t i = 1; i < cases.size(); i++) all.add(cases[i].blocks);
  std::memset(s.get(), 0, sizeof *s);
  int used = 0;
  ASSERT_EQ(decode(0xA9, all.b, s.get(), &used), 0);
  EXPECT_EQ(used, all.size());
  for (const StatCase &sc : cases) sc.check(*s);
  // The text hook writes nothing; the sub-blocks print through their own rows.
  EXPECT_EQ(text_of(0xA9, s.get(), 1), "stat &Arr{\n}\n");
}

TEST(StatHooks, AbsentSubBlocksKeepTheCallersValues) {
  auto s = std::make_unique<Q330STATPkt>();
  std::memset(s.get(), 0, sizeof *s);
  s->pwr.battery_voltage = 135;
  std::vector<uint8_t> payload = B().u32(1u << 15).fill(68, 0).u16(1).u16(0).u32(0).b;
  ASSERT_EQ(decode(0xA9, payload, s.get()), 0);
  EXPECT_EQ(s->pwr.battery_voltage, 135);
}

TEST(StatHooks, HostileBlocksFailAndLeaveTheStructure) {
  struct {
    const char *what;
    uint32_t bits;
    std::vector<uint8_t> block;
  } cases[] = {
      {"thread count 200 in a short block", 1u << 4, thread_block(200, 12 + 32, 2)},
      {"thread length past the payload", 1u << 4, B().u16(1).u16(400).fill(24, 0).b},
      {"thread length shorter than its head", 1u << 4, thread_block(0, 4, 0)},
      {"gpss count beyond its length", 1u << 6, B().u16(5).u16(12).u16(1).u16(2).u16(3).u16(4).b},
      {"arp length past the payload", 1u << 7, B().u16(1).u16(900).fill(12, 0).b},
      {"aux size 4", 1u << 18, aux_block(4, 32, 0)},
      {"aux size past the payload", 1u << 18, aux_block(40, 32, 2)},
      {"schan total past the payload", 1u << 19, B().u16(100).u16(1).fill(10, 0).b},
      {"schan sub-block past its block", 1u << 19, schan_block({schan_sub(0, 1, 2, 60)}, 1)},
      {"schan sensor block too small for type 1", 1u << 19,
       schan_block({schan_sub(0, 1, 2, 20)}, 1)},
      {"schan sub-block size 0", 1u << 19, schan_block({B().u16(0).u16(1).u16(0).b}, 1)},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> payload = B().u32(c.bits).add(c.block).b;
    if (std::string(c.what) == "schan sub-block past its block") {
      // the sub-block claims 60 bytes, its block holds 36: keep the payload honest
      payload = B().u32(c.bits).u16(36).u16(1).add(schan_sub(0, 1, 2, 60)).b;
    }
    auto s = std::make_unique<Q330STATPkt>();
    std::memset(s.get(), 0x5A, sizeof *s);
    auto before = std::make_unique<Q330STATPkt>(*s);
    EXPECT_EQ(decode(0xA9, payload, s.get()), -1);
    EXPECT_EQ(std::memcmp(s.get(), before.get(), sizeof *s), 0);
  }
}

TEST(StatHooks, CountsAreClampedToTheStructure) {
  // 35 threads in a block long enough for them: 30 kept, the cursor goes to the end.
  std::vector<uint8_t> block = thread_block(35, 12 + 35 * 16, 35);
  Q330THREADSTATPkt t{};
  int used = 0;
  ASSERT_EQ(decode(0x107, block, &t, &used), 0);
  EXPECT_EQ(t.number_of_entries, 30);
  EXPECT_EQ(used, 12 + 35 * 16);
  EXPECT_EQ(t.entries[29].flags, 0x8000 + 29);
  // Aux words beyond 8 are skipped; other aux types read no words.
  Q330AUXSTATPkt a{};
  ASSERT_EQ(decode(0x110, aux_block(8 + 4 * 10, 32, 10), &a, &used), 0);
  EXPECT_EQ(used, 48);
  EXPECT_EQ(a.data[7], 1007u);
  Q330AUXSTATPkt other{};
  ASSERT_EQ(decode(0x110, aux_block(16, 7, 2), &other, &used), 0);
  EXPECT_EQ(used, 16);
  EXPECT_EQ(other.data[0], 0u);
  Pf *pf = pf_of(text_of(0x110, &other));
  Tbl *data = pfget_tbl(pf, "data");
  EXPECT_EQ(maxtbl(data), 0);
  freetbl(data, nullptr);
  pffree(pf);
}

TEST(StatHooks, SerialSensorSlotsAndScaling) {
  // Interface 1 first, then an interface that selects no slot, then interface 0.
  std::vector<uint8_t> block =
      schan_block({schan_sub(1, 1, 2), B().u16(8).u16(1).u16(5).u16(0).b}, 2);
  Q330SCHANSTATPkt s{};
  int used = 0;
  ASSERT_EQ(decode(0x111, block, &s, &used), 0);
  EXPECT_EQ(used, (int)block.size());
  EXPECT_EQ(s.filled[0], 0);
  EXPECT_EQ(s.filled[1], 1);
  const Q330SCHANSTATSubblock &b = s.subblock[1];
  EXPECT_NEAR(b.calibP, 0.68948, 1e-12);
  EXPECT_NEAR(b.calibT, 0.01, 1e-15);
  EXPECT_DOUBLE_EQ(b.calibH, 0.1);
  EXPECT_DOUBLE_EQ(b.calibET, 0.01);
  EXPECT_STREQ(b.segtypeP, "P");
  EXPECT_STREQ(b.segtypeT, "t");
  EXPECT_STREQ(b.segtypeH, "p");
  EXPECT_STREQ(b.segtypeET, "t");
  EXPECT_EQ(b.external_temperature_measurement, -1250);
  // Only the filled slot prints.
  Pf *pf = pf_of(text_of(0x111, &s));
  Tbl *schan = pfget_tbl(pf, "schan");
  ASSERT_EQ(maxtbl(schan), 1);
  Pf *entry = (Pf *)gettbl(schan, 0);
  EXPECT_STREQ(pfget_string(entry, "serial_interface"), "1");
  EXPECT_STREQ(pfget_string(entry, "calibP"), "0.689480");
  EXPECT_STREQ(pfget_string(entry, "segtypeP"), "P");
  freetbl(schan, nullptr);
  pffree(pf);

  struct {
    int units;
    double factor;
    const char *segtype;
  } units[] = {{1, 68.948, "P"}, {2, 1.0, "P"},   {3, 1000.0, "P"}, {4, 1.0, "K"},
               {5, 1000.0, "K"}, {6, 33.85, "P"}, {7, 1.3328, "P"}, {8, 97.99, "P"},
               {0, 1.0, "-"},    {9, 1.0, "-"}};
  for (auto u : units) {
    Q330SCHANSTATPkt x{};
    ASSERT_EQ(decode(0x111, schan_block({schan_sub(0, u.units, 0)}, 1), &x), 0);
    EXPECT_DOUBLE_EQ(x.subblock[0].calibP, u.factor) << u.units;
    EXPECT_STREQ(x.subblock[0].segtypeP, u.segtype) << u.units;
  }
}

TEST(StatHooks, ListTextForms) {
  Q330THREADSTATPkt t{};
  ASSERT_EQ(decode(0x107, thread_block(2, 44, 2), &t), 0);
  Pf *pf = pf_of(text_of(0x107, &t, 1));
  Pf *thread = nullptr;
  ASSERT_EQ(pfget(pf, "thread", (void **)&thread), PFARR);
  EXPECT_STREQ(pfget_string(thread, "total_system_time_hi32"), "16909060");
  Tbl *threads = pfget_tbl(thread, "threads");
  ASSERT_EQ(maxtbl(threads), 2);
  EXPECT_STREQ(pfget_string((Pf *)gettbl(threads, 1), "flags"), "32769");
  EXPECT_STREQ(pfget_string((Pf *)gettbl(threads, 1), "total_running_time_hi32"), "101");
  freetbl(threads, nullptr);
  pffree(pf);

  Q330ARPSTATPkt a{};
  ASSERT_EQ(decode(0x10A, arp_block(1), &a), 0);
  pf = pf_of(text_of(0x10A, &a));
  Tbl *arp = pfget_tbl(pf, "arp");
  ASSERT_EQ(maxtbl(arp), 1);
  Pf *e = (Pf *)gettbl(arp, 0);
  EXPECT_STREQ(pfget_string(e, "ip_address"), "127.0.1.1");
  EXPECT_STREQ(pfget_string(e, "mac_address_high"), "00A0B0C0");
  EXPECT_STREQ(pfget_string(e, "mac_address_low"), "D0E0");
  freetbl(arp, nullptr);
  pffree(pf);

  Q330GPSSSTATPkt g{};
  ASSERT_EQ(decode(0x109, gpss_block(2), &g), 0);
  pf = pf_of(text_of(0x109, &g));
  Tbl *gpss = pfget_tbl(pf, "gpss");
  ASSERT_EQ(maxtbl(gpss), 2);
  EXPECT_STREQ(pfget_string((Pf *)gettbl(gpss, 1), "satellite_number"), "11");
  freetbl(gpss, nullptr);
  pffree(pf);

  Q330GPSSTATPkt gps{};
  ASSERT_EQ(decode(0x104, gps_block(), &gps), 0);
  pf = pf_of(text_of(0x104, &gps));
  EXPECT_STREQ(pfget_string(pf, "gps_latitude_string"), "4916.4508N");
  EXPECT_STREQ(pfget_string(pf, "lat"), "49.274180");
  EXPECT_STREQ(pfget_string(pf, "lon"), "-123.168723");
  EXPECT_STREQ(pfget_string(pf, "elev"), "123.400000");
  pffree(pf);
}

TEST(PositionText, LatitudeLongitudeAndHeight) {
  struct {
    const char *text;
    double value;
  } latlon[] = {
      {"4916.4508N", 49.27418},
      {"4916.4508S", -49.27418},
      {"12310.1234W", -123.168723333},
      {"12310.1234E", 123.168723333},
      {"12310.1234X", -999.0},
      {"4916N", -999.0},
      {"16.4508N", 16.4508 / 60},
      {"ab16.45N", -999.0},
      {"xx.yyyN", -999.0},
      {"N", -999.0},
      {"", -999.0},
  };
  for (auto c : latlon) {
    double v = 0;
    EXPECT_EQ(unstuff_latlon(&v, c.text), 0);
    EXPECT_NEAR(v, c.value, 1e-6) << c.text;
  }
  struct {
    const char *text;
    double value;
  } elev[] = {{"123.4M", 123.4}, {"-12.5M", -12.5}, {"5M", -999.0},
              {"123.4", -999.0}, {"abcM", -999.0},  {"", -999.0}};
  for (auto c : elev) {
    double v = 0;
    EXPECT_EQ(unstuff_elev(&v, c.text), 0);
    EXPECT_DOUBLE_EQ(v, c.value) << c.text;
  }
}

// ---- C1_FLGS and C1_GLOB ---------------------------------------------------------------------

std::vector<uint8_t> glob_bytes() {
  B b;
  for (unsigned i = 0; i < 16; i++) b.u16(100 + i);
  b.u32(0xCAFEF00D);
  for (unsigned ch = 0; ch < 6; ch++)
    for (unsigned k = 0; k < 8; k++) b.u16(ch * 10 + k);  // wire: highest index first
  for (unsigned i = 0; i < 6; i++) b.u16(200 + i);
  for (unsigned i = 0; i < 6; i++) b.u16(300 + i);
  b.u32(0x0F0F);
  return b.b;
}

TEST(FlgsGlob, GlobScalesArriveHighestIndexFirst) {
  std::vector<uint8_t> bytes = glob_bytes();
  ASSERT_EQ(bytes.size(), 160u);
  Q330GLOBPkt g{};
  int used = 0;
  ASSERT_EQ(decode(0xA6, bytes, &g, &used), 0);
  EXPECT_EQ(used, 160);
  EXPECT_EQ(g.clock_timeout, 100);
  EXPECT_EQ(g.gps_coldstart_seconds, 115);
  EXPECT_EQ(g.user_tag, 0xCAFEF00Du);
  EXPECT_EQ(g.chan_freq_bit_scale[0][7], 0);
  EXPECT_EQ(g.chan_freq_bit_scale[0][0], 7);
  EXPECT_EQ(g.chan_freq_bit_scale[5][7], 50);
  EXPECT_EQ(g.channel_gain[5], 305);
  EXPECT_EQ(g.message_bitmap, 0x0F0Fu);
  std::string text = text_of(0xA6, &g, 1);
  EXPECT_NE(text.find("chan_freq_bit_scale &Tbl{\n0 1 2 3 4 5 6 7\n10 11"), std::string::npos);
  Pf *pf = pf_of(text);
  Pf *glob = nullptr;
  ASSERT_EQ(pfget(pf, "glob", (void **)&glob), PFARR);
  EXPECT_STREQ(pfget_string(glob, "web_port"), "107");
  EXPECT_STREQ(pfget_string(glob, "message_bitmap"), "3855");
  Tbl *gain = pfget_tbl(glob, "channel_gain");
  ASSERT_EQ(maxtbl(gain), 6);
  EXPECT_STREQ((char *)gettbl(gain, 5), "305");
  freetbl(gain, nullptr);
  pffree(pf);
  // Short: refused.
  bytes.pop_back();
  Q330GLOBPkt keep{};
  EXPECT_EQ(decode(0xA6, bytes, &keep), -1);
  EXPECT_EQ(keep.clock_timeout, 0);
}

std::vector<uint8_t> flgs_payload(int off_glob, int off_sc, int off_log, int total) {
  std::vector<uint8_t> p((size_t)total, 0);
  B head;
  head.u16((unsigned)off_glob).u16((unsigned)off_sc).u16((unsigned)off_log).u16(0);
  std::copy(head.b.begin(), head.b.end(), p.begin());
  p[8] = 0x11;  // FIX time_of_last_reboot high byte
  std::vector<uint8_t> g = glob_bytes();
  if (off_glob + 160 <= total) std::copy(g.begin(), g.end(), p.begin() + off_glob);
  if (off_sc + 4 <= total) p[(size_t)off_sc + 3] = 0x33;      // sensor_output_1_definition
  if (off_log + 18 <= total) p[(size_t)off_log + 17] = 0x40;  // window_size
  return p;
}

TEST(FlgsGlob, FlgsDecodesItsFourBlocksAtTheirOffsets) {
  std::vector<uint8_t> p = flgs_payload(196, 356, 388, 440);
  auto f = std::make_unique<Q330FLGSPkt>();
  std::memset(f.get(), 0, sizeof *f);
  int used = 0;
  ASSERT_EQ(decode(0xB1, p, f.get(), &used), 0);
  EXPECT_EQ(used, 440);
  EXPECT_EQ(f->offset_to_sc, 356);
  EXPECT_EQ(f->fix.time_of_last_reboot, 0x11000000u);
  EXPECT_EQ(f->glob.user_tag, 0xCAFEF00Du);
  EXPECT_EQ(f->sc.sensor_output_1_definition, 0x33u);
  EXPECT_EQ(f->log.window_size, 0x40);
  EXPECT_EQ(text_of(0xB1, f.get(), 1), "flgs &Arr{\n}\n");

  // Blocks in another order: the cursor still ends after the LOG block.
  p = flgs_payload(280, 440, 200, 472);
  ASSERT_EQ(decode(0xB1, p, f.get(), &used), 0);
  EXPECT_EQ(used, 252);
}

TEST(FlgsGlob, FlgsOffsetsOutsideThePayloadFail) {
  struct {
    const char *what;
    int glob, sc, log, total;
  } cases[] = {
      {"log past the payload", 196, 356, 400, 440},
      {"glob past the payload", 300, 356, 388, 440},
      {"offset inside the head", 196, 4, 388, 440},
      {"offset far beyond", 60000, 356, 388, 440},
      {"payload shorter than head and FIX", 196, 356, 388, 100},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> p = flgs_payload(c.glob, c.sc, c.log, c.total);
    auto f = std::make_unique<Q330FLGSPkt>();
    std::memset(f.get(), 0x5A, sizeof *f);
    auto before = std::make_unique<Q330FLGSPkt>(*f);
    EXPECT_EQ(decode(0xB1, p, f.get()), -1);
    EXPECT_EQ(std::memcmp(f.get(), before.get(), sizeof *f), 0);
  }
}

// ---- Routing table, memory, EP blocks, ping ---------------------------------------------------

TEST(OtherHooks, RoutingTable) {
  B b;
  b.u32(0x7F000001).u16(1).u16(2).u32(30).u32(0x7F000002).u16(3).u16(4).u32(60);
  Q330RTPkt rt;
  std::memset(&rt, 0x5A, sizeof rt);
  int used = 0;
  ASSERT_EQ(decode(0xAA, b.b, &rt, &used), 0);
  EXPECT_EQ(rt.nentries, 2);
  EXPECT_EQ(used, 24);
  EXPECT_EQ(rt.entries[1].data_port, 4);
  EXPECT_EQ(rt.entries[2].ip_address, 0u);  // zeroed
  b.u8(9);                                  // a stray byte: no third entry
  ASSERT_EQ(decode(0xAA, b.b, &rt, &used), 0);
  EXPECT_EQ(rt.nentries, 2);
  EXPECT_EQ(used, 24);
  // At most 40 entries.
  std::vector<uint8_t> many(12 * 45, 1);
  ASSERT_EQ(decode(0xAA, many, &rt, &used), 0);
  EXPECT_EQ(rt.nentries, 40);
  EXPECT_EQ(used, 480);
  Pf *pf = pf_of(text_of(0xAA, &rt, 1));
  Pf *arr = nullptr;
  ASSERT_EQ(pfget(pf, "rt", (void **)&arr), PFARR);
  Tbl *list = pfget_tbl(arr, "rt");
  EXPECT_EQ(maxtbl(list), 40);
  EXPECT_STREQ(pfget_string((Pf *)gettbl(list, 0), "ip_address"), "1.1.1.1");
  freetbl(list, nullptr);
  pffree(pf);
}

TEST(OtherHooks, MemoryKeepsTheBytesPresent) {
  B b;
  b.u32(0x1000).u16(100).u16(3).u16(2).u16(5);
  for (int i = 0; i < 16; i++) b.u8(0xA0 + i);
  auto m = std::make_unique<Q330MEMPkt>();
  int used = 0;
  ASSERT_EQ(decode(0xB8, b.b, m.get(), &used), 0);
  EXPECT_EQ(m->byte_count, 20);  // claimed 100, 20 present
  EXPECT_EQ(used, 28);
  EXPECT_EQ(m->isegment, 2);
  EXPECT_EQ(m->nsegment, 5);
  EXPECT_EQ(m->contents[19], 0xAF);
  EXPECT_EQ(m->contents[20], 0);
  std::string text = text_of(0xB8, m.get());
  EXPECT_NE(text.find("mem_3_2 &Arr{\n"), std::string::npos);
  EXPECT_NE(text.find("contents &Tbl{\n0002 0005 a0a1"), std::string::npos);
  Pf *pf = pf_of(text);
  pffree(pf);
  // A head alone is refused when short.
  EXPECT_EQ(decode(0xB8, std::vector<uint8_t>(7, 0), m.get()), -1);
}

TEST(OtherHooks, EpDelaysAndConfiguration) {
  B d;
  d.u32(1).u32(2).u16(2).u16(0).u32(0x05000123u).u32(0x07FFFFFFu);
  auto epd = std::make_unique<Q330C2EPDPkt>();
  int used = 0;
  ASSERT_EQ(decode(0xD0, d.b, epd.get(), &used), 0);
  EXPECT_EQ(used, 20);
  EXPECT_EQ(epd->entries[0].channel, 5);
  EXPECT_EQ(epd->entries[0].filter_delay, 0x123u);
  EXPECT_EQ(epd->entries[1].filter_delay, 0xFFFFFFu);
  Pf *pf = pf_of(text_of(0xD0, epd.get()));
  EXPECT_STREQ(pfget_string(pf, "channel_count"), "2");
  Pf *channels = nullptr;
  ASSERT_EQ(pfget(pf, "channels", (void **)&channels), PFARR);
  Pf *ch7 = nullptr;
  ASSERT_EQ(pfget(channels, "7", (void **)&ch7), PFARR);
  EXPECT_STREQ(pfget_string(ch7, "filter_delay"), "16777215");
  pffree(pf);
  // A count the payload cannot hold fails; 200 held entries are clamped to 128.
  B short_d;
  short_d.u32(1).u32(2).u16(3).u16(0).u32(0);
  EXPECT_EQ(decode(0xD0, short_d.b, epd.get()), -1);
  B big;
  big.u32(1).u32(2).u16(200).u16(0).fill(800, 1);
  ASSERT_EQ(decode(0xD0, big.b, epd.get(), &used), 0);
  EXPECT_EQ(epd->channel_count, 128);
  EXPECT_EQ(used, 12 + 512);

  // EP configuration: encode with a count above 128 sends 128 entries; decode reads back.
  auto cfg = std::make_unique<Q330C2EPCFGPkt>();
  std::memset(cfg.get(), 0, sizeof *cfg);
  cfg->flags_serial_2 = 0x01020304;
  cfg->channel_count = 300;
  for (int i = 0; i < 128; i++) cfg->entries[i] = {(uint8_t)i, (uint8_t)(255 - i)};
  std::vector<uint8_t> out(1024, 0xCC);
  unsigned char *w = out.data();
  ASSERT_EQ(q330_stuff_qpkt(0x72, &w, cfg.get()), 0);
  ASSERT_EQ(w - out.data(), 20 + 256);
  EXPECT_EQ(out[16], 0);
  EXPECT_EQ(out[17], 128);
  EXPECT_EQ(out[20 + 2 * 127 + 1], 128);
  out.resize(276);
  auto back = std::make_unique<Q330C2EPCFGPkt>();
  ASSERT_EQ(decode(0xD1, out, back.get(), &used), 0);
  EXPECT_EQ(used, 276);
  EXPECT_EQ(back->flags_serial_2, 0x01020304u);
  EXPECT_EQ(back->channel_count, 128);
  EXPECT_EQ(back->entries[127].output_mask, 128);
  pf = pf_of(text_of(0xD1, back.get()));
  Pf *cc = nullptr;
  ASSERT_EQ(pfget(pf, "channels", (void **)&cc), PFARR);
  Pf *c3 = nullptr;
  ASSERT_EQ(pfget(cc, "3", (void **)&c3), PFARR);
  EXPECT_STREQ(pfget_string(c3, "output_mask"), "252");
  pffree(pf);
  out.resize(275);
  EXPECT_EQ(decode(0xD1, out, back.get()), -1);
}

TEST(OtherHooks, Ping) {
  std::vector<uint8_t> out(64, 0xCC);
  unsigned char *w = out.data();
  Q330PINGPINGPkt ping{0, 0x1234, 0xA1B2C3D4u};
  ASSERT_EQ(q330_stuff_qpkt(0x38, &w, &ping), 0);
  ASSERT_EQ(w - out.data(), 8);
  EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + 8),
            (std::vector<uint8_t>{0, 0, 0x12, 0x34, 0xA1, 0xB2, 0xC3, 0xD4}));
  Q330PINGINFORQPkt info{4, 9};
  w = out.data();
  ASSERT_EQ(q330_stuff_qpkt(0x38, &w, &info), 0);
  EXPECT_EQ(w - out.data(), 4);
  Q330PINGSTATRQPkt statrq{2, 0, 0};
  w = out.data();
  ASSERT_EQ(q330_stuff_qpkt(0x38, &w, &statrq), 0);
  EXPECT_EQ(w, out.data());
  Q330PINGPINGPkt bad{7, 0, 0};
  EXPECT_EQ(q330_stuff_qpkt(0x38, &w, &bad), -1);
  EXPECT_NE(take_registered().find("q330_encode_PING: Bad ping type '7'."), std::string::npos);

  Q330PINGPINGPkt answer{};
  ASSERT_EQ(decode(0x38, B().u16(1).u16(0x55).u32(0x66).b, &answer), 0);
  EXPECT_EQ(answer.type, 1);
  EXPECT_EQ(answer.id, 0x55);
  EXPECT_EQ(answer.data, 0x66u);
  Q330PINGINFORSPkt rs{};
  B five;
  five.u16(5).u16(0).u16(3).u16(4);
  for (unsigned i = 0; i < 11; i++) five.u32(i + 1);
  for (unsigned i = 0; i < 9; i++) five.u16(i + 20);
  int used = 0;
  ASSERT_EQ(decode(0x38, five.b, &rs, &used), 0);
  EXPECT_EQ(used, 70);
  EXPECT_EQ(rs.version, 3);
  EXPECT_EQ(rs.ethernet_interface_memory_trigger_level, 11u);
  EXPECT_EQ(rs.calibration_error_bitmap, 28);
  five.b.pop_back();
  EXPECT_EQ(decode(0x38, five.b, &rs), -1);
  ASSERT_EQ(decode(0x38, B().u16(3).b, &rs), 0);
  EXPECT_EQ(decode(0x38, B().u16(9).b, &rs), -1);
  EXPECT_NE(take_registered().find("q330_decode_PING: Bad ping type '9'."), std::string::npos);
  EXPECT_EQ(text_of(0x38, &rs, 1), "ping &Arr{\n}\n");
}

// ---- Token area ---------------------------------------------------------------------------------

struct Tokens {
  Qtpb14Tokens t{};
  ~Tokens() { q330_free_qtpb14_tokens(&t); }
  void parse(const std::string &hex) {
    std::vector<uint8_t> b = hexbytes(hex);
    ASSERT_EQ(
        q330_unstuff_qtpb14_tokens(&t, reinterpret_cast<const char *>(b.data()), (int)b.size()), 0);
  }
  long nchan() const { return t.channels ? maxtbl(t.channels) : -1; }
  Qtpb14ChannelTokens *chan(long i) const { return (Qtpb14ChannelTokens *)gettbl(t.channels, i); }
};

// A logical-channel-queue token with a one-byte length: loc, chan, lcqref, channel,
// stream, options, rate, then `extra` bytes.
std::string lcq(const char *loc, const char *chan, int rate, int extra = 0) {
  B b;
  b.u8(0x80).u8((unsigned)(1 + 14 + extra));
  for (int i = 0; i < 2; i++) b.u8((unsigned char)loc[i]);
  for (int i = 0; i < 3; i++) b.u8((unsigned char)chan[i]);
  b.u8(7).u8(2).u8(1).u32(0x10).u16((unsigned)(rate & 0xFFFF)).fill((size_t)extra, 0x99);
  std::string hex;
  char two[3];
  for (uint8_t c : b.b) {
    snprintf(two, sizeof two, "%02x", c);
    hex += two;
  }
  return hex;
}

TEST(TokenArea, FixedTokensAndFiller) {
  Tokens k;
  k.parse("00 01 05");
  EXPECT_EQ(k.t.version, 5);
  EXPECT_EQ(k.nchan(), 0);
  // Network and station (blank-padded), log and timing ids, web port, dropped tokens.
  k.parse(
      "02 4e 5a 57 45 4c 20 20  07 20 20 4c 4f 47 30 30 41 43 45  05 00 50"
      "  03 12 34  00 00  09 43 21  08 20 20 43 46 47 01 00 0a");
  EXPECT_STREQ(k.t.net, "NZ");
  EXPECT_STREQ(k.t.sta, "WEL");
  EXPECT_STREQ(k.t.msg_loc, "");
  EXPECT_STREQ(k.t.msg_chan, "LOG");
  EXPECT_STREQ(k.t.timing_loc, "00");
  EXPECT_STREQ(k.t.timing_chan, "ACE");
  EXPECT_STREQ(k.t.cfg_chan, "CFG");
  EXPECT_EQ(k.t.web_port, 80);
  EXPECT_EQ(k.t.version, 0);  // the set was replaced
}

TEST(TokenArea, EmptyAndLongTokens) {
  Tokens k;
  // 0x80 with length 1 and 0xC0 with length 2: empty bodies, skipped past the length.
  k.parse("80 01  c0 00 02  01 09  " + lcq("00", "BHZ", -10) + lcq("  ", "HHN", 100, 6) + "01 07");
  EXPECT_EQ(k.t.version, 7);
  ASSERT_EQ(k.nchan(), 2);
  EXPECT_STREQ(k.chan(0)->qtpb14_loc, "00");
  EXPECT_STREQ(k.chan(0)->qtpb14_chan, "BHZ");
  EXPECT_EQ(k.chan(0)->rate, -10);
  EXPECT_EQ(k.chan(0)->lcqref, 7);
  EXPECT_EQ(k.chan(0)->options, 0x10u);
  EXPECT_STREQ(k.chan(1)->qtpb14_loc, "");
  EXPECT_EQ(k.chan(1)->rate, 100);
  // A two-byte-length token (an id without a definition) is skipped by its length.
  k.parse("c1 00 06 01 02 03 04  01 06");
  EXPECT_EQ(k.nchan(), 0);
  EXPECT_EQ(k.t.version, 6);
}

TEST(TokenArea, BadTokensAreDroppedAndTheWalkGoesOn) {
  ElogCapture capture;
  Tokens k;
  // An unknown id with a length is skipped by its length; an unknown short id uses no
  // bytes; a token running past the area ends the walk.
  k.parse("81 03 aa bb  01 04  7f  05 00 51");
  EXPECT_EQ(k.t.version, 4);
  EXPECT_EQ(k.t.web_port, 81);
  EXPECT_EQ(take_registered(), "");
  k.parse("01 02  80 20 30 30 42 48 5a");
  EXPECT_EQ(k.t.version, 2);
  EXPECT_EQ(k.nchan(), 0);
  // A channel token whose length is shorter than its fields reads only its body.
  k.parse("80 06 30 30 42 48 5a  01 03");
  ASSERT_EQ(k.nchan(), 1);
  EXPECT_STREQ(k.chan(0)->qtpb14_chan, "BHZ");
  EXPECT_EQ(k.chan(0)->lcqref, 0);
  EXPECT_EQ(k.t.version, 3);
  // A fixed token cut by the end of the area.
  k.parse("01 01  05 00");
  EXPECT_EQ(k.t.version, 1);
  EXPECT_EQ(k.t.web_port, 0);
}

TEST(TokenArea, TextForms) {
  Tokens k;
  k.parse("02 4e 5a 57 45 4c 20 20 01 09 " + lcq("10", "BHZ", 40) + lcq("  ", "HHN", -2));
  snprintf(k.chan(0)->q330_netstachanloc, 32, "NZ_WEL_BHZ_10");
  void *stack = nullptr;
  ASSERT_EQ(q330_pfstuff_qtpb14_tokens(2, &stack, &k.t), 0);
  char *joined = popstr(&stack, 1);
  std::string text = joined;
  free(joined);
  EXPECT_NE(text.find("2 &Arr{\nversion 9\nnet NZ\nsta WEL\n"), std::string::npos);
  EXPECT_NE(text.find("channels &Tbl{\nNZ_WEL_BHZ_10 NZ_WEL_BHZ_10 7 2 1 16 40\n"),
            std::string::npos);
  EXPECT_NE(text.find("NZ_WEL_HHN  7 2 1 16 -2\n}\n}\n"), std::string::npos);
  Pf *pf = pf_of(text);
  pffree(pf);

  std::vector<uint8_t> raw;
  for (int i = 0; i < 35; i++) raw.push_back((uint8_t)i);
  stack = nullptr;
  ASSERT_EQ(q330_pfstuff_tokens(&stack, 3, raw.data(), (int)raw.size()), 0);
  joined = popstr(&stack, 1);
  text = joined;
  free(joined);
  EXPECT_EQ(text.rfind("tokens_3 &Tbl{\n0001 0203 0405", 0), 0u);
  EXPECT_NE(text.find("1e1f\n2021 22\n}\n"), std::string::npos);
}

}  // namespace
