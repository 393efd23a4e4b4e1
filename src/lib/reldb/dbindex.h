// dbindex.h - indexes of tables: key descriptions (Jig), the fixed-size binary key of a
// record, the four key comparisons, finding, building and reading indexes, and keeping
// them current as records are added and removed.
//
// An index entry is the jig's `size` bytes: a 32-bit record number, then each key
// component at its offset (32-bit ints, doubles, zero-padded texts; ranges as start, end,
// envelope), in the machine's byte order in memory. Index files hold the same entries in
// least-significant-byte-first order after a text header (dbread_index).
//
// Ownership: a Dbindex belongs to its table (Table.indexes) and is released with
// dbfree_index; a Jig belongs to its index. dbcreate_index's result belongs to the caller
// until stored.
//
// Locking: none. An index's search_jig is set for each search, so searches of one index
// must not overlap; threads sharing a database serialise their use of it.
#pragma once

#include <string>

#include "reldb/db.h"

struct Tbl;
struct Jig;
struct Table;

// Key element types beyond the field types.
enum { dbKEY_INT_RANGE = -998, dbKEY_REAL_RANGE = -999 };

// Builds the key description of `keys` (field names, expressions, "start::end" ranges)
// for the table db names. 0 with *jig set, or dbINVALID with *jig none (reasons logged).
int dbmake_jig(Dbptr db, Tbl *keys, Jig **jig);
// Fills `entry` (jig->size bytes) with the key of the record db names.
void dbmake_key(Dbptr db, Jig *jig, char *entry);
// Fills the keys of records 0 .. count-1 of the table (or view) of db, jig->size bytes
// each, into entries. The records of a table are read in blocks; 0, or dbINVALID when a
// table file could not be read (logged).
int dbmake_keys(Dbptr db, Jig *jig, int count, char *entries);

// Finds or builds the index of the table of db over `keys`: 1 when it was read from an
// index file in this call, 0 when found in memory or built, dbINVALID (index none).
int dbget_index(Dbptr db, Tbl *keys, struct Dbindex **index);
// The index name of `keys` ("#3", "#0#3:6", "#e") into *name; 1 when a key is an
// expression, else 0.
int dbindex_name(Dbptr db, Tbl *keys, std::string *name);
// Reads the index file `path` of `table` and stores it in the table's indexes; none when
// the file is out of date (then removed), unreadable or damaged.
struct Dbindex *dbread_index(Dbptr db, Table *table, const char *path);

// 0 when `have` starts with the names of `wanted` (or their equivalents), else 1.
int cmp_patterns(Tbl *wanted, Tbl *have);
// The equivalent key name ("time" <-> "ondate", "time::endtime" <-> "ondate::offdate"),
// or a one-character text that equals no field name.
const char *equiv_field(const char *name);

// Comparisons of entries: a is laid out by the index's search_jig (its own jig when
// none), b by the index's jig; ctx is the Dbindex. Negative, 0, positive.
int dbcmp_sort(const void *a, const void *b, void *index);
int dbcmp_envelope(const void *a, const void *b, void *index);  // may raise b's envelope
int dbcmp_search(const void *a, const void *b, void *index);
int dbcmp(const void *a, const void *b, void *index);

// Prints one entry on standard output.
void dbshow_key(Jig *jig, const char *entry);

// --- Index creation ---

// Builds the index of the table of db over `keys` under `name`; none on failure.
struct Dbindex *dbcreate_index(Dbptr db, Tbl *keys, const char *name);
// The envelope pass over neighbouring entries. 0.
int dbfix_envelope(struct Dbindex *index);
// 1 when text holds a character other than a letter, digit, '_' or '.', else 0.
int dbis_expression(const char *text);

// --- Maintenance ---

// Enters the record db names into the index. 0.
int dbadd2index(Dbptr db, struct Dbindex *index);
// Enters the records added since the index was built. 0, or -1 without a record count.
int dbupdate_index(struct Dbindex *index);
// Removes the entry of `record` from the index. Without `renumber` (the record is being
// marked) the key is taken from the record's present contents; with it (the record is
// already gone) the entry is found by its record number, and entries of later records
// move down by one.
void dbindex_remove(struct Dbindex *index, int record, bool renumber);
