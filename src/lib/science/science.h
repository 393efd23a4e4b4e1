// science.h - the science layer the database's expression built-ins and the calibration
// lookup call: positions on the sphere, travel times, region numbers and names,
// instrument responses and the mapping of SEED codes to database names.
//
// A stand-in, with no Earth model: the Earth is a sphere of radius 6371 km, waves run in
// straight rays at one speed per phase, and regions are cells of a latitude-longitude
// grid. The results have the forms callers expect, not the values of a real model.
//
// Every function is pure and may be called from any thread, except read_response and
// free_response, which own the Response they make or take.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

#include "reldb/dbptr.h"

// Radius of the sphere, km.
constexpr double SCIENCE_EARTH_RADIUS_KM = 6371.0;

// --- Positions (all angles in radians) ---

// Distance `delta` (radians of arc) and azimuth `azimuth` (radians clockwise from north,
// in [0, 2 pi)) from point 1 to point 2. Coincident points have azimuth 0.
void dist(double lat1, double lon1, double lat2, double lon2, double *delta, double *azimuth);
// The point reached from (lat1, lon1) after `delta` along `azimuth`; longitude in
// [-pi, pi].
void latlon(double lat1, double lon1, double delta, double azimuth, double *lat2, double *lon2);
// Degrees of arc to kilometres along the surface, and back.
double deg2km(double degrees);
double km2deg(double km);

// --- Travel times ---
// A straight ray at constant speed (8.0 km/s for "P", 4.5 km/s for "S") from depth
// `depth` km to a surface point `delta` degrees away. Times in seconds; slowness is
// dt/d(delta) in seconds per degree. Any other phase, delta outside [0, 180] or depth
// outside [0, radius) gives -1.
double phasetime(const char *phase, double delta, double depth);
double phase_slowness(const char *phase, double delta, double depth);
double pphasetime(double delta, double depth);
double pphase_slowness(double delta, double depth);
double sphasetime(double delta, double depth);
double sphase_slowness(double delta, double depth);

// --- Regions (latitude and longitude in degrees) ---
// Geographic regions are the 10 degree cells of the grid, numbered 1-648 row by row,
// each row eastward, from the cell at (-90, -180); latitude 90 falls in the top row and
// longitudes are wrapped into [-180, 180). Seismic regions are blocks of 3 x 3 cells,
// numbered 1-72 the same way. A position that is not finite is region 0.
int grnumber(double lat, double lon);
// The seismic region of geographic region `grn`; 0 for a number outside 1-648.
int srnumber(int grn);
// Names made from the region's bounds, "unknown" for a number outside the range.
std::string grname(int grn);
std::string srname(int srn);

// --- Instrument responses ---

// An instrument response: an opaque copy of the bytes of its file.
struct Response;
// Largest response file read.
constexpr size_t RESPONSE_MAX_BYTES = 1024 * 1024;
// Reads the rest of `file` into a new Response in *response. 0; -1 with *response none
// when the file cannot be read or holds more than RESPONSE_MAX_BYTES.
int read_response(FILE *file, Response **response);
void free_response(Response *response);
// The bytes of a response and their count.
const char *response_bytes(const Response *response, size_t *size);

// --- SEED codes to database station and channel names ---

// Room for a database station or channel name, terminator included.
constexpr size_t CSS_NAME_SIZE = 32;
// Prepares the mapping for a database; the mapping here needs nothing from it. 0.
int finit_db(Dbptr db);
// css_sta (CSS_NAME_SIZE bytes) receives sta. 0; -1 (css_sta "") when the result would
// not fit.
int map_seed_netsta(const char *net, const char *sta, char *css_sta);
// css_chan (CSS_NAME_SIZE bytes) receives chan, or chan "_" loc when loc is not empty.
// 0; -1 (css_chan "") when the result would not fit.
int map_seed_chanloc(const char *css_sta, const char *chan, const char *loc, char *css_chan);
