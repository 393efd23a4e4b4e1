// ttimes.cpp - travel times and slownesses of a straight ray at constant speed.
#include <cmath>
#include <cstring>

#include "science/science.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kR = SCIENCE_EARTH_RADIUS_KM;

// Speed of a phase in km/s, or 0 for a phase the model does not have.
double speed(const char *phase) {
  if (!phase) return 0.0;
  if (strcmp(phase, "P") == 0) return 8.0;
  if (strcmp(phase, "S") == 0) return 4.5;
  return 0.0;
}

bool in_model(double delta, double depth) {
  return delta >= 0.0 && delta <= 180.0 && depth >= 0.0 && depth < kR;
}

// Length of the chord from depth h below one surface point to a surface point delta
// degrees away: L^2 = (R-h)^2 + R^2 - 2R(R-h)cos(delta).
double chord(double delta, double depth) {
  double r = kR - depth, c = std::cos(delta * kPi / 180.0);
  double l2 = r * r + kR * kR - 2.0 * kR * r * c;
  return std::sqrt(l2 > 0.0 ? l2 : 0.0);
}

double ttime(double v, double delta, double depth) {
  if (v <= 0.0 || !in_model(delta, depth)) return -1.0;
  return chord(delta, depth) / v;
}

// dt/d(delta) = R(R-h) sin(delta) / (L v), per radian, times pi/180 for seconds per
// degree. At the source's own epicentre on the surface (L = 0) the limit R / v is taken.
double slowness(double v, double delta, double depth) {
  if (v <= 0.0 || !in_model(delta, depth)) return -1.0;
  double l = chord(delta, depth);
  double per_radian;
  if (l == 0.0)
    per_radian = kR / v;
  else
    per_radian = kR * (kR - depth) * std::sin(delta * kPi / 180.0) / (l * v);
  return per_radian * kPi / 180.0;
}

}  // namespace

double phasetime(const char *phase, double delta, double depth) {
  return ttime(speed(phase), delta, depth);
}
double phase_slowness(const char *phase, double delta, double depth) {
  return slowness(speed(phase), delta, depth);
}
double pphasetime(double delta, double depth) { return phasetime("P", delta, depth); }
double pphase_slowness(double delta, double depth) { return phase_slowness("P", delta, depth); }
double sphasetime(double delta, double depth) { return phasetime("S", delta, depth); }
double sphase_slowness(double delta, double depth) { return phase_slowness("S", delta, depth); }
