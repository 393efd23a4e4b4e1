// dbinternal.h - the in-memory model of the database and the routines the library's
// own files share: records of open databases, schemas, relations, attributes, fields and
// tables; the process-wide table of open databases; resolution of pointers; table files
// and their mapping and locks; the schema compiler.
//
// Ownership: every record owns its texts and lists unless a member's comment says
// otherwise. Texts equal to the pointer db_nullstr and lists equal to _db_nulltbl are
// shared and never freed. Records are allocated zeroed with their defaults by the new_*
// constructors and released by the matching dbfree_* routine; out of memory is fatal.
//
// Locking: Databases_tbl, Databases_root, Ndatabases and Schemas_tbl are read and changed
// only under DB_global_mutex. The schema compiler holds its own mutex for a whole compile
// (the scanner and parser state are process-wide). Nothing else is locked: the records
// of one database belong to whoever uses it, one thread at a time.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "reldb/db.h"

struct Tbl;
struct Arr;
struct Expression;

// --- Records ---

struct Attribute {
  char *name;
  int id;        // attribute id; -1 until added to a schema
  int size;      // field width in bytes
  int type;      // field type code; -1 until set
  int added;     // compiled from text given in memory (dbcompile)
  char *null;    // null value text; none by default
  char *format;  // these five default to db_nullstr
  char *range;
  char *units;
  char *description;
  char *detail;
  char *defined_by;  // relation whose Defines names this attribute (not owned)
  Tbl *relations;    // names of the relations using the attribute (texts not owned)
};

struct Relation;

// One table reference of a view relation.
enum { RELREF_TABLE = 2, RELREF_SELF = 3 };
struct Relref {
  Relation *relation;  // the referenced relation (not owned)
  int first;           // index of its first field in the view
  int kind;            // RELREF_TABLE or RELREF_SELF
  int offset;          // byte offset of its Dbptr in the view's record
};

struct Field {
  int index;     // field index; for a field a view takes from a base table, its index there
  int offset;    // byte offset; for such a view field, the offset of the base Dbptr
  int table;     // id of the table that owns the field
  int is_ref;    // 0 attribute field, 1 table reference
  void *target;  // Attribute (is_ref 0) or referenced Relation (is_ref 1); not owned
};

struct Relation {
  char *name;
  int id;            // table id; -1 until added to a schema
  char separator;    // between fields; 0 none
  char terminator;   // after a record; 0 none
  int size;          // record size in bytes
  int added;         // compiled from text given in memory (dbcompile)
  char *nullrecord;  // built on first use (new_null)
  char *like;        // name of the relation this one copies
  int transient;     // lives in memory only
  int has_refs;      // holds table references (a view); for a new view, its room in records
  int has_fields;    // holds attribute fields
  int nattr_fields;  // attribute fields (own and taken from base tables)
  int nfields;       // nattr_fields + nrelrefs
  Arr *field_arr;    // field name -> Field (values not owned: they live in fields)
  Tbl *fields;       // Field by index (owned)
  Tbl *field_names;  // names by index (texts owned by fieldlist or the referenced relations)
  Tbl *fieldlist;    // names listed in the schema (owned texts; a like copy has its own)
  int nrelrefs;
  Tbl *reftables;  // names of the referenced tables (owned copies)
  Tbl *relrefs;    // Relref (owned)
  Tbl *primary;    // key lists of owned texts, default _db_nulltbl
  Tbl *alternate;
  Tbl *foreign;
  char *defines;  // name of the id field this relation defines
  char *description;
  char *detail;
};

struct Schema {
  char *name;
  char *requested;  // the schema names as requested (colon-separated)
  char *extdir;     // extension directory (schema file + ".ext"), or none
  char *description;
  char *detail;
  int flags;       // -1
  char *timedate;  // name of the time attribute, or none
  int nrelations;
  int nattributes;
  int reserved;
  Arr *attributes;       // name -> Attribute (owned)
  Tbl *attribute_names;  // in id order (texts owned by the attributes)
  Arr *defines;          // id field name -> defining relation name (owned copies)
  Arr *relation_arr;     // name -> Relation (not owned: relations owns them)
  Tbl *relations;        // Relation by table id (owned; a dropped one leaves none)
  Tbl *relation_names;   // by table id (texts not owned; a dropped one db_nullstr)
  Tbl *tablenames;       // relation names then extension file names (owned texts)
};

// Locking modes of a database.
enum { DBLOCK_NONE = 0, DBLOCK_LOCAL = -1, DBLOCK_NFS = -2 };

struct Table {
  char *name;  // the relation's name (not owned)
  int id;
  Relation *relation;  // not owned
  char *owned_text;
  Arr *indexes;     // index name -> Dbindex (owned)
  int count;        // records
  char *path;       // table file path
  char *tabledir;   // directory of the table file, "." when none
  int fd;           // -1 when closed
  uint32_t length;  // mapped (or in-memory) length in bytes
  int capacity;     // bytes allocated for an in-memory table
  char *data;       // the mapping, or the in-memory records
  char *lockname;   // lock file path (nfs locking)
  int lockfd;
  int writable;
  int spare;
  int lockdepth;  // nesting of _dblock in this process; the file lock is held while > 0
  char *work1;
  char *work2;
  char *scratch;  // scratch record, built on first use
};

struct Database {
  char *name;  // descriptor path as given
  int id;
  char *schema_name;
  Schema *schema;
  char *dbpath;       // table search path, environment expanded
  char *abspath;      // absolute descriptor path
  char *dir;          // directory of abspath
  char *openperm;     // "r" or "r+"
  int locking;        // DBLOCK_*
  char *idserver;     // host[:port], or none
  char *description;  // default db_nullstr
  char *detail;
  Arr *lastids;     // next-id cache: key name -> largest id (values not owned)
  Tbl *tables;      // Table by table id, made on first use (owned)
  Arr *tablefiles;  // table name -> file path (owned texts), built on first query
};

// Index records. The index code builds them; the table owns them (Table.indexes) and
// releases them with dbfree_index.
struct KeyComponent {
  int field;  // field number, -1 for an expression
  int type;
  int offset;  // of the value in an entry
  int size;
  Expression *expression;  // compiled expression (owned), or none
  int range_end;
};

struct KeyElement {
  int type;
  int offset;
  int size;
};

struct Jig {
  int database, table, field, record;
  Tbl *keys;        // key names (owned texts)
  Tbl *components;  // KeyComponent (owned)
  Tbl *elements;    // KeyElement (owned)
  int size;         // bytes of one entry
  int range;
};

// Byte keys of `count` entries of a jig (jig->size bytes each), from its first
// `nelements` elements: comparing two keys' bytes (unsigned, as memcmp) orders the entries
// as the element comparisons of dbcmp_sort do, ranges by their start (when `ranges`; else
// a range refuses). Texts end at their first NUL, zero-filled to the element's size; ints
// and range starts are big-endian with the sign bit flipped; doubles big-endian with the
// sign bit set for positive numbers and every bit flipped for negative ones (-0 as +0).
// False when an entry cannot be rewritten: a NaN (which orders with nothing), a refused
// type. The width of a key in *width.
bool db_byte_keys(const Jig *jig, long nelements, bool ranges, const char *entries, long count,
                  size_t *width, std::vector<unsigned char> *out);
// Word w of a byte key of `width` bytes read as big-endian 64-bit words (the bytes past the
// key zero): comparing the words in order compares the keys.
inline uint64_t db_key_word(const unsigned char *key, size_t width, size_t w) {
  unsigned char bytes[8] = {0, 0, 0, 0, 0, 0, 0, 0};
  const size_t from = 8 * w;
  if (from < width) memcpy(bytes, key + from, width - from < 8 ? width - from : 8);
  uint64_t v;
  memcpy(&v, bytes, sizeof v);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  v = __builtin_bswap64(v);
#endif
  return v;
}

// dbcmp_search and dbcmp for entries of two jigs (a laid out by `search`, b by `index`),
// with the elements looked up once: for the many searches of a join.
class DbKeyMatch {
 public:
  // Compares the elements from `from` on (those before are known equal).
  DbKeyMatch(const Jig *search, const Jig *index, long from = 0);
  int search(const char *a, const char *b) const { return match(a, b, true); }
  int exact(const char *a, const char *b) const { return match(a, b, false); }

 private:
  int match(const char *a, const char *b, bool envelope) const;
  std::vector<KeyElement> a_, b_;
};

struct Dbindex {
  Jig *search_jig;  // set by a searcher before each search (not owned)
  Jig *jig;         // owned
  Tbl *entries;     // fixed-size list of entries: int32 record number, then the key
  int indexed;
  int unique;
  int extra;
  char *name;  // owned
  char *file;  // owned, or none
};

// --- Process-wide state ---

extern std::mutex DB_global_mutex;
extern Tbl *Databases_tbl;   // Database by id; a closed one leaves none
extern Arr *Databases_root;  // descriptor path (absolute and as given) -> Database
extern int Ndatabases;       // ids handed out
extern Tbl *Schemas_tbl;     // every schema loaded
extern char *db_nullstr;     // shared empty text, never freed
extern Tbl *_db_nulltbl;     // shared empty list, never freed
extern Attribute *p_dbptr;   // describes a Dbptr field (size 16, type 142)

// Creates Schemas_tbl, Databases_tbl and Databases_root on first use. Caller holds
// DB_global_mutex.
void db_init_globals_locked(void);
// The Database of an id, or none (closed or out of range); takes DB_global_mutex.
Database *db_database(int id);

// True when the text is owned by its record (not none and not db_nullstr).
inline bool db_owned(const char *text) { return text && text != db_nullstr; }
// A new copy of text (none gives none); fatal when memory runs out.
char *db_strdup(const char *text);
// newtbl and newarr (strcmp order) that end the process when memory runs out.
Tbl *db_newtbl(long hint);
Arr *db_newarr(void);
// Replaces the text in *slot by a copy of text, freeing the old one when owned.
void db_settext(char **slot, const char *text);

// Formatting with format texts that come from schema files. Every conversion of the
// format must suit the kind of the value given for it, in order ("%8ld" or "%d" an int,
// "%.3f" a double, "%-10s" a text; "%%" stands for itself); widths and precisions are
// digits only, at most 4096. Returns 0 with the printed text in *out, or -1 when the
// format is none, empty or does not fit the values (nothing is printed then).
enum { DBFMT_INT = 1, DBFMT_DOUBLE = 2, DBFMT_STRING = 3 };
struct DbFormatValue {
  int kind;
  int i;
  double d;
  const char *s;
};
int db_format(std::string *out, const char *format, const DbFormatValue *values, int n);

// --- Constructors and destructors (new.cpp) ---

Database *new_database(void);
Schema *new_schema(void);
Relation *new_relation(void);
Attribute *new_attribute(void);
Field *new_field(void);
Table *new_table(void);
Jig *new_jig(void);
Dbindex *new_dbindex(void);

// Builds the scratch record of a table (blanks, or for a view, pointers to the scratch
// records of its base tables). 0 or dbINVALID.
int new_scratch(Dbptr db, Table *table);
// Builds the null record of the relation of db. 0 or dbINVALID.
int new_null(Dbptr db);

int dbfree_database(Database *database);  // not its schema
void dbfree_schema(Schema *schema);
void dbfree_relation(Relation *relation);
void dbfree_attribute(Attribute *attribute);
void dbfree_field(Field *field);
int dbfree_table(Table *table);
void dbfree_jig(Jig *jig);
void dbfree_index(Dbindex *index);
// Releases the compiled expression of a key component. The expression code provides
// dbex_free; until it is linked here this releases nothing, since no key component can
// hold an expression before the expression compiler exists.
void dbjig_free_expression(Expression *expression);

// Turns db into records; the outputs are cleared first and may be none. Returns
// dbDATABASE, dbTABLE, dbFIELD, dbRECORD or dbINVALID. db is never changed.
int dbresolve(Dbptr db, Database **database, Relation **relation, Table **table, Field **field,
              char **address, int *size);

// The attribute a field describes: its own, or p_dbptr for a table reference.
Attribute *db_field_attribute(const Field *field);

// --- Descriptors (dbopen.cpp) ---

// 1 parameter-file form, 0 two-line form, dbINVALID.
int dbread_descriptor(Database *database, const char *path);
void dbset_locks_from_env(Database *database);
void dbset_idserver_from_env(Database *database);

// --- Table files (map_table.cpp) ---

int find_path(const char *dbname, const char *table, const char *dbpath, std::string *path);
void set_table_names(Database *database, Relation *relation, Table *table);
Table *init_table(Database *database, Relation *relation);
int attempt_open_table(Database *database, Table *table, int create);
int remap_table(Database *database, Table *table, struct stat *st);
int map_table(Database *database, Relation *relation, int create);
int unmap_table(Database *database, Table *table);
int _dblock(Database *database, Table *table);
// While one lives on a thread, tables mapped by that thread are mapped to their last whole
// record at once: the appender that set it cuts a torn tail under the table lock instead
// of waiting for the rest of the record as a reader does. Without locking the appender
// waits as a reader does; a table then found of invalid length is not mapped again (nor
// waited for, nor reported) until the outermost one ends.
class DbAppendScope {
 public:
  DbAppendScope();
  ~DbAppendScope();
  DbAppendScope(const DbAppendScope &) = delete;
  DbAppendScope &operator=(const DbAppendScope &) = delete;
};
int _dbunlock(Database *database, Table *table);
char *dblockname(const char *path);
int mklockfile(const char *lockname);
// 0 found (its path in *path), -1 not (*path empty).
int find_schemafile(std::string *path, const char *name, const char *dbname);

// --- Lookup (dblookup.cpp) ---

// Reads the saved view `name` at `path` (dbread_view) into a pointer to the new view;
// {database, dbINVALID, dbINVALID, record} when it cannot be read.
Dbptr dblookup_saved_view(Dbptr db, const char *path, const char *name);

// --- Schemas (open_schema.cpp, dbadd_relation.cpp, dblex.cpp) ---

// Compiles one input into schema: from fd when fd >= 0, else from text. dbname is the
// database name Include searches from; filename names the input in messages. 0 on
// success, non-zero on failure.
int compile_schema(Schema *schema, int fd, const char *text, const char *dbname,
                   const char *filename);
int dbadd_attribute(Schema *schema, Attribute *attribute);
int dbadd_relation(Schema *schema, Relation *relation);
int dbadd_like_relation(Schema *schema, Relation *relation, const char *like);
void verify_range_order(Relation *relation);
int align(int n);
int cmpattr(Attribute *a, Attribute *b);
Schema *open_schema(const char *names, const char *dbname);
int add_extension(Dbptr db, Schema *schema, const char *table);

// Writes the next argument of a dbputv-style list, taken as the C type of attribute `a`'s
// type, into the field text at `address` (`size` bytes). Returns 0, 1 when the value
// overflowed the field (*shown then holds the field text as overflow messages show it),
// or dbINVALID (registered) for a type no argument carries.
int db_put_arg(const Attribute *a, va_list *ap, char *address, int size, const char *name,
               const char *table, std::string *shown);

// Adds n records of db's table size, lying one after another, as dbadd would one by one
// (an in-memory table without indexes takes them in one copy). 0 or dbINVALID.
int db_add_records(Dbptr db, const char *records, long n);

// --- Resolving the table behind a pointer (dbtarget.cpp) ---

// What dbresolve finds behind a pointer.
struct DbTarget {
  Database *database = nullptr;
  Relation *relation = nullptr;
  Table *table = nullptr;
  char *address = nullptr;
  int size = 0;
};
// Resolves db with its field (and, for db_target_table, its record) set to dbALL.
// Returns the level dbresolve gives.
int db_target_table(Dbptr db, DbTarget *out);
int db_target_record(Dbptr db, DbTarget *out);
// The null record of the table of db, or none.
char *db_null_record(Dbptr db);
// Copies n bytes at `address` of a table's data to out. Bytes of a mapped table file are
// read from the file itself, so that a file another process has just shortened gives a
// failure (logged) instead of a fault; other data is copied. 0 or dbINVALID.
int db_copy_out(const Table *table, const char *address, size_t n, char *out);
// The table's file path, or its name for a table without one, for messages.
const char *db_table_label(const Table *table);

// Holds the table lock of a table file for a scope; in-memory tables (and a table given
// as none) are not locked.
class DbTableLock {
 public:
  DbTableLock(Database *database, Relation *relation, Table *table);
  ~DbTableLock() { release(); }
  DbTableLock(const DbTableLock &) = delete;
  DbTableLock &operator=(const DbTableLock &) = delete;
  bool held() const { return ok_; }
  // Releases the lock now; 0 or dbINVALID (a failed unlock).
  int release();

 private:
  Database *database_;
  Table *table_;
  bool locked_ = false;
  bool ok_ = false;
};
