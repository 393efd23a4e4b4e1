// dbadd_relation.cpp - adding compiled attributes and relations to a schema: the record
// layout of a relation (field offsets, record size), the layout of views from the
// relations they name, "Like" copies, key-order checks and attribute comparison.
//
// The schema takes ownership of what is added. Called by the schema compiler (under its
// mutex) and by the view code; nothing here locks.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "base/arr.h"
#include "base/elog.h"
#include "base/oom.h"
#include "base/tbl.h"
#include "reldb/dbinternal.h"

namespace {

// Widest record a relation may have; fields that would end beyond it are refused, so
// that offsets and sizes always fit an int and a record can be allocated.
constexpr long long kMaxRecord = 1 << 24;

bool same_text(const char *a, const char *b) {
  if (!a || !b) return a == b;
  return strcmp(a, b) == 0;
}

const char *shown(const char *t) { return t ? t : "(*empty*)"; }

Tbl *copy_list(Tbl *list) {
  if (!list || list == _db_nulltbl) return list;
  Tbl *copy = db_newtbl(maxtbl(list));
  for (long i = 0; i < maxtbl(list); i++)
    pushtbl(copy, db_strdup(static_cast<const char *>(gettbl(list, i))));
  return copy;
}

void free_list(Tbl *list) {
  if (list && list != _db_nulltbl) freetbl(list, free);
}

Relref *new_relref(Relation *relation, int first, int kind, int offset) {
  Relref *r = static_cast<Relref *>(calloc(1, sizeof(Relref)));
  if (!r) OUT_OF_MEMORY(sizeof(Relref), "relref");
  r->relation = relation;
  r->first = first;
  r->kind = kind;
  r->offset = offset;
  return r;
}

Field *make_field(int index, int offset, int table, int is_ref, void *target) {
  Field *f = static_cast<Field *>(calloc(1, sizeof(Field)));
  if (!f) OUT_OF_MEMORY(sizeof(Field), "field");
  f->index = index;
  f->offset = offset;
  f->table = table;
  f->is_ref = is_ref;
  f->target = target;
  return f;
}

bool has_name(Tbl *list, const char *name) {
  for (long i = 0; list && i < maxtbl(list); i++)
    if (same_text(static_cast<const char *>(gettbl(list, i)), name)) return true;
  return false;
}

}  // namespace

int align(int n) { return (n % 8 == 0) ? n : n + (8 - n % 8); }

int cmpattr(Attribute *a, Attribute *b) {
  int n = 0;
  if (a->size != b->size) {
    elog_log(0, "sizes differ: %d != %d\n", a->size, b->size);
    n++;
  }
  if (a->type != b->type) {
    elog_log(0, "data types differ: %d != %d\n", a->type, b->type);
    n++;
  }
  auto differ = [](const char *x, const char *y) { return !same_text(x, y); };
  if (differ(a->null, b->null)) {
    elog_log(0, "nulls differ: '%s' != '%s'\n", shown(a->null), shown(b->null));
    n++;
  }
  if (differ(a->format, b->format)) {
    elog_log(0, "formats differ: '%s' != '%s'\n", shown(a->format), shown(b->format));
    n++;
  }
  if (differ(a->range, b->range)) {
    elog_log(0, "range differs: '%s' != '%s'\n", shown(a->range), shown(b->range));
    n++;
  }
  if (differ(a->units, b->units)) {
    elog_log(0, "units differ: '%s' != '%s'\n", shown(a->units), shown(b->units));
    n++;
  }
  if (differ(a->description, b->description)) {
    elog_log(0, "descriptions differ: '%s' != '%s'\n", shown(a->description),
             shown(b->description));
    n++;
  }
  if (differ(a->detail, b->detail)) {
    elog_log(0, "details differ:\n'%s'\n   !=\n'%s'\n", shown(a->detail), shown(b->detail));
    n++;
  }
  return n;
}

int dbadd_attribute(Schema *schema, Attribute *attribute) {
  attribute->id = schema->nattributes++;
  if (attribute->size < 0 || attribute->size > (1 << 20)) {
    elog_log(0, "Attribute %s has a size of %d bytes\n", attribute->name, attribute->size);
    return dbINVALID;
  }
  Attribute *old = static_cast<Attribute *>(getarr(schema->attributes, attribute->name));
  if (old) {
    if (cmpattr(attribute, old)) {
      elog_log(0, "conflicting Attribute %s in schema %s\n", attribute->name,
               schema->name ? schema->name : "");
      return dbINVALID;
    }
    dbfree_attribute(attribute);
    return 0;
  }
  setarr(schema->attributes, attribute->name, attribute);
  pushtbl(schema->attribute_names, attribute->name);
  return 0;
}

void verify_range_order(Relation *relation) {
  struct {
    Tbl *list;
    const char *which;
  } keys[] = {{relation->primary, "Primary"}, {relation->alternate, "Alternate"}};
  for (auto &k : keys) {
    bool range = false;
    for (long i = 0; k.list && i < maxtbl(k.list); i++) {
      const char *name = static_cast<const char *>(gettbl(k.list, i));
      if (strstr(name, "::"))
        range = true;
      else if (range)
        elog_complain(0, "found key %s following range in %s key for relation %s", name, k.which,
                      relation->name);
    }
  }
}

int dbadd_relation(Schema *schema, Relation *relation) {
  int result = 0;
  if (same_text(relation->name, "Anonymous")) {
    char name[32];
    snprintf(name, sizeof name, "View%d", schema->nrelations);
    db_settext(&relation->name, name);
  }
  relation->id = schema->nrelations++;
  long long offset = 0;
  int fieldno = 0;
  const int sep = relation->separator ? 1 : 0;
  if (!relation->fields) relation->fields = db_newtbl(10);
  if (!relation->field_names) relation->field_names = db_newtbl(10);
  if (!relation->field_arr) relation->field_arr = db_newarr();
  if (!relation->relrefs) relation->relrefs = db_newtbl(2);
  if (!relation->reftables) relation->reftables = db_newtbl(2);

  for (long i = 0; relation->fieldlist && i < maxtbl(relation->fieldlist); i++) {
    char *name = static_cast<char *>(gettbl(relation->fieldlist, i));
    Relation *base = static_cast<Relation *>(getarr(schema->relation_arr, name));
    if (base) {
      // A view naming a relation: one Dbptr slot per table that relation refers to,
      // followed in the field list by that table's attribute fields.
      if (!relation->has_refs) relation->has_refs = 1;
      offset = align((int)offset);
      for (long j = 0; base->relrefs && j < maxtbl(base->relrefs); j++) {
        Relref *rr = static_cast<Relref *>(gettbl(base->relrefs, j));
        Relation *target = rr->relation;
        if (offset + 16 > kMaxRecord) {
          elog_log(0, "Table %s doesn't fit in relation %s\n", target->name, relation->name);
          result = dbINVALID;
          break;
        }
        pushtbl(relation->relrefs, new_relref(target, fieldno, RELREF_TABLE, (int)offset));
        pushtbl(relation->reftables, db_strdup(target->name));
        for (long k = 0; target->fields && k < maxtbl(target->fields); k++) {
          Field *f = static_cast<Field *>(gettbl(target->fields, k));
          if (f->is_ref || f->table != target->id) continue;
          pushtbl(relation->fields, make_field(f->index, (int)offset, target->id, 0, f->target));
          pushtbl(relation->field_names, static_cast<Attribute *>(f->target)->name);
          fieldno++;
        }
        offset += 16;
      }
      continue;
    }
    const char *dot = strchr(name, '.');
    const char *attrname = dot ? dot + 1 : name;
    Attribute *a = static_cast<Attribute *>(getarr(schema->attributes, attrname));
    if (!a) {
      elog_log(0, "Attribute %s in relation %s not found\n", name, relation->name);
      result = dbINVALID;
      continue;
    }
    if (offset + a->size > kMaxRecord) {
      elog_log(0, "Field %s doesn't fit in relation %s\n", name, relation->name);
      result = dbINVALID;
      continue;
    }
    relation->has_fields = 1;
    Field *f = make_field(fieldno++, (int)offset, relation->id, 0, a);
    pushtbl(a->relations, relation->name);
    pushtbl(relation->fields, f);
    pushtbl(relation->field_names, name);
    offset += a->size + sep;
    if (setarr(relation->field_arr, name, f)) {
      elog_log(0, "Field %s used more than once in relation %s\n", a->name, relation->name);
      result = dbINVALID;
    }
  }
  long long size = offset - sep + (relation->terminator ? 1 : 0);
  relation->size = (int)(size > 0 ? size : 0);
  relation->nattr_fields = (int)maxtbl(relation->fields);

  if (getarr(schema->relation_arr, relation->name))
    elog_log(0, "Duplicate relation %s in schema %s\n", relation->name,
             schema->name ? schema->name : "");
  setarr(schema->relation_arr, relation->name, relation);
  settbl(schema->relations, relation->id, relation);
  settbl(schema->relation_names, relation->id, relation->name);
  if (schema->tablenames && !has_name(schema->tablenames, relation->name))
    pushtbl(schema->tablenames, db_strdup(relation->name));

  if (relation->has_fields) unshifttbl(relation->relrefs, new_relref(relation, 0, RELREF_SELF, 0));
  relation->nrelrefs = (int)maxtbl(relation->relrefs);
  relation->nfields = relation->nattr_fields + relation->nrelrefs;
  for (long j = 0; j < relation->nrelrefs; j++) {
    Relref *rr = static_cast<Relref *>(gettbl(relation->relrefs, j));
    Field *f = make_field(fieldno++, rr->offset, relation->id, 1, rr->relation);
    pushtbl(relation->fields, f);
    pushtbl(relation->field_names, rr->relation->name);
    if (rr->kind == RELREF_TABLE && !getarr(relation->field_arr, rr->relation->name))
      setarr(relation->field_arr, rr->relation->name, f);
  }

  verify_range_order(relation);

  if (relation->defines) {
    Field *f = static_cast<Field *>(getarr(relation->field_arr, relation->defines));
    if (!f || f->is_ref) {
      elog_log(0, "Defines field %s is not a field in relation %s\n", relation->defines,
               relation->name);
      result = dbINVALID;
    } else {
      static_cast<Attribute *>(f->target)->defined_by = relation->name;
      free(setarr(schema->defines, relation->defines, db_strdup(relation->name)));
    }
  }
  return result;
}

int dbadd_like_relation(Schema *schema, Relation *relation, const char *like) {
  Relation *src = like ? static_cast<Relation *>(getarr(schema->relation_arr, like)) : nullptr;
  if (!src) {
    elog_log(0, "Can't find relation %s to make like relation %s\n", like ? like : "",
             relation->name);
    return dbINVALID;
  }
  // The copy gets lists of its own, so that dropping either relation leaves the other
  // whole.
  db_settext(&relation->like, src->name);
  relation->separator = src->separator;
  relation->terminator = src->terminator;
  if (src->transient) relation->transient = src->transient;
  free_list(relation->fieldlist);
  relation->fieldlist = copy_list(src->fieldlist);
  free_list(relation->primary);
  relation->primary = copy_list(src->primary);
  free_list(relation->alternate);
  relation->alternate = copy_list(src->alternate);
  free_list(relation->foreign);
  relation->foreign = copy_list(src->foreign);
  if (db_owned(relation->defines)) free(relation->defines);
  relation->defines = nullptr;
  return dbadd_relation(schema, relation);
}
