// dbptr.h - the database pointer alone, for headers that pass one along without calling
// the database (the full interface is db.h). Plain data; no locking.
#pragma once

// A database object named by value: database id, table id, field index, record number.
struct Dbptr {
  int database;
  int table;
  int field;
  int record;
};
