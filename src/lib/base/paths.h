// paths.h - path texts, file and directory queries and the install root.
//
// Ownership: every function that produces a text returns a new text (malloc) that the
// caller frees with free(); a none result means failure (the reason is registered in the
// error log where the comment says so). Arguments are never changed. Out of memory is
// fatal (OUT_OF_MEMORY).
//
// Path texts are handled lexically: "." components and repeated or trailing slashes are
// dropped, and "x/.." pairs cancel without asking the file system, so a ".." after a
// symbolic link is taken on the text, not on the link's target. A path that begins with
// "~" or "~/" stands for the home directory ($HOME, else the password entry of the
// process's user), "~name" for the home directory of user name; an unknown user leaves the
// text as written.
//
// Locking: no function keeps state shared between threads; all of them may be called
// from any thread. Those that read the
// environment see it as it is at the call, so no thread should change it meanwhile.
#pragma once

// The lexical normal form of `path`: "~" expanded, "." components and repeated slashes
// dropped, "x/.." pairs removed, no trailing slash. ".." at the start of a relative path
// stays; ".." above the root is the root. An empty path gives ".". Examples: "a//b/./c/"
// -> "a/b/c", "/../x" -> "/x", "a/../.." -> "..". None for a none path.
char *cleanpath(const char *path);

// `path` made absolute against the current directory, in the normal form of cleanpath;
// "" gives the current directory. The path need not exist; symbolic links are not
// resolved. None (registered "abspath: ...") when the current directory cannot be had.
char *abspath(const char *path);

// `b` appended to the directory `a`, cleaned: an absolute `b` stands alone, an empty
// (or none) `a` gives `b`, an empty `b` gives `a`. concatpaths("/db", "../wf/x") ->
// "/wf/x"; concatpaths("", "") -> ".".
char *concatpaths(const char *a, const char *b);

// The path that leads from directory `start` (none: the current directory) to `path`,
// both first made absolute: "." when they are the same, otherwise components of `path`
// after "../" for each component of `start` not shared. relpath("/a/b/c", "/a/x") ->
// "../b/c". None when abspath fails.
char *relpath(const char *path, const char *start);

// Splits `path` into its directory part and its last component, the way the dirname and
// basename commands do: trailing slashes are ignored; "a/b/" -> "a", "b"; "b" -> ".", "b";
// "/b" -> "/", "b"; "/" -> "/", "/"; "" -> ".", "". `dir` and `base` each receive a new
// text when they are not none. Returns 0, or -1 for a none path (outputs untouched).
int dirbase(const char *path, char **dir, char **base);

// dirbase, with the last component split once more at its last "." into base and suffix
// (the suffix without the dot): "/d/x.tar.gz" -> "/d", "x.tar", "gz". A name without a dot,
// a name whose only dot is its first character (".profile", "..") and a name that ends in
// its dot ("x.") have the suffix "" and keep the whole name as base. Each output that is
// not none receives a new text. Returns 0, or -1 for a none path.
int parsepath(const char *path, char **dir, char **base, char **suffix);

// The names of the entries of directory `dir`, without "." and "..", sorted by byte
// value. With flag 1 the hidden names (beginning with ".") are left out too. *names
// receives a new array of new texts ending in none (free each name, then the array);
// the result is the number of names. -1 (registered "dirfiles: ...", *names none) when
// the directory cannot be read.
int dirfiles(const char *dir, int flag, char ***names);

// Looks for a data file: `filename` below each directory of the ':'-separated list in
// the environment variable `envname` (none or unset: no list), in order, then below the
// install root's "data" directory (getvantrel()/data). An absolute `filename` is taken
// as it is. Returns the first path that exists, a new text, or none when there is none.
// Example: datafile("SCHEMA_DIR", "schemas/css3.0") with SCHEMA_DIR=/site/data finds
// /site/data/schemas/css3.0 before /opt/vantrel/data/schemas/css3.0.
char *datafile(const char *envname, const char *filename);

// `text` with each "$NAME" and "${NAME}" replaced by the value of the environment
// variable NAME (a NAME is a letter or "_" followed by letters, digits and "_"); an unset
// variable gives "", as in the shell. A "$" that does not begin such a reference, and a
// "${" without its "}", stay as written. A new text; none for a none text.
char *expand_env(const char *text);

// 1 when `path` is a directory, a regular file, or anything at all (symbolic links are
// followed, so a dangling link is not present); 0 otherwise and for none.
int is_dir(const char *path);
int is_file(const char *path);
int is_present(const char *path);

// Makes the directory `dir` with every missing parent (mode 0777 before the umask).
// 0 when it exists as a directory afterwards, also when it already did; -1 (registered
// "makedir: ...", with the system error where there is one) when `dir` is empty or none,
// when a part of it exists but is no directory, or when a mkdir fails.
int makedir(const char *dir);

// The install root of the suite: the value of the environment variable VANTREL when it
// is set and not empty (trailing slashes removed), else "/opt/vantrel". Libraries live in
// <root>/lib and data files (datafile) in <root>/data. The text belongs to the calling
// thread and stays valid until its next call of getvantrel.
const char *getvantrel(void);
