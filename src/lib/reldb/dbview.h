// dbview.h - views and joins: views (tables whose records are rows of Dbptrs into other
// tables) and the key lists they merge, view files, joins of two tables or views, the
// records of a table that match one record (dbmatches), and join key discovery.
//
// A view is a transient relation added to the database's schema; it belongs to the
// database and is dropped with dbfree. Record-number lists handed out here (the unmatched
// list of dbjoin, the matches of dbmatches) hold the numbers as pointer values: read
// entry i with (int)(intptr_t)gettbl(list, i); free them with freetbl(list, nullptr).
// Key lists that dbfind_join_keys makes hold the schema's own name texts: their owner
// frees the list only.
//
// Results as everywhere in the database: 0 or a count on success, dbINVALID (-102) or an
// invalid Dbptr on failure, with the reason in the error log. A failed view, join, sort
// or subset leaves no relation behind.
//
// Locking: none. A join or dbmatches sets the search jig of the second table's index for
// its search; threads sharing a database serialise their use of it. A MatchesHook belongs
// to one caller at a time.
#pragma once

#include <cstdio>

#include "reldb/db.h"

struct Tbl;
struct Hook;

// --- Views (dbview.cpp) ---

// A new, empty view named `name` (none or empty: "View<n>" with the schema's relation
// count) over the named tables or views, record and field dbALL. A name that is already
// a relation is refused. Invalid pointer (table dbINVALID) on failure.
Dbptr dbtbl2view(Dbptr db, const char *name, Tbl *tables);
// Merges key names into a view's list: names already present are skipped, plain names go
// before the first range, ranges at the end. Appends copies of the texts.
void addtbl(Tbl *merged, Tbl *keys);
// Writes a view, or a base table as "View0", to an open stream. 0 or dbINVALID.
int dbwrite_view(Dbptr db, FILE *file);
// Writes a view to its table file name (through a temporary file renamed into place).
// 0, or dbINVALID (a base table is never written).
int dbsave_view(Dbptr db);
// Reads a view file into a new view of the database it names; `name` none or empty:
// "View<n>". 0 with *view set, or dbINVALID with *view invalid and no view left behind.
int dbread_view(FILE *file, Dbptr *view, const char *name);

// Drops a view made by this module, giving back its relation number when it was the
// last one made.
void dbview_drop(Dbptr view);

// --- Joins (dbjoin.cpp) ---

// The view of the pairs of records of db1 and db2 whose keys match, in db1's record
// order and then db2's index order. keys1/keys2: when *keys1 is given both lists are used
// as they are (keys2 none: the same list), else they are discovered and handed back when
// the pointers are given (the caller then frees the lists). `outer` keeps db1 records
// without a match (second part dbNULL); `unmatched`, when given, receives a new list of
// those record numbers.
Dbptr dbjoin(Dbptr db1, Dbptr db2, Tbl **keys1, Tbl **keys2, int outer, Tbl **unmatched,
             const char *name);
// 0 with two new lists of the keys that join db1 with db2; dbINVALID when a pointer does
// not resolve; 1 when no keys join them (*keys1, *keys2 none then).
int dbfind_join_keys(Dbptr db1, Dbptr db2, Tbl **keys1, Tbl **keys2);
// Appends the pairs of names of a (na of them) and b (nb) that join: equal names, a range
// and its own start name, and each with its equivalent (equiv_field). Plain pairs first,
// then pairs with a range. Returns the length of outa.
long match_keys(Tbl *a, long na, Tbl *b, long nb, Tbl *outa, Tbl *outb);

// --- Matching records (dbmatches.cpp) ---

// The records of `table` whose keys match the record `record` (any record, the scratch
// record included). Keys as for dbjoin. *hook must be none on the first call; it keeps
// the search state for later calls with the same tables (free it with free_hook); a hook
// none is allowed and keeps nothing. Returns the number of matches and sets *matches to a
// new list of their record numbers in index order; dbINVALID (*matches a new empty list)
// on failure.
int dbmatches(Dbptr record, Dbptr table, Tbl **keys1, Tbl **keys2, Hook **hook, Tbl **matches);
// Frees the MatchesHook a Hook holds (the Hook's free function).
void free_MatchesHook(void *hook);
