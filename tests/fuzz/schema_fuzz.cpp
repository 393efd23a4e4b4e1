// schema_fuzz - the schema compiler over arbitrary text: every input compiles or fails
// cleanly, and whatever the schema holds afterwards is consistent: each relation's fields
// lie inside its record, and the relation can be released.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/arr.h"
#include "base/elog.h"
#include "base/tbl.h"
#include "reldb/dbinternal.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::string text(reinterpret_cast<const char *>(data), size);
  text.resize(strlen(text.c_str()));
  Schema *schema = new_schema();
  // Includes are looked for beside a database that does not exist.
  compile_schema(schema, -1, text.c_str(), "/nonexistent/fuzz/db", "*fuzz*");
  for (long i = 0; i < maxtbl(schema->relations); i++) {
    Relation *r = static_cast<Relation *>(gettbl(schema->relations, i));
    if (!r) continue;
    if (r->nfields != maxtbl(r->fields) || r->nfields != maxtbl(r->field_names)) abort();
    for (long j = 0; j < maxtbl(r->fields); j++) {
      Field *f = static_cast<Field *>(gettbl(r->fields, j));
      long width = f->is_ref ? 16 : static_cast<Attribute *>(f->target)->size;
      // Attribute fields of the relation itself lie inside its record.
      if (!f->is_ref && f->table == r->id && (f->offset < 0 || f->offset + width > r->size))
        abort();
    }
  }
  dbfree_schema(schema);
  elog_clear_register(0);
  return 0;
}
