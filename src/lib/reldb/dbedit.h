// dbedit.h - changing tables: appending records (dbadd, dbaddnull, the checked dbaddchk
// and dbaddv), marking, deleting and truncating them, dropping indexes, removing a whole
// database, and handing out ids (dbnextid, from the lastid table or an id server).
//
// Results as everywhere in the database: a record number, 0 or a value on success,
// dbINVALID (-102) on failure. dbaddchk returns -(n + 103) when the new record clashes
// with record n on a key.
//
// Locking: appends and deletions of table files hold the table's lock (lockf on the
// table file, or on its lock file) while they change the file; id allocation holds the
// lock of the lastid table. Nothing here locks against other threads: threads that share
// a database serialise their use of it.
#pragma once

#include <string>

#include "reldb/db.h"

// --- Insertion (dbaddt.cpp) ---

// Appends `record` (the relation's size in bytes), or the scratch record when none, to
// the table of db. The new record number, or dbINVALID.
int dbadd(Dbptr db, const char *record);
// Appends the table's null record. The new record number, or dbINVALID.
int dbaddnull(Dbptr db);
// Checked insertion of `record` (text, cut at the record size and blank-padded) or of the
// scratch record when none: the number of an existing equal record, of the new record,
// dbINVALID, or -(n + 103) for a key clash with record n.
int dbaddchk(Dbptr db, const char *record);
// Builds a record from the null record and named values (as dbputv) and adds it with
// dbaddchk. Pairs of field name and value, ended by a null pointer.
int dbaddv(Dbptr db, const char *table, ...) __attribute__((sentinel));

// The name of the first field whose text differs between the scratch record `fresh` and
// the record `existing` of the table of db, skipping fields null in `fresh` and the field
// `skip`; none when they agree.
const char *cmprcd(Dbptr db, const char *fresh, const char *existing, const char *skip);
// 1 when a field of the primary key list is null in the scratch record (the ends
// "offdate" and "endtime" may be), else 0.
int nullfield(Dbptr db, struct Tbl *keys);
// 1 when the alternate key list counts as null in the scratch record, else 0.
int allnull(Dbptr db, struct Tbl *keys);

// --- Deletion and table maintenance (dbdelete.cpp) ---

// Overwrites the record db names with the null record. 0 or dbINVALID.
int dbmark(Dbptr db);
// Removes the record db names; later records move down by one. 0 or dbINVALID.
int dbdelete(Dbptr db);
// Removes every marked (null) record of the table, keeping the order of the others.
int dbcrunch(Dbptr db);
// Keeps the first n (>= 0) records of the table. 0 or dbINVALID.
int dbtruncate(Dbptr db, int n);
// Drops every index of the table (removing index files it was read from). 0 or dbINVALID.
int dbflush_indexes(Dbptr db);
// Removes the table files, lock files and descriptor of a database opened "r+" and closes
// it: the close's result, bitwise or dbINVALID when a removal failed.
int dbdestroy(Dbptr db);

// --- Ids (dbnextid.cpp) ---

// The next id of key `name` in the database of db, or -1.
int dbnextid(Dbptr db, const char *name);
// One allocation with `largest` the largest id known to be in use (-1 when not known).
int incrid(Dbptr db, const char *name, int largest);
// The largest value of field `name` in the table that defines it; 0 when none does.
int find_lastid(Dbptr db, const char *name);
// The id the server gives for `name`, or -1 (with complaints) when none can be had after
// 12 attempts or the server answers a negative id.
int dbidrequest(const char *name, const char *server);
// The id in a server's reply of n bytes (the decimal number at its start). 0 with *id
// set, or -1 when the reply holds no number that fits an int.
int dbidserver_reply(const char *reply, int n, int *id);
// A connected TCP socket to an id server "host[:port]", or -1.
int open_socket(const char *server);
// Splits "host[:port]": port 2499 when none is given, host "localhost" when empty.
void parsename(const char *server, std::string *host, int *port);

enum { DBIDSERVER_PORT = 2499 };
