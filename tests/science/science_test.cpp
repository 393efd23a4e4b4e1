// The science layer: positions on the sphere, travel times, regions, responses and the
// name mapping.
#include "science/science.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>

#include "reldb/db.h"
#include "testkit/testkit.h"

namespace {

constexpr double kPi = 3.141592653589793;
double rad(double d) { return d * kPi / 180.0; }

struct Point {
  double lat, lon;  // degrees
};

const Point kPairs[][2] = {
    {{0, 0}, {0, 90}},        {{42.6, 74.5}, {-10.5, 20.25}}, {{89, 10}, {-89, -170}},
    {{10, 179}, {-10, -179}}, {{-33.9, 18.4}, {35.7, 139.7}}, {{1, 1}, {1.0001, 1.0001}},
};

TEST(Science, DistanceIsSymmetricAndKnown) {
  for (const auto &p : kPairs) {
    double d1, a1, d2, a2;
    dist(rad(p[0].lat), rad(p[0].lon), rad(p[1].lat), rad(p[1].lon), &d1, &a1);
    dist(rad(p[1].lat), rad(p[1].lon), rad(p[0].lat), rad(p[0].lon), &d2, &a2);
    EXPECT_NEAR(d1, d2, 1e-12) << p[0].lat << " " << p[0].lon;
    EXPECT_GE(a1, 0.0);
    EXPECT_LT(a1, 2 * kPi);
  }
  double d, a;
  dist(0, 0, 0, rad(90), &d, &a);
  EXPECT_NEAR(d, kPi / 2, 1e-12);
  EXPECT_NEAR(a, kPi / 2, 1e-12);  // due east
  dist(rad(-90), 0, rad(90), 0, &d, &a);
  EXPECT_NEAR(d, kPi, 1e-12);
  dist(rad(10), rad(20), rad(10), rad(20), &d, &a);
  EXPECT_EQ(d, 0.0);
  EXPECT_EQ(a, 0.0);
}

TEST(Science, LatlonOfDistGivesTheTarget) {
  for (const auto &p : kPairs) {
    double d, a, lat, lon;
    dist(rad(p[0].lat), rad(p[0].lon), rad(p[1].lat), rad(p[1].lon), &d, &a);
    latlon(rad(p[0].lat), rad(p[0].lon), d, a, &lat, &lon);
    EXPECT_NEAR(lat, rad(p[1].lat), 1e-9) << p[1].lat;
    EXPECT_NEAR(std::remainder(lon - rad(p[1].lon), 2 * kPi), 0.0, 1e-9) << p[1].lon;
    EXPECT_LE(std::fabs(lon), kPi);
  }
}

TEST(Science, KilometresAndDegrees) {
  EXPECT_NEAR(deg2km(1.0), 6371.0 * kPi / 180.0, 1e-12);
  for (double x : {0.0, 1e-6, 1.0, 45.5, 180.0, -12.25})
    EXPECT_NEAR(km2deg(deg2km(x)), x, 1e-12 * (1 + std::fabs(x))) << x;
}

TEST(Science, TravelTimes) {
  EXPECT_EQ(pphasetime(0, 0), 0.0);
  // At the surface the ray is the chord 2R sin(delta/2).
  EXPECT_NEAR(pphasetime(90, 0), 2 * 6371.0 * std::sin(kPi / 4) / 8.0, 1e-9);
  EXPECT_NEAR(sphasetime(0, 100), 100 / 4.5, 1e-9);
  for (double depth : {0.0, 33.0, 600.0}) {
    double last_p = -1;
    for (double delta = 0.0; delta <= 180.0; delta += 7.5) {
      double p = pphasetime(delta, depth), s = sphasetime(delta, depth);
      EXPECT_GT(p, last_p) << delta;
      if (p > 0) {
        EXPECT_GT(s, p) << delta;
      }
      EXPECT_EQ(p, phasetime("P", delta, depth));
      EXPECT_EQ(s, phasetime("S", delta, depth));
      last_p = p;
      // Slowness is the derivative of the time with distance (s per degree).
      if (delta > 0.5 && delta < 179.5) {
        double h = 1e-4;
        EXPECT_NEAR(pphase_slowness(delta, depth),
                    (pphasetime(delta + h, depth) - pphasetime(delta - h, depth)) / (2 * h), 1e-5)
            << delta << " " << depth;
        EXPECT_NEAR(sphase_slowness(delta, depth),
                    (sphasetime(delta + h, depth) - sphasetime(delta - h, depth)) / (2 * h), 1e-5);
        EXPECT_EQ(phase_slowness("S", delta, depth), sphase_slowness(delta, depth));
      }
    }
  }
  // At the epicentre of a surface source the limit R / v per radian.
  EXPECT_NEAR(pphase_slowness(0, 0), 6371.0 / 8.0 * kPi / 180.0, 1e-9);

  struct Bad {
    const char *phase;
    double delta, depth;
  } bad[] = {
      {"PKP", 10, 0}, {"p", 10, 0},    {"", 10, 0},        {nullptr, 10, 0},
      {"P", -0.1, 0}, {"P", 180.1, 0}, {"P", 10, -1},      {"S", 10, 6371.0},
      {"P", NAN, 0},  {"P", 10, NAN},  {"S", INFINITY, 0},
  };
  for (const Bad &b : bad) {
    EXPECT_EQ(phasetime(b.phase, b.delta, b.depth), -1.0) << (b.phase ? b.phase : "none");
    EXPECT_EQ(phase_slowness(b.phase, b.delta, b.depth), -1.0);
  }
  EXPECT_GT(pphasetime(180, 6370.9), 0.0);
}

TEST(Science, Regions) {
  struct Case {
    double lat, lon;
    int grn;
  } cases[] = {
      {-90, -180, 1},       {-85, -175, 1},
      {-80, -180, 37},      {0, 0, 9 * 36 + 18 + 1},
      {90, 179.9, 648},     {89.9, -180, 17 * 36 + 1},
      {0, 180, 9 * 36 + 1}, {0, -190, 9 * 36 + 36},
      {0, 540, 9 * 36 + 1}, {NAN, 0, 0},
      {0, INFINITY, 0},
  };
  for (const Case &c : cases) EXPECT_EQ(grnumber(c.lat, c.lon), c.grn) << c.lat << " " << c.lon;

  // Every 3 x 3 block of cells is one seismic region; 72 of them, 9 cells each.
  std::set<int> seen;
  for (int row = 0; row < 18; row++)
    for (int col = 0; col < 36; col++) {
      int grn = row * 36 + col + 1;
      int block_corner = (row / 3 * 3) * 36 + col / 3 * 3 + 1;
      EXPECT_EQ(srnumber(grn), srnumber(block_corner)) << grn;
      seen.insert(srnumber(grn));
    }
  EXPECT_EQ(seen.size(), 72u);
  EXPECT_EQ(*seen.begin(), 1);
  EXPECT_EQ(*seen.rbegin(), 72);
  EXPECT_EQ(srnumber(0), 0);
  EXPECT_EQ(srnumber(649), 0);

  EXPECT_EQ(grname(1), "region lat -90 to -80, lon -180 to -170");
  EXPECT_EQ(grname(648), "region lat 80 to 90, lon 170 to 180");
  EXPECT_EQ(srname(1), "seismic region lat -90 to -60, lon -180 to -150");
  EXPECT_EQ(srname(72), "seismic region lat 60 to 90, lon 150 to 180");
  EXPECT_EQ(grname(0), "unknown");
  EXPECT_EQ(grname(649), "unknown");
  EXPECT_EQ(srname(73), "unknown");
}

TEST(Science, ResponseIsACopyOfItsFile) {
  TempDir dir;
  std::string text = "response\n";
  text += std::string(1000, '\0') + "tail";
  std::string path = dir.write("r.resp", text);
  FILE *f = fopen(path.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  Response *r = nullptr;
  EXPECT_EQ(read_response(f, &r), 0);
  fclose(f);
  ASSERT_NE(r, nullptr);
  size_t n;
  const char *bytes = response_bytes(r, &n);
  EXPECT_EQ(std::string(bytes, n), text);
  free_response(r);

  // Exactly the limit is read; one byte more is refused.
  for (size_t size : {RESPONSE_MAX_BYTES, RESPONSE_MAX_BYTES + 1}) {
    path = dir.write("big.resp", std::string(size, 'x'));
    f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    r = reinterpret_cast<Response *>(&n);  // must be replaced
    int rc = read_response(f, &r);
    fclose(f);
    if (size == RESPONSE_MAX_BYTES) {
      EXPECT_EQ(rc, 0);
      ASSERT_NE(r, nullptr);
      response_bytes(r, &n);
      EXPECT_EQ(n, size);
      free_response(r);
    } else {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(r, nullptr);
    }
  }
  EXPECT_EQ(read_response(nullptr, &r), -1);
  EXPECT_EQ(r, nullptr);
  free_response(nullptr);
}

TEST(Science, NameMapping) {
  char css_sta[CSS_NAME_SIZE], css_chan[CSS_NAME_SIZE];
  struct Row {
    std::string sta, chan, loc;
    int sta_rc, chan_rc;
    std::string want_sta, want_chan;
  } rows[] = {
      {"AAK", "BHZ", "", 0, 0, "AAK", "BHZ"},
      {"AAK", "BHZ", "00", 0, 0, "AAK", "BHZ_00"},
      {"", "", "", 0, 0, "", ""},
      {std::string(31, 's'), std::string(31, 'c'), "", 0, 0, std::string(31, 's'),
       std::string(31, 'c')},
      {std::string(32, 's'), std::string(28, 'c'), "12", -1, 0, "", std::string(28, 'c') + "_12"},
      {"AAK", std::string(29, 'c'), "12", 0, -1, "AAK", ""},  // 32 with the "_"
      {"AAK", std::string(40, 'c'), "", 0, -1, "AAK", ""},
  };
  for (const Row &r : rows) {
    EXPECT_EQ(map_seed_netsta("XX", r.sta.c_str(), css_sta), r.sta_rc) << r.sta;
    EXPECT_EQ(css_sta, r.want_sta);
    EXPECT_EQ(map_seed_chanloc(css_sta, r.chan.c_str(), r.loc.c_str(), css_chan), r.chan_rc)
        << r.chan;
    EXPECT_EQ(css_chan, r.want_chan);
  }
  EXPECT_EQ(finit_db(Dbptr{0, dbALL, dbALL, dbALL}), 0);
}

}  // namespace
