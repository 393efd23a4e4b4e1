// regions.cpp - geographic and seismic region numbers and names on a 10 degree grid.
#include <cmath>
#include <cstdio>

#include "science/science.h"

namespace {

constexpr int kRows = 18, kCols = 36;  // 10 degree cells
constexpr int kBlock = 3;              // cells per side of a seismic region
constexpr int kSeismicCols = kCols / kBlock;
constexpr int kGeographic = kRows * kCols;                     // 648
constexpr int kSeismic = (kRows / kBlock) * (kCols / kBlock);  // 72

std::string bounds(int row, int col, int rows, int cols, const char *kind) {
  int lat0 = -90 + row * 10, lon0 = -180 + col * 10;
  char text[96];
  snprintf(text, sizeof text, "%s lat %d to %d, lon %d to %d", kind, lat0, lat0 + rows * 10, lon0,
           lon0 + cols * 10);
  return text;
}

}  // namespace

int grnumber(double lat, double lon) {
  if (!std::isfinite(lat) || !std::isfinite(lon)) return 0;
  if (lat > 90.0) lat = 90.0;
  if (lat < -90.0) lat = -90.0;
  int row = (int)std::floor((lat + 90.0) / 10.0);
  if (row >= kRows) row = kRows - 1;  // latitude 90 belongs to the top row
  double wrapped = std::fmod(lon + 180.0, 360.0);
  if (wrapped < 0.0) wrapped += 360.0;
  int col = (int)std::floor(wrapped / 10.0);
  if (col >= kCols) col = kCols - 1;  // a rounding of -1e-17 + 360
  return row * kCols + col + 1;
}

int srnumber(int grn) {
  if (grn < 1 || grn > kGeographic) return 0;
  int row = (grn - 1) / kCols, col = (grn - 1) % kCols;
  return (row / kBlock) * kSeismicCols + col / kBlock + 1;
}

std::string grname(int grn) {
  if (grn < 1 || grn > kGeographic) return "unknown";
  return bounds((grn - 1) / kCols, (grn - 1) % kCols, 1, 1, "region");
}

std::string srname(int srn) {
  if (srn < 1 || srn > kSeismic) return "unknown";
  int row = (srn - 1) / kSeismicCols, col = (srn - 1) % kSeismicCols;
  return bounds(row * kBlock, col * kBlock, kBlock, kBlock, "seismic region");
}
