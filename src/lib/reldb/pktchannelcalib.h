// pktchannelcalib.h - the calibration lookup: what a site database says about a packet
// channel at a time (database station and channel names, station position, calibration
// and period, response type and instrument response), with per-station and per-channel
// caches so that a stream of packets costs a key lookup each.
//
// The site database holds the tables site, sensor, instrument and calibration of the
// "css3.0" schema (or an operator's own definition of them: fields are read by name).
// A cached answer holds over a window of time; a query that finds no row is cached
// between the neighbouring rows of the station or channel. With `check_db` the table
// files' times (to the nanosecond) are compared with those the caches were computed
// from, and the database is reopened when a file is newer.
//
// Ownership: the handle owns its caches, its database and every Response it hands out.
// A Response given out stays valid until pktchannelcalib_free, even after the channel's
// answer is recomputed, so a pointer held by another thread never dangles.
//
// Locking: one mutex, private to this module and shared by all handles, is held for the
// whole of pktchannelcalib_new, pktchannelcalib_get, pktchannelcalib_free and
// getmodtime, including the database calls they make (which take the database's own
// lock inside: always this mutex first). Any thread may call.
#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

#include "reldb/db.h"
#include "science/science.h"

struct Arr;

// Bits of the result of pktchannelcalib_get: the outputs it filled.
enum {
  PKTCALIB_LAT = 0x01,
  PKTCALIB_LON = 0x02,
  PKTCALIB_ELEV = 0x04,
  PKTCALIB_CALIB = 0x08,
  PKTCALIB_CALPER = 0x10,
  PKTCALIB_RSPTYPE = 0x20,
  PKTCALIB_RESPONSE = 0x40,
};

// One station: its name and the site values over [site_time, site_endtime]. Values the
// database did not give are -1e30. A new entry's window (+1e30, -1e30) holds no time.
struct Stastuff {
  char sta[CSS_NAME_SIZE];
  double lat, lon, elev;
  double site_mod_time;  // table time the values were computed from; 0 when new
  double site_time, site_endtime;
};

// One channel: its name, the sensor view (response type and response) and the
// calibration view, each with its own window and table time.
struct Chanstuff {
  char chan[CSS_NAME_SIZE];
  double calib, calper;
  double sensor_mod_time;
  double calibration_mod_time;
  double sensor_time, sensor_endtime;
  double calibration_time, calibration_endtime;
  char rsptype[8];
  Response *response;              // owned by the handle (see `responses`)
  std::string response_path;       // file and time it was read from: the same file and
  struct timespec response_mtime;  // time keep the same object
};

struct PktChannelCalib {
  Arr *channels_arr;  // "net_sta_chan" or "net_sta_chan_loc" -> Chanstuff
  Arr *stations_arr;  // "net_sta" -> Stastuff
  std::string dbname;
  double mod_time;     // descriptor time at the last reopen it caused; 0 at creation
  std::string dbpath;  // the database's table search path as last asked
  Dbptr db;            // database dbINVALID while closed
  int need_calib;
  int need_response;
  int need_site;
  std::vector<Response *> responses;  // every response read, freed with the handle
};

// A new handle on the database `dbname` (opened "r+"), checking that the tables the
// need flags call for are there; none on failure (logged).
PktChannelCalib *pktchannelcalib_new(const char *dbname, int need_calib, int need_response,
                                     int need_site);
// Closes the handle's database and frees everything it owns. 0.
int pktchannelcalib_free(PktChannelCalib *handle);

// Looks up the channel net, sta, chan, loc ("" for none) at `time`. css_sta
// (CSS_NAME_SIZE bytes) always receives the station name; css_chan (CSS_NAME_SIZE bytes)
// the channel name, or with css_chan none only the station part runs. The other
// outputs are written only with their bits: lat, lon, elev; calib, calper; rsptype
// (8 bytes: at most 7 characters and a NUL); *response (owned by the handle). Returns
// the bits, or -1 on failure (logged; the caches keep what they held).
int pktchannelcalib_get(PktChannelCalib *handle, const char *net, const char *sta, const char *chan,
                        const char *loc, double time, int check_db, char *css_sta, char *css_chan,
                        double *lat, double *lon, double *elev, double *calib, double *calper,
                        char *rsptype, Response **response);

// 1 when the table `name` of db has a table file that exists and can be read, 0 when it
// does not exist or cannot be read, -1 when the table cannot be looked up (each non-1
// result logged).
int db_table_exists(Dbptr db, const char *name);
// The modification time (seconds, to the nanosecond) of the table's file, 0.0 when no
// file is found. Reopens the handle's database first when its descriptor changed.
double getmodtime(PktChannelCalib *handle, const char *table);
// The status of the table file find_path finds for dbname, table and dbpath: 0 with
// *status filled, -1 when there is none.
int my_find_path(const char *dbname, const char *table, const char *dbpath, struct stat *status);
// Whether `path` is a regular file: 0 with *status filled, -1 when not.
int mychkpath(const char *path, struct stat *status);
