// textutil.h - text helpers of the base layer: trimming, fixed-width field copies,
// regular-expression matching and substitution, splitting, joining, number texts and
// layout alignment.
//
// "White space" is what isspace() accepts in the C locale (blank, tab, newline, carriage
// return, vertical tab, form feed). Functions returning "a new text" return a malloc'd
// copy the caller frees with free(); running out of memory there is fatal. Regular
// expressions are POSIX extended ones. Nothing here keeps state between calls except
// what a caller's Hook holds; a Hook belongs to one thread at a time.
#pragma once

#include <regex.h>

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>

struct Hook;
struct Tbl;

// printf into a std::string (any length); a format the C library refuses gives the
// format text itself.
std::string string_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string string_vprintf(const char *format, va_list ap);
// string_printf appended to `out`.
void string_appendf(std::string &out, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// Removes leading and trailing white space from `text` in place; returns text (none for
// none).
char *strtrim(char *text);

// regcomp with REG_EXTENDED added to `cflags`, refusing first the patterns the C
// library would spend unbounded memory or time on: back-references (\1 to \9, not part
// of the extended syntax anyway) and patterns whose compiled form would pass about two
// thousand nodes (repetitions multiply: "(a*){5000}" or "a+++++++++++++++++++++++++").
// Returns 0 with *re compiled (regfree it), or an error code with *re untouched and the
// reason in why (cut to whysize; why may be none): the regcomp code, REG_ESUBREG for a
// back-reference, REG_ESPACE for a pattern too complex. Every pattern of this module
// goes through it; pattern texts from outside the program should too.
int regcomp_bounded(regex_t *re, const char *pattern, int cflags, char *why, size_t whysize);

// 1 when `pattern` matches the whole of `text` (a match that starts at its first
// character and ends at its last, as ring-buffer source selections do: "AA_.*" matches
// "AA_STA1" and "AA_" but not "XAA_STA1"); 0 when it does not or `text` is none; -1 when
// `pattern` is none or does not compile (logged). With `hook` given, the compiled pattern
// is kept in *hook (made on first use; free it with free_hook) and compiled again only
// when the pattern text changes; none compiles on every call.
int strmatches(const char *text, const char *pattern, Hook **hook);
// The unanchored flavour: 1 when `pattern` matches anywhere in `text`, with the byte
// offsets of the leftmost (then longest) match in *start and *end (end exclusive; either
// may be none); 0 when nothing matches; -1 as for strmatches. Hooks as for strmatches.
int strcontains(const char *text, const char *pattern, Hook **hook, long *start, long *end);

// Every match of the compiled `pattern` in `text`, left to right and not overlapping, is
// replaced by `replacement`, as sed's s///g does: in the replacement "&" and "\0" stand
// for the whole match, "\1" to "\9" for the subexpressions (nothing for one that did not
// take part or does not exist), "\&" and "\\" for the characters themselves; an empty
// match right after a previous match is not replaced. `pattern` must have been compiled
// without REG_NOSUB. Returns a new text (a copy of `text` when nothing matches), or none
// for a none argument.
char *patsub(const char *text, const regex_t *pattern, const char *replacement);

// Replaces every occurrence of the plain text `old` in `text` by `replacement`, scanning
// left to right and not re-scanning what was inserted. A new text; an empty or none `old`
// gives a copy; none `text` gives none.
char *strsub(const char *text, const char *old, const char *replacement);

// Splits `text` in place at the character c: each separator becomes a NUL and the list
// holds pointers into `text` (free the list with freetbl(list, none)). Runs of separators
// count as one and leading or trailing ones give no empty word, as strtok does. None for
// a none text.
Tbl *split(char *text, int c);

// Reads the next line of `file` into *line (grown with realloc as needed, the caller
// frees it; *line and *size may start as none and 0, as for getline), without its
// newline. Returns the line's length, or -1 at the end of the file, on a read error or a
// none argument.
long getaline(FILE *file, char **line, size_t *size);

// 1 when `text` is none, empty or only white space, else 0. The two names are the same
// test: blank() reads better for a line, whitespace() for the rest of a text after a
// number.
int blank(const char *text);
int whitespace(const char *text);

// Fixed-width field copies. Each reads `src` up to its first NUL or n characters,
// whichever comes first; a none `src` reads as "", a negative n as 0. Each returns dst
// (none for a none dst).
//   sncopy: stores the characters left-aligned into exactly n bytes of dst, filling the
//           rest with blanks; no NUL is written.
//   szcopy: copies the characters and a NUL: dst holds n+1 bytes.
//   copystrip: as szcopy, then removes trailing white space (a field's padding).
char *sncopy(char *dst, const char *src, long n);
char *szcopy(char *dst, const char *src, long n);
char *copystrip(char *dst, const char *src, long n);

// Natural order: like strcmp, except that runs of digits compare by their numeric value
// ("sta2" before "sta10"); texts equal in that order fall back to strcmp so that the
// order is total. None sorts before every text. Usable as an Arr order.
int nstrcmp(const char *a, const char *b);

// The texts given, up to the terminating none, joined into a new text ("" for none).
char *strconcat(const char *first, ...) __attribute__((sentinel));

// The shortest text that reads back as exactly `value`, in the shorter of the plain and
// exponent forms ("0.1", "-3", "12345.678", "1e+20", "1e-05"; "inf", "nan"), written into buf of
// `size` bytes (cut to fit, always NUL-ended when size > 0); returns buf. STRDBL_SIZE bytes always
// hold the whole text.
constexpr size_t STRDBL_SIZE = 32;
char *strdbl(double value, char *buf, size_t size);

// Reads a decimal floating-point number as strtod does (leading white space, optional
// sign, digits with an optional '.', optional exponent), but always with '.' as the
// decimal point whatever the locale, and without strtod's other forms: hexadecimal,
// "inf" and "nan" are not numbers. *end (when given) gets the position after the number.
// errno is 0 after a clean read, ERANGE when the value is out of range (the result is
// then +-HUGE_VAL, or 0 or a denormal for a tiny value), EINVAL when no number starts
// the text (result 0, *end = text).
double fix_strtod(const char *text, char **end);

// Round an offset up to the alignment of a 32-bit integer (4) and of a double (8), for
// building fixed binary layouts that read the same on every platform.
long align_int(long n);
long align_double(long n);
