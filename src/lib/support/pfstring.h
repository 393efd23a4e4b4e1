// pfstring.h - the whole parameter-file tree as text, written key by key in the form the
// programs' status and stash packets carry. No state, no locks (the tree is the caller's).
#pragma once

struct Pf;

// A new text (free()) of the tree: each top-level key in key order, a text as "name
// value", an array as "name &Arr{" with its keys and "}", a list as "name &Tbl{" with one
// line per element and "}". None, with a registered message, for a value of unknown kind.
char *my_pf2string(Pf *pf);
