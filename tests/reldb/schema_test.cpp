// Schema language and schema compilation: tokens, grammar and recovery, messages,
// includes, record layout, views, Like copies, attribute conflicts and schema loading.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/arr.h"
#include "base/paths.h"
#include "base/tbl.h"
#include "dbfixture.h"

namespace {

struct Compiled {
  Schema *schema = new_schema();
  int result = 0;
  std::string log;
  Compiled(const std::string &text, const std::string &dbname = "/nonexistent/db") {
    take_registered();
    result = compile_schema(schema, -1, text.c_str(), dbname.c_str(), "*t*");
    log = take_registered();
  }
  ~Compiled() { dbfree_schema(schema); }
  Attribute *attr(const char *name) {
    return static_cast<Attribute *>(getarr(schema->attributes, name));
  }
  Relation *rel(const char *name) {
    return static_cast<Relation *>(getarr(schema->relation_arr, name));
  }
};

const char *kThree =
    "Attribute a String (6) ;\n"
    "Attribute b Real (17) ;\n"
    "Attribute c Integer (8) ;\n";

int offset_of(Relation *r, int i) { return static_cast<Field *>(gettbl(r->fields, i))->offset; }

}  // namespace

TEST(SchemaLanguage, TokensAndGrammar) {
  struct Case {
    const char *text;
    bool ok;
    const char *attribute;  // an attribute that must exist afterwards
  } cases[] = {
      {"Attribute relation Integer (4) ; Attribute RELATION Integer (4) ;", true, "RELATION"},
      {"Attribute Relation Integer (4) ;", false, nullptr},
      {"Attribute a Integer (123a) ;", false, nullptr},
      {"Attribute a Integer (-5) ;", false, nullptr},
      {"Attribute 1.5 Integer (3) ;", true, "1.5"},
      {"Attribute sta::chan Integer (3) ;", true, "sta::chan"},
      {"Attribute %s$x Integer (3) ;", true, "%s$x"},
      {"Attribute 123 Integer (3) ;", false, nullptr},
      {"Attribute a ;", false, nullptr},
      {"", false, nullptr},
      {"# only a comment\n", false, nullptr},
      {"# comment\nAttribute a Integer (1) ; # trailing\n", true, "a"},
      {"Attribute a Integer (1) ; # no newline", false, "a"},
      {"Attribute \"quoted name\" Integer (1) Units ( {m/s} ) ;", true, "quoted name"},
      {"Schema s Description ( \"d\" ) Detail { x } Timedate t ;", true, nullptr},
      {"Schema s ;", true, nullptr},
      {"Relation r ;", false, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    Compiled s(c.text);
    EXPECT_EQ(s.result == 0, c.ok) << s.log;
    if (c.attribute) {
      EXPECT_NE(s.attr(c.attribute), nullptr);
    }
  }
}

TEST(SchemaLanguage, ClausesSetTheirMembers) {
  Compiled s(std::string(kThree) +
             "Attribute d Time (17) Format ( \"%17.5f\" ) Null ( \"-1\" ) Units ( s ) "
             "Range ( \"d > 0\" ) Description ( \"the d\" ) Detail { long } "
             "Format ( \"%17.3f\" ) ;\n"
             "Relation r Fields ( a b ) Fields ( a c ) Primary ( a ) Alternate ( c ) "
             "Foreign ( b ) Defines c Transient Description ( \"rel\" ) Detail { more } ;\n"
             "Schema named Description ( \"sd\" ) Timedate d ;\n");
  ASSERT_EQ(s.result, 0) << s.log;
  Attribute *d = s.attr("d");
  EXPECT_EQ(d->type, dbTIME);
  EXPECT_EQ(d->size, 17);
  EXPECT_STREQ(d->format, "%17.3f");  // the later clause wins
  EXPECT_STREQ(d->null, "-1");
  EXPECT_STREQ(d->units, "s");
  EXPECT_STREQ(d->range, "d > 0");
  EXPECT_STREQ(d->description, "the d");
  EXPECT_STREQ(d->detail, "long ");  // a block keeps its last blank
  EXPECT_EQ(d->added, 1);
  Relation *r = s.rel("r");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(maxtbl(r->fieldlist), 2);  // the later list replaces the earlier
  EXPECT_STREQ(static_cast<char *>(gettbl(r->fieldlist, 1)), "c");
  EXPECT_STREQ(static_cast<char *>(gettbl(r->primary, 0)), "a");
  EXPECT_STREQ(static_cast<char *>(gettbl(r->alternate, 0)), "c");
  EXPECT_STREQ(static_cast<char *>(gettbl(r->foreign, 0)), "b");
  EXPECT_EQ(r->transient, 1);
  EXPECT_STREQ(r->defines, "c");
  EXPECT_STREQ(r->detail, "more ");
  EXPECT_STREQ(static_cast<char *>(getarr(s.schema->defines, "c")), "r");
  EXPECT_EQ(s.attr("c")->defined_by, r->name);
  EXPECT_STREQ(s.schema->name, "named");
  EXPECT_STREQ(s.schema->description, "sd");
  EXPECT_STREQ(s.schema->timedate, "d");
}

TEST(SchemaLanguage, Blocks) {
  struct Case {
    const char *block;
    const char *text;
  } cases[] = {
      {"{    }", ""},
      {"{\n\n}", ""},
      {"{}", ""},
      {"{ one line }", "one line "},
      {"{\n    first\n      second\n    third\n}", "first\n  second\nthird\n"},
      {"{\n  a { nested } b\n  }", "a { nested } b\n"},
      {"{\n    x\n\ty\n}", "x\n    y\n"},      // a tab within the indentation gives 8-4 blanks
      {"{\n  x\n  \ty\n}", "x\n        y\n"},  // a tab past the indentation: 8 blanks
      {"{\n  x\n  }", "x\n"},
      {"{\n  cut short", "cut short ;"},  // the end of input ends the block
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.block);
    Compiled s(std::string("Schema s Detail ") + c.block + " ;");
    EXPECT_STREQ(s.schema->detail, c.text);
  }
}

TEST(SchemaLanguage, LongTextsAreCut) {
  std::string big(10000, 'x');
  Compiled s("Schema s Description ( \"" + big + "\" ) Detail {" + big + "} ;");
  EXPECT_EQ(s.result, 0);
  EXPECT_EQ(strlen(s.schema->description), 8184u);
  EXPECT_EQ(strlen(s.schema->detail), 8184u);
}

TEST(SchemaLanguage, ErrorMessagesAndRecovery) {
  struct Case {
    const char *text;
    const char *message;
  } cases[] = {
      {"Bogus ;", "db : parse error at 'Bogus' near line #1 of *t*\n"},
      {"Attribute a Integer (4) Bogus ;\nAttribute b Integer (2) ;",
       "db : parse error at 'Bogus' while compiling attribute 'a' near line #1 of *t*\n"},
      {"Relation r\n Fields ( x ) 12 ;",
       "db : parse error at '12' while compiling relation 'r' near line #2 of *t*\n"},
      {"Schema sname Timedate ;", "db : parse error at ';' while compiling schema 'sname'"},
      {"Attribute a Detail \"two\nlines\" Units 3 ;",
       "db : parse error at '3' while compiling attribute 'a' near line #2 of *t*\n"},
      // The token shown is cut at 25 characters and at its first control character.
      {"Attribute a Integer (1) abcdefghijklmnopqrstuvwxyz0123 ;",
       "parse error at 'abcdefghijklmnopqrstuvwxy' while"},
      {"Attribute a Integer (1) Units \"x\ty\" ;", "parse error at '\"x' while"},
      // An error after a statement's ";" still names that statement.
      {"Relation r Fields ( nosuch ) ;", "Attribute nosuch in relation r not found\n"},
      {"Relation r Fields ( nosuch ) ;",
       "db : bad relation at '' while compiling relation 'r' near line #1 of *t*\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.text);
    Compiled s(c.text);
    EXPECT_NE(s.result, 0);
    EXPECT_NE(s.log.find(c.message), std::string::npos) << s.log;
  }
  // Statements after an error are still compiled.
  Compiled s("Attribute a Integer (4) Bogus ;\nAttribute b Integer (2) ;");
  EXPECT_EQ(s.attr("a"), nullptr);
  EXPECT_NE(s.attr("b"), nullptr);
}

TEST(SchemaLanguage, StatementNamesAreCutInMessages) {
  std::string name(300, 'n');
  Compiled s("Attribute " + name + " Integer (1) Bogus ;");
  EXPECT_NE(s.log.find("attribute '" + name.substr(0, 200) + "' near"), std::string::npos);
  EXPECT_EQ(s.log.find(name.substr(0, 201)), std::string::npos);
}

TEST(SchemaLanguage, Includes) {
  TempDir dir;
  dir.write("inner", "Attribute inner Integer (2) ;\nAttribute bad Integer (2) Bogus ;\n");
  dir.write("middle", "Include inner\nAttribute middle Integer (3) ;\n");
  dir.write("semi;", "Attribute semi Integer (1) ;\n");
  std::string dbname = dir.file("db");
  {
    // The inner file is found beside the database, not beside the including file, and
    // its lines are counted on from the Include line.
    Compiled s("\n\nInclude middle\nAttribute outer Integer (1) ;\n", dbname);
    EXPECT_NE(s.attr("inner"), nullptr);
    EXPECT_NE(s.attr("middle"), nullptr);
    EXPECT_NE(s.attr("outer"), nullptr);
    EXPECT_NE(s.log.find("while compiling attribute 'bad' near line #4 of " + dir.file("inner")),
              std::string::npos)
        << s.log;
  }
  {
    Compiled s("Include semi; Attribute x Integer (1) ;", dbname);
    EXPECT_EQ(s.result, 0) << s.log;
    EXPECT_NE(s.attr("semi"), nullptr);
  }
  {
    Compiled s("Attribute x Integer (1) ;\nInclude nosuch\nAttribute y Integer (1) ;", dbname);
    EXPECT_NE(s.result, 0);
    EXPECT_NE(s.log.find("Couldn't find 'nosuch' to include at line 2 of file *t*"),
              std::string::npos);
    EXPECT_EQ(s.attr("y"), nullptr);  // the input ends there
  }
  {
    dir.write("self", "Include self\n");
    Compiled s("Include self", dbname);
    EXPECT_NE(s.result, 0);
    EXPECT_NE(s.log.find("Includes nested more than 10 deep"), std::string::npos);
  }
  {
    // The first included file with an extension directory gives the schema's.
    makedir(dir.file("middle.ext").c_str());
    dir.write("middle.ext/extra", "Relation extra Fields ( middle ) ;\n");
    Compiled s("Include middle", dbname);
    EXPECT_STREQ(s.schema->extdir, (dir.file("middle") + ".ext").c_str());
    // The extension directory's files count as table names.
    bool listed = false;
    for (long i = 0; i < maxtbl(s.schema->tablenames); i++)
      listed |= strcmp(static_cast<char *>(gettbl(s.schema->tablenames, i)), "extra") == 0;
    EXPECT_TRUE(listed);
  }
}

TEST(SchemaCompile, RecordLayout) {
  struct Case {
    const char *separator;
    int size;
    int offsets[3];
  } cases[] = {
      {"", 34, {0, 7, 25}},
      {"Separator ( \"\" )", 32, {0, 6, 23}},
      {"Separator ( \" \" \"\" )", 33, {0, 7, 25}},
      {"Separator ( \":\" \";\" )", 34, {0, 7, 25}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.separator);
    Compiled s(std::string(kThree) + "Relation r Fields ( a b c ) " + c.separator + " ;");
    ASSERT_EQ(s.result, 0) << s.log;
    Relation *r = s.rel("r");
    EXPECT_EQ(r->size, c.size);
    for (int i = 0; i < 3; i++) EXPECT_EQ(offset_of(r, i), c.offsets[i]);
    EXPECT_EQ(r->nattr_fields, 3);
    EXPECT_EQ(r->nrelrefs, 1);  // the relation itself
    EXPECT_EQ(r->nfields, 4);
  }
  Compiled s(std::string(kThree) + "Relation r Fields ( a b ) Separator ( \":\" \";\" ) ;");
  EXPECT_EQ(s.rel("r")->separator, ':');
  EXPECT_EQ(s.rel("r")->terminator, ';');
}

TEST(SchemaCompile, FieldsNamedWithTheirTable) {
  Compiled s(std::string(kThree) + "Relation r Fields ( x.a c ) ;");
  ASSERT_EQ(s.result, 0) << s.log;
  Relation *r = s.rel("r");
  Field *f = static_cast<Field *>(getarr(r->field_arr, "x.a"));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->target, s.attr("a"));
  EXPECT_STREQ(static_cast<char *>(gettbl(r->field_names, 0)), "x.a");
}

TEST(SchemaCompile, FaultyRelationsAreAddedAndFail) {
  struct Case {
    const char *relation;
    const char *message;
    int nattr;
  } cases[] = {
      {"Relation r Fields ( a nosuch c ) ;", "Attribute nosuch in relation r not found\n", 2},
      {"Relation r Fields ( a b a ) ;", "Field a used more than once in relation r\n", 3},
      {"Relation r Fields ( a b ) Defines c ;", "Defines field c is not a field in relation r\n",
       2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.relation);
    Compiled s(std::string(kThree) + c.relation);
    EXPECT_NE(s.result, 0);
    EXPECT_NE(s.log.find(c.message), std::string::npos) << s.log;
    EXPECT_NE(s.log.find("bad relation"), std::string::npos);
    ASSERT_NE(s.rel("r"), nullptr);
    EXPECT_EQ(s.rel("r")->nattr_fields, c.nattr);
  }
}

TEST(SchemaCompile, ViewsOfRelations) {
  Compiled s(std::string(kThree) +
             "Relation one Fields ( a b ) ;\n"
             "Relation two Fields ( c ) ;\n"
             "Relation v Fields ( one two ) ;\n"
             "Relation Anonymous Fields ( v ) ;\n");
  ASSERT_EQ(s.result, 0) << s.log;
  Relation *v = s.rel("v");
  ASSERT_NE(v, nullptr);
  EXPECT_TRUE(v->has_refs);
  EXPECT_FALSE(v->has_fields);
  EXPECT_EQ(v->nrelrefs, 2);
  EXPECT_EQ(v->nattr_fields, 3);
  EXPECT_EQ(v->size, 32);
  Relref *r0 = static_cast<Relref *>(gettbl(v->relrefs, 0));
  Relref *r1 = static_cast<Relref *>(gettbl(v->relrefs, 1));
  EXPECT_EQ(r0->offset, 0);
  EXPECT_EQ(r1->offset, 16);
  EXPECT_EQ(r1->first, 2);
  // Field 2 (c) comes from table two at its own index 0 through the second slot.
  Field *c = static_cast<Field *>(gettbl(v->fields, 2));
  EXPECT_EQ(c->table, s.rel("two")->id);
  EXPECT_EQ(c->index, 0);
  EXPECT_EQ(c->offset, 16);
  // The base tables are fields of the view under their names.
  EXPECT_NE(getarr(v->field_arr, "two"), nullptr);
  // A view of a view is flattened to the base tables, and "Anonymous" gets a number.
  Relation *w = s.rel("View3");
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->nrelrefs, 2);
  EXPECT_EQ(static_cast<Relref *>(gettbl(w->relrefs, 1))->relation, s.rel("two"));
}

TEST(SchemaCompile, LikeRelations) {
  Compiled s(std::string(kThree) +
             "Relation base Fields ( a b c ) Separator ( \":\" ) Primary ( a ) Defines c "
             "Transient ;\n"
             "Relation copy Fields ( a ) Like base Description ( \"mine\" ) ;\n"
             "Relation lost Like nosuch ;\n");
  EXPECT_NE(s.result, 0);
  EXPECT_NE(s.log.find("Can't find relation nosuch to make like relation lost\n"),
            std::string::npos);
  EXPECT_NE(s.log.find("bad Like relation"), std::string::npos);
  EXPECT_EQ(s.rel("lost"), nullptr);
  Relation *copy = s.rel("copy");
  ASSERT_NE(copy, nullptr);
  EXPECT_STREQ(copy->like, "base");
  EXPECT_EQ(copy->nattr_fields, 3);
  EXPECT_EQ(copy->separator, ':');
  EXPECT_TRUE(copy->transient);
  EXPECT_EQ(copy->defines, nullptr);
  EXPECT_STREQ(copy->description, "mine");
  EXPECT_EQ(copy->size, s.rel("base")->size);
  // The copy's lists are its own.
  EXPECT_NE(copy->fieldlist, s.rel("base")->fieldlist);
}

TEST(SchemaCompile, AttributeRepeatsAndConflicts) {
  Compiled same(
      "Attribute a Integer (4) Format ( \"%4d\" ) ;\n"
      "Attribute a Integer (4) Format ( \"%4d\" ) ;\n");
  EXPECT_EQ(same.result, 0) << same.log;
  EXPECT_EQ(same.log, "");
  EXPECT_EQ(maxtbl(same.schema->attribute_names), 1);

  Compiled differ(
      "Attribute a Integer (4) Format ( \"%4d\" ) ;\n"
      "Attribute a Real (5) Format ( \"%5.1f\" ) Null ( \"x\" ) ;\n");
  EXPECT_NE(differ.result, 0);
  for (const char *m : {"sizes differ: 5 != 4\n", "data types differ: 3 != 2\n",
                        "nulls differ: 'x' != '(*empty*)'\n", "formats differ: '%5.1f' != '%4d'\n",
                        "conflicting Attribute a in schema", "bad attribute"})
    EXPECT_NE(differ.log.find(m), std::string::npos) << m << "\n" << differ.log;
  EXPECT_EQ(differ.attr("a")->type, dbINTEGER);  // the first one stays

  Compiled huge("Attribute a String (99999999999) ;");
  EXPECT_NE(huge.result, 0);
  EXPECT_EQ(huge.attr("a"), nullptr);
}

TEST(SchemaCompile, DuplicateRelationReplacesTheEarlier) {
  Compiled s(std::string(kThree) +
             "Schema s ;\nRelation r Fields ( a ) ;\nRelation r Fields ( a b ) ;\n");
  EXPECT_EQ(s.result, 0);
  EXPECT_NE(s.log.find("Duplicate relation r in schema s\n"), std::string::npos);
  EXPECT_EQ(s.rel("r")->nattr_fields, 2);
  EXPECT_EQ(s.schema->nrelations, 2);
  EXPECT_EQ(maxtbl(s.schema->relations), 2);
}

TEST(SchemaCompile, KeyRangeOrder) {
  ElogCapture capture;
  {
    Compiled s(std::string(kThree) + "Relation r Fields ( a b c ) Primary ( a b::c ) ;");
    EXPECT_FALSE(capture.contains("following range"));
  }
  {
    Compiled s(std::string(kThree) +
               "Relation r Fields ( a b c ) Primary ( b::c a ) Alternate ( b::c c ) ;");
    EXPECT_EQ(s.result, 0);
    EXPECT_TRUE(capture.contains("found key a following range in Primary key for relation r"));
    EXPECT_TRUE(capture.contains("found key c following range in Alternate key for relation r"));
    EXPECT_STREQ(static_cast<char *>(gettbl(s.rel("r")->primary, 1)), "a");
  }
}

TEST(SchemaCompile, Align) {
  for (auto [in, out] : {std::pair{0, 0}, {1, 8}, {8, 8}, {9, 16}, {23, 24}})
    EXPECT_EQ(align(in), out);
}

TEST(OpenSchema, LoadsAndChecks) {
  clear_db_env();
  TempDir dir;
  std::string db = dir.file("db");
  dir.write("good",
            "Schema good Timedate t ;\nAttribute t Time (17) ;\nAttribute a Integer (4) ;\n"
            "Relation r Fields ( a t ) ;\n");
  dir.write("second", "Relation r Fields ( a ) ;\nRelation q Fields ( t ) ;\n");
  dir.write("realtime", "Schema x Timedate t ;\nAttribute t Real (17) ;\n");
  dir.write("notime", "Schema x Timedate t ;\nAttribute a Real (17) ;\n");
  dir.write("conflict", "Attribute a Integer (4) Format ( \"%8d\" ) ;\n");
  dir.write("broken", "Attribute ;\n");
  makedir(dir.file("good.ext").c_str());
  makedir(dir.file("second.ext").c_str());
  take_registered();

  Schema *s = open_schema("good:second", db.c_str());
  ASSERT_NE(s, nullptr) << take_registered();
  EXPECT_STREQ(s->requested, "good:second");
  EXPECT_STREQ(s->extdir, (dir.file("good") + ".ext").c_str());
  EXPECT_NE(take_registered().find("Duplicate relation r in schema good\n"), std::string::npos);
  EXPECT_EQ(static_cast<Relation *>(getarr(s->relation_arr, "r"))->nattr_fields, 1);
  {
    std::lock_guard<std::mutex> lock(DB_global_mutex);
    for (long i = maxtbl(Schemas_tbl) - 1; i >= 0; i--)
      if (gettbl(Schemas_tbl, i) == s) deltbl(Schemas_tbl, i);
  }
  dbfree_schema(s);

  struct Case {
    const char *names;
    const char *message;
  } cases[] = {
      {"realtime", "Timedate attribute 't' not of type dbTIME.\n"},
      {"notime", "Timedate attribute 't' not defined.\n"},
      {"good:conflict", "formats differ: '%8d' != ''\n"},
      {"good:conflict", "Parsing error in input schema\n"},
      {"broken", "Parsing error in input schema\n"},
      {"good:nosuch", "Can't open schema file 'nosuch'.\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.names);
    EXPECT_EQ(open_schema(c.names, db.c_str()), nullptr);
    EXPECT_NE(take_registered().find(c.message), std::string::npos);
  }
}

TEST(OpenSchema, SchemaDirectoryIsSearched) {
  clear_db_env();
  TempDir dir;
  makedir(dir.file("schemas").c_str());
  dir.write("schemas/remote", "Attribute a Integer (4) ;\n");
  setenv("SCHEMA_DIR", dir.path().c_str(), 1);
  std::string found;
  EXPECT_EQ(find_schemafile(&found, "remote", "/elsewhere/db"), 0);
  EXPECT_EQ(found, dir.file("schemas/remote"));
  EXPECT_EQ(find_schemafile(&found, "nosuch", "/elsewhere/db"), -1);
  EXPECT_EQ(found, "");
  unsetenv("SCHEMA_DIR");
}

TEST(DatabaseSchema, CompileExtensionsAndTables) {
  DemoDb demo;
  makedir(demo.dir.file("demo1.0.ext").c_str());
  demo.dir.write("demo1.0.ext/remark",
                 "Attribute commid Integer (8) ;\nAttribute remark String (80) ;\n"
                 "Relation remark Fields ( commid remark ) ;\n");
  demo.dir.write("demo1.0.ext/empty", "Attribute lonely Integer (3) ;\n");
  ASSERT_EQ(demo.open(), 0) << take_registered();
  Dbptr db = demo.db;

  // An extension is compiled when its table is first named.
  Dbptr t = dblookup(db, nullptr, "remark", nullptr, nullptr);
  EXPECT_GE(t.table, 0);
  EXPECT_EQ(dbquery(t, dbRECORD_SIZE, nullptr), 8 + 1 + 80 + 1);
  {
    ElogCapture capture;
    Dbptr e = dblookup(db, nullptr, "empty", nullptr, nullptr);
    EXPECT_EQ(e.table, dbINVALID);
    EXPECT_TRUE(capture.contains("** extension file for empty doesn't define empty **"));
  }

  // dbcompile wants a database pointer, and marks what it adds.
  EXPECT_EQ(dbcompile(t, "Attribute z Integer (1) ;"), dbINVALID);
  EXPECT_NE(take_registered().find("dbcompile requires db pointer to database\n"),
            std::string::npos);
  ASSERT_EQ(dbcompile(db, "Attribute z Integer (1) ; Relation zz Fields ( z sta ) ;"), 0);
  Dbptr zz = dblookup(db, nullptr, "zz", nullptr, nullptr);
  Relation *r;
  dbresolve(zz, nullptr, &r, nullptr, nullptr, nullptr, nullptr);
  EXPECT_EQ(r->added, 1);
  EXPECT_NE(dbcompile(db, "Attribute ;"), 0);

  // dbtables: the relations that use an attribute.
  Tbl *users = dbtables(db, "chanid");
  std::string names;
  for (long i = 0; i < maxtbl(users); i++)
    names += std::string(static_cast<char *>(gettbl(users, i))) + " ";
  EXPECT_EQ(names, "sitechan sensor wfdisc ");
  EXPECT_EQ(maxtbl(dbtables(db, "nosuch")), 0);
  Tbl *viaf = nullptr;
  dbtables_(&db, "stax", 3, &viaf);
  EXPECT_GE(maxtbl(viaf), 5);

  // A supplemental schema file.
  demo.dir.write("supplement", "Attribute extra Integer (2) ;\n");
  EXPECT_EQ(dbadd_schema(db, demo.dir.file("supplement").c_str()), 0);
  EXPECT_EQ(dbadd_schema(db, demo.dir.file("nosuch").c_str()), -1);
  EXPECT_NE(take_registered().find("Can't open supplemental schema file"), std::string::npos);
}
