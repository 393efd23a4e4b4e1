// coords.cpp - distances, azimuths and positions on the sphere.
#include <cmath>

#include "science/science.h"

namespace {
constexpr double kPi = 3.141592653589793;
constexpr double kKmPerDegree = SCIENCE_EARTH_RADIUS_KM * kPi / 180.0;
}  // namespace

void dist(double lat1, double lon1, double lat2, double lon2, double *delta, double *azimuth) {
  double dlon = lon2 - lon1;
  // The haversine form keeps small distances exact where the cosine form loses them.
  double a = std::sin((lat2 - lat1) / 2), b = std::sin(dlon / 2);
  double h = a * a + std::cos(lat1) * std::cos(lat2) * b * b;
  if (h > 1.0) h = 1.0;
  *delta = 2.0 * std::asin(std::sqrt(h));
  double y = std::sin(dlon) * std::cos(lat2);
  double x = std::cos(lat1) * std::sin(lat2) - std::sin(lat1) * std::cos(lat2) * std::cos(dlon);
  double az = (y == 0.0 && x == 0.0) ? 0.0 : std::atan2(y, x);
  if (az < 0) az += 2 * kPi;
  *azimuth = az;
}

void latlon(double lat1, double lon1, double delta, double azimuth, double *lat2, double *lon2) {
  double s =
      std::sin(lat1) * std::cos(delta) + std::cos(lat1) * std::sin(delta) * std::cos(azimuth);
  if (s > 1.0) s = 1.0;
  if (s < -1.0) s = -1.0;
  *lat2 = std::asin(s);
  double lon = lon1 + std::atan2(std::sin(azimuth) * std::sin(delta) * std::cos(lat1),
                                 std::cos(delta) - std::sin(lat1) * s);
  if (std::isfinite(lon)) lon = std::remainder(lon, 2 * kPi);
  *lon2 = lon;
}

double deg2km(double degrees) { return degrees * kKmPerDegree; }

double km2deg(double km) { return km / kKmPerDegree; }
