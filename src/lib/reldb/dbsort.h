// dbsort.h - ordered and filtered sets of records: sorting a table into a view or in
// place, subsets by expression, grouping of consecutive equal records, and the field
// name helpers the expression parser and lookup use.
//
// Results as everywhere in the database: 0, a count or a value on success, dbINVALID
// (-102) or an invalid Dbptr on failure. The views and group tables made here belong to
// the database. Nothing here locks: threads that share a database serialise their use.
// The order of a sort is the table's index for the keys (dbindex.h): fields, expressions
// and "start::end" ranges; equal keys keep the index's order. Views are made as in
// dbview.h; dbsort and dbsubset work on views as well as tables.
#pragma once

#include <string>
#include <vector>

#include "reldb/db.h"

struct Tbl;

enum { dbSORT_REVERSE = 1, dbSORT_UNIQUE = 2 };

// A new view of the records of db's table in key order (flags: dbSORT_REVERSE,
// dbSORT_UNIQUE keeps the first record of each run of equal keys); record dbALL.
Dbptr dbsort(Dbptr db, Tbl *keys, int flags, const char *name);
// Reorders the records of the table file itself into key order. 0, or -1 when the key
// order cannot be had. Writes nothing when the table is already in order.
int dbsort_in_place(Dbptr db, Tbl *keys);
// A new view of the records for which the boolean expression holds.
Dbptr dbsubset(Dbptr db, const char *expression, const char *name);
// The type code of attribute `name` ("field" or "table.field") in db's schema, or
// dbINVALID when the database does not resolve, the table part names no relation or the
// attribute is unknown.
int dbfield_type(Dbptr db, const char *name);
// Splits "table.field" at the first '.'; without one, table is empty. Each output needs
// room for strlen(name) + 1 bytes.
void tsplit(const char *name, char *table, char *field);

// Collapses runs of consecutive records of db's table that agree on `fields` into one
// record each of a new transient table `name` (none or empty: "View<n>"), holding the
// fields, a bundle [first, end) of the run and `type` in bundletype. Record dbALL.
Dbptr dbgroup(Dbptr db, Tbl *fields, const char *name, int type);
// Makes the group relation of dbgroup; invalid pointer on failure.
Dbptr dbmkgroup_relation(Dbptr db, Tbl *fields, const char *name);

// --- The steps of sorting, open to tests ---

// The record numbers of db's table in the order of its index for `keys` and, for each
// entry, the bytes of the requested keys that decide equality (ranges by start and end;
// keybytes may be none when they are not wanted). 0 or dbINVALID (logged).
int dbsort_key_order(Dbptr db, Tbl *keys, std::vector<int> *records,
                     std::vector<std::string> *keybytes);
// The entries dbsort lists, from the key order: reversed and/or the first of each run of
// equal key bytes in the order of the walk.
std::vector<int> dbsort_walk(const std::vector<int> &records,
                             const std::vector<std::string> &keybytes, int flags);
// Moves `count` records of `size` bytes so that position j receives the record that was
// at order[j], each record moved once through one spare record. order must be a
// permutation of 0..count-1; it is consumed.
void dbsort_permute(char *data, int size, std::vector<int> &order);
// The records of db's table for which the expression holds. 0 or dbINVALID.
int dbsubset_records(Dbptr db, const char *expression, std::vector<int> *records);
