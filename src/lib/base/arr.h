// arr.h - Arr, a key-ordered associative array from text keys to pointers.
//
// Keys are copied; values are not owned (freearr passes each to the function given).
// keysarr and valsarr list in ascending byte order of the keys. No lock: one thread at a
// time.
#pragma once

struct Tbl;
struct Arr;

Arr *newarr(int (*compare)(const char *, const char *));  // none: strcmp order
void freearr(Arr *arr, void (*free_value)(void *));
// Stores value under key; returns the value it replaced (none when the key was new).
void *setarr(Arr *arr, const char *key, void *value);
void *getarr(const Arr *arr, const char *key);  // none when absent
void *delarr(Arr *arr, const char *key);        // removes; returns the old value or none
long cntarr(const Arr *arr);
Tbl *keysarr(const Arr *arr);  // a new list whose texts belong to the array
Tbl *valsarr(const Arr *arr);  // a new list of the values in key order
// Calls fn(key, value, arg) for each entry in key order; returns how many calls returned
// non-zero.
long applyarr(Arr *arr, int (*fn)(const char *key, void *value, void *arg), void *arg);
// A new list of the values whose keys match the extended regular expression `pattern`
// as a whole; none when the pattern does not compile.
Tbl *greparr(const char *pattern, const Arr *arr);
