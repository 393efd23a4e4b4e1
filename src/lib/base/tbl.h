// tbl.h - Tbl, a growable list of pointers, and the list helpers around it.
//
// A Tbl holds pointers it does not own: freetbl and clrtbl pass each entry to the
// function given (none: entries are left alone). Indices are longs from 0. A fixed-size
// list (inittbl) holds copies of elements of one size instead of pointers; gettbl then
// returns the address of the element inside the list, which stays valid until the list
// grows. The elements of a fixed-size list lie contiguously from gettbl(tbl, 0), so
// quicksort and ssearch can work on them in place. A Tbl has no lock: one thread at a time.
#pragma once

#include <cstddef>

struct Tbl;

Tbl *newtbl(long capacity_hint);
void freetbl(Tbl *tbl, void (*free_entry)(void *));
void clrtbl(Tbl *tbl, void (*free_entry)(void *));
long maxtbl(const Tbl *tbl);           // number of entries; 0 for none
void *gettbl(const Tbl *tbl, long i);  // none when i is out of range
// Sets entry i (i == maxtbl appends; beyond that the gap is filled with none entries).
// Returns i, or -1 for a negative index.
long settbl(Tbl *tbl, long i, void *value);
long pushtbl(Tbl *tbl, void *value);         // appends; returns the new count
void *poptbl(Tbl *tbl);                      // removes the last entry; none when empty
void *shifttbl(Tbl *tbl);                    // removes the first entry; none when empty
long unshifttbl(Tbl *tbl, void *value);      // inserts at the front; returns the new count
long instbl(Tbl *tbl, long i, void *value);  // inserts before i (0..maxtbl); -1 if out of range
void *deltbl(Tbl *tbl, long i);              // removes and returns entry i; none if out of range
// A new list with the same entries, each passed through dup when one is given.
Tbl *duptbl(const Tbl *tbl, void *(*dup)(void *));
// Appends the entries of `tail` to `head`; returns head.
Tbl *cattbl(Tbl *head, const Tbl *tail);
// Calls fn(entry, arg) for each entry in order; returns how many calls returned
// non-zero.
long applytbl(Tbl *tbl, int (*fn)(void *entry, void *arg), void *arg);
// The entries, taken as texts (none entries as ""), joined by sep; a new text.
char *jointbl(const Tbl *tbl, const char *sep);
// Reads a file of text lines into a new list of new texts (newline removed). With flag
// 1, leading lines that begin with "#" are a header: they are joined (with their
// newlines) into *header, a new text, and left out of the list. Returns the list, or none
// after logging why.
Tbl *readtbl(const char *path, int flag, char **header);

// Fixed-size element lists: inittbl(capacity_hint, element_size) and addrtbl, which
// appends a copy of the element_size bytes at elem and returns the new count. gettbl on
// such a list returns the address of the stored copy; freetbl's function is not called.
Tbl *inittbl(long capacity_hint, long element_size);
long addrtbl(Tbl *tbl, const void *elem);
// Appends copies of the n elements that lie one after another at elems; returns the new
// count.
long addrtbls(Tbl *tbl, const void *elems, long n);

// Sorts `count` elements of `size` bytes in place with cmp(a, b, ctx).
void quicksort(void *base, long count, long size,
               int (*cmp)(const void *a, const void *b, void *ctx), void *ctx);
// Binary search of `key` among `count` sorted elements of `size` bytes. Returns how many
// elements compare equal (0 when none), with *first and *last the first and last equal
// positions; when none is equal, *first is the insertion position and *last = *first-1.
// With `unique` set the search stops at the first equal element found (count 1).
long ssearch(const void *key, long size, const void *base, long count, int unique,
             int (*cmp)(const void *a, const void *b, void *ctx), void *ctx, long *first,
             long *last);
// ssearch with a comparison object, cmp(key, element), that the compiler can inline.
template <typename Cmp>
long ssearch_by(const void *key, long size, const void *base, long count, int unique, Cmp cmp,
                long *first, long *last) {
  if (base == nullptr || size <= 0 || count < 0) count = 0;
  auto at = [&](long i) { return static_cast<const unsigned char *>(base) + i * size; };
  // lo: the first element not below the key.
  long lo = 0, hi = count;
  while (lo < hi) {
    long mid = lo + (hi - lo) / 2;
    int c = cmp(key, at(mid));
    if (c == 0 && unique) {
      if (first != nullptr) *first = mid;
      if (last != nullptr) *last = mid;
      return 1;
    }
    if (c > 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  // end: the first element above the key.
  long end = lo;
  hi = count;
  while (end < hi) {
    long mid = end + (hi - end) / 2;
    if (cmp(key, at(mid)) >= 0) {
      end = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (first != nullptr) *first = lo;
  if (last != nullptr) *last = end - 1;
  return end - lo;
}

// The text stack: pushstr appends a text to a growing buffer kept in *stack (made on first
// use); popstr(&stack, 1) gives the joined text (the caller frees it) and frees the
// stack; popstr(&stack, 0) frees everything and gives none.
void pushstr(void **stack, const char *text);
char *popstr(void **stack, int keep);

// Splits a text into words at blanks, tabs, commas and newlines (quotes keep a word
// together). *argc and *argv get the count and a new array of new texts ending in none;
// free with freeargs. Returns 0, or -1 on a bad argument.
int splitlist(const char *text, int *argc, char ***argv);
void freeargs(int argc, char **argv);

// A hook: an opaque pointer with the function that frees it.
struct Hook {
  void *p;
  void (*free_fn)(void *);
};
Hook *new_hook(void (*free_fn)(void *));
void free_hook(Hook **hook);
