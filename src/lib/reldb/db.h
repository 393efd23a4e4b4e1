// db.h - the Relvane relational database: database pointers, special values, field
// values and the calls that open databases, name their objects and read and write their
// fields.
//
// A database is a descriptor file naming a schema and a search path for its table files;
// each table is one file of fixed-width text records, mapped into memory. Every object is
// named by a Dbptr (database, table, field, record) passed by value; the calls turn it
// into the records of dbinternal.h through dbresolve.
//
// Results: 0, a count or a value on success, dbINVALID (-102) on failure; calls that
// return a Dbptr put dbINVALID into the parts that did not resolve. Messages go to the
// error log (base/elog.h), beginning with the function's name where the message is the
// function's own.
//
// Locking: the table of open databases is guarded by one process-wide mutex; the
// databases themselves are not locked. Threads that share one database serialise their
// use of it. Between processes, table writers lock with lockf (dbinternal.h: _dblock).
#pragma once

#include <cstdint>

#include "reldb/dbptr.h"

struct Tbl;
struct Arr;
struct Dbindex;

// Special values of the parts of a Dbptr.
enum {
  dbALL = -501,      // the whole level: all tables, all fields or all records
  dbSCRATCH = -504,  // (record) the table's scratch record
  dbNULL = -505,     // (record) the relation's null record
  dbINVALID = -102,  // invalid; also the general failure result
};

// Levels that dbresolve answers.
enum {
  dbDATABASE = -401,  // table part dbALL
  dbTABLE = -403,     // field and record parts dbALL
  dbFIELD = -404,     // one field named
  dbRECORD = -405,    // one record (or scratch or null record), field dbALL
};

// Field types. dbBOOLEAN and dbREGEXPR occur only in expressions; 136 to 141 are binary
// fields whose bytes only dbget and dbput copy; dbDBPTR fields hold four ints in the
// machine's byte order (16 bytes).
enum {
  dbBOOLEAN = 1,
  dbINTEGER = 2,
  dbREAL = 3,
  dbTIME = 4,
  dbYEARDAY = 5,
  dbSTRING = 6,
  dbREGEXPR = 7,
  dbBFLOAT = 138,
  dbBDOUBLE = 139,
  dbBSHORT = 140,
  dbBINT = 141,
  dbDBPTR = 142,
};

// The key type of a field named "offdate" in index keys; dbd2c reads it as an integer.
enum { dbOFFDATE_KEY = -357 };

// dbquery codes. Letters after each: the levels that answer it (D database, T table,
// F field, R record, any) and what is written through the result pointer; "returned"
// codes also return the value.
enum {
  dbFIELD_NULL = -505,            // F text: null value
  dbRECORD_TERMINATOR = -367,     // T int
  dbFIELD_SEPARATOR = -366,       // T int
  dbTABLE_FILES = -365,           // D Arr: table name -> file path of files present
  dbTABLE_IS_ADDABLE = -364,      // T int
  dbDATABASE_SCHEMA_NAME = -363,  // D text: schema_name
  dbLOCKS = -362,                 // D text: "none", "local", "nfs" or "*invalid*"
  dbIDSERVER = -361,              // D text
  dbLASTIDS = -360,               // D Arr
  dbDATABASE_IS_WRITABLE = -359,  // D int
  dbSCHEMA_TABLES = -358,         // D Tbl: tablenames
  dbDATABASE_FILENAME = -357,     // D text: abspath
  dbTIMEDATE_NAME = -356,         // D text
  dbTABLE_IS_TRANSIENT = -355,    // T int
  dbFIELD_BASE_TABLE = -354,      // F text
  dbTABLE_IS_VIEW = -353,         // T int
  dbTABLE_IS_WRITABLE = -352,     // T int
  dbSCHEMA_FIELDS = -351,         // D Tbl: attribute names
  dbSCHEMA_DEFINES = -350,        // D Arr
  dbVIEW_TABLES = -349,           // T Tbl: reftables
  dbFIELD_TABLES = -348,          // F Tbl: relations using the attribute
  dbTABLE_FIELDS = -347,          // T Tbl: field names
  dbTABLE_DATA = -346,            // T bytes: the table's data
  dbFIELD_OFFSET = -345,          // F int
  dbFIELD_FORMAT = -344,          // F text: format
  dbRECORD_SIZE = -343,           // T int, returned
  dbVIEW_TABLE_COUNT = -342,      // T int, returned: nrelrefs
  dbFIELD_RANGE = -341,           // F text
  dbSCHEMA_DEFAULT = -338,        // any text: Default_schema
  dbTABLE_DEFINES = -336,         // T text
  dbFOREIGN_KEYS = -334,          // T Tbl
  dbALTERNATE_KEY = -333,         // T Tbl
  dbPRIMARY_KEY = -332,           // T Tbl
  dbTABLE_DIRNAME = -331,         // T text
  dbDBPATH = -330,                // D text
  dbTABLE_FILENAME = -329,        // T text
  dbFIELD_TYPE = -328,            // F int, returned
  dbFIELD_UNITS = -327,           // F text
  dbFORMAT = -326,                // F text
  dbTYPE = -325,                  // F int returned (type); D text (schema name)
  dbFIELD_SIZE = -324,            // F int, returned
  dbTABLE_SIZE = -323,            // T int, returned: file length
  dbSIZE = -322,                  // F, R, T int, returned
  dbTABLE_PRESENT = -321,         // T int, returned
  dbFIELD_NAME = -320,            // F text
  dbTABLE_NAME = -319,            // T text
  dbDATABASE_NAME = -318,         // D text
  dbSCHEMA_NAME = -317,           // D text
  dbNAME = -316,                  // T, F, D text
  dbFIELD_DETAIL = -315,          // F text
  dbTABLE_DETAIL = -314,          // T text
  dbDATABASE_DETAIL = -313,       // D text
  dbSCHEMA_DETAIL = -312,         // D text
  dbDETAIL = -311,                // T, F, D text
  dbFIELD_DESCRIPTION = -310,     // F text
  dbTABLE_DESCRIPTION = -309,     // T text
  dbDATABASE_DESCRIPTION = -308,  // D text
  dbSCHEMA_DESCRIPTION = -307,    // D text
  dbDESCRIPTION = -306,           // T, F, D text
  dbRECORD_COUNT = -305,          // T int, returned (after mapping the table)
  dbFIELD_COUNT = -304,           // T int, returned: nattr_fields
  dbTABLE_COUNT = -303,           // D int, returned: nrelations
  dbDATABASE_COUNT = -302,        // any int: Ndatabases
  dbCOUNT = -301,                 // F, T, D int, returned
};

// Bytes of the text member of a Dbvalue.
enum { DBVALUE_STRSIZE = 1024 };

// One field value in memory. The conversions use i for dbINTEGER and dbYEARDAY, d for
// dbREAL and dbTIME, t for dbSTRING when writing a field (reading one fills the caller's
// buffer) and db for dbDBPTR.
union Dbvalue {
  char *t;
  char s[DBVALUE_STRSIZE];
  int i;
  double d;
  Dbptr db;
  Tbl *tbl;
  Arr *arr;
};

// The schema and table search path used when neither the descriptor nor the
// environment (SCHEMA_DEFAULT) names one. Set by the program; defaults "css3.0" and "".
extern const char *Default_schema;
extern const char *Default_dbpath;

// Sets all four parts to dbINVALID; returns db.
Dbptr *dbinvalid(Dbptr *db);

// --- Descriptor files, open, create and close ---

// Writes a descriptor file (parameter-file form). A none schema falls back to
// SCHEMA_DEFAULT, then Default_schema. 0 or dbINVALID.
int dbcreate(const char *path, const char *schema, const char *dbpath, const char *description,
             const char *detail);
// A new, empty, read-write database in the temporary directory whose descriptor is
// already removed; the invalid pointer on failure.
Dbptr dbtmp(const char *schema);
// Opens the database of descriptor `path` with mode "r" or "r+" (a missing descriptor
// opens an empty database with the default schema). On success *db is {id, dbALL,
// dbALL, dbALL} and the result 0; dbINVALID otherwise. A database already open under
// either of its names is shared (same id).
int RVdbopen(const char *path, const char *mode, Dbptr *db);
// Closes the database of db for every holder of its id: flushes, unmaps and closes its
// tables. 0 or dbINVALID.
int RVdbclose(Dbptr db);
// Drops a table of an open database (table named) or closes it (table dbALL).
int dbfree(Dbptr db);

// --- Lookup, resolution and queries ---

// Names to a pointer; a none or empty name keeps that part of db. Never fails as a call:
// parts that were not found are dbINVALID. A database name not yet open is opened "r+".
// A record name is "dbALL", "dbNULL", "dbSCRATCH", "dbINVALID" or the text of the key
// field that db names (the lowest matching record).
Dbptr dblookup(Dbptr db, const char *database, const char *table, const char *field,
               const char *record);
// Answers a property by code (enum above) through result; returns 0, the value of the
// "returned" codes, or dbINVALID.
int dbquery(Dbptr db, int code, void *result);
// The base-table pointers behind a record of a view: dbsize(db) of them starting at
// dbref(db); for anything else db itself and 1.
Dbptr *dbref(Dbptr *db);
int dbsize(Dbptr db);
// Record number and key bytes of entry i of an index (in key order); dbINVALID / none
// when there is no such entry.
int dbrecord(Dbindex *index, int i);
char *dbkey(Dbindex *index, int i);

// --- Schemas ---

// Compiles schema text into the schema of the database db names (db must name a whole
// database). 0, non-zero on a parse failure, dbINVALID for a bad pointer.
int dbcompile(Dbptr db, const char *text);
// Compiles a supplemental schema file into the schema of an open database. 0 or -1.
int dbadd_schema(Dbptr db, const char *path);
// Names of the relations that use an attribute (belongs to the schema); an empty list
// when the attribute or db is unknown.
Tbl *dbtables(Dbptr db, const char *attribute);
void dbtables_(Dbptr *db, const char *attribute, long length, Tbl **result);

// --- Table and schema files ---

// Whether the table file of `table` is present along dbpath: 0 (path set) or 1 (not).
// `path` needs room for PATH_MAX bytes; a longer candidate counts as absent.
int dbtablepath(const char *dbname, const char *table, const char *dbpath, char *path);
// The candidate paths of a table file (new list of new texts: freetbl(list, free)).
Tbl *dbtblpaths(const char *dbname, const char *table, const char *dbpath);
// Table name -> file path of every table file present (belongs to the database).
Arr *dbtablefiles(Dbptr db);
// The external file a row names in its "dir" and "dfile" fields (dbextfile: the fields
// of `table`). `filename` needs room for PATH_MAX bytes. 1 readable, 2 compressed form
// readable (its name in filename), 0 absent but its directory writable, -1 otherwise.
int dbfilename(Dbptr db, char *filename);
int dbextfile(Dbptr db, const char *table, char *filename);

// --- Field values ---

// Copies the table, record or field db names into dst (none: into the scratch record).
// dst needs the resolved size plus one byte. 0 or dbINVALID.
int dbget(Dbptr db, char *dst);
// Reads named fields of one record: pairs of field name and variable address, ended by
// a null pointer (nullptr). String variables need the field width plus one byte.
// Returns 0, the sum of the conversion results, or dbINVALID.
int dbgetv(Dbptr db, const char *table, ...) __attribute__((sentinel));
// The records [first, end) that db stands for (a bundle: record first, field end).
void dbget_range(Dbptr db, int *first, int *end);
// Makes sure the schema has the attributes "bundle" and "bundletype". 0 or -1.
int dbadd_bundle(Dbptr db);
// Overwrites a table, record or field with raw text (none: the scratch record's bytes).
int dbput(Dbptr db, const char *text);
// Writes named values into the fields of one record: pairs of field name and value
// (int for integer/yearday, double for real/time, char * for string, Dbptr for dbDBPTR),
// ended by a null pointer. 0 or dbINVALID; an overflowing value is reported only.
int dbputv(Dbptr db, const char *table, ...) __attribute__((sentinel));
// Writes one value into the field db names. 0 or dbINVALID.
int dbputx(Dbptr db, Dbvalue *value);

// Value to field text of `width` bytes (no NUL): 0, 1 when the value does not fit,
// dbINVALID for a type not handled (the field is left as it was).
int dbc2d(Dbvalue *value, char *field, int width, const char *format, int type);
// Field text to value (out: int *, double *, char buffer of width+1, or Dbptr *).
int dbd2c(const char *field, int width, void *out, int type);
// Value to printable text of `width` bytes (format as given, no default).
int dbc2p(Dbvalue *value, char *dst, int width, const char *format, int type);
// Printable text to value.
int dbp2c(const char *text, int width, void *out, int type);
