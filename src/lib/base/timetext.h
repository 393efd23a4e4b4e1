// timetext.h - time texts: reading and writing epoch times, and calendar arithmetic.
//
// An epoch time is a double: seconds since 1970-01-01 00:00:00 UTC, leap seconds not
// counted, negative before 1970. Dates use the proleptic Gregorian calendar. All
// arithmetic is done in 64-bit integers and doubles, never through time_t, so the same
// results come out on machines whose time_t is 32 bits.
//
// Calendar range: texts are written and read for the years 0000 through 9999 (years are
// always four digits). epoch2str of a finite time outside that range, after rounding,
// writes the time as a plain number ("%.3f", or "%.17g" for magnitudes of 1e15 and
// more), which str2epoch reads back; of a non-finite time it writes "nan", "inf" or
// "-inf".
//
// Texts that str2epoch and zstr2epoch read (white space around the text is ignored;
// h, m, s take one or two digits, Y exactly four, the fraction any number):
//   M/D/Y h:m:s[.f]        also with the day of the year: "M/D/Y (DDD) h:m:s[.f]"
//   Y-M-D h:m:s[.f]        also "Y-M-DTh:m:s[.f]", optionally followed by "Z"
//   YYYYDDD:h:m:s[.f]      also "YYYYDDD h:m:s[.f]"
//   any of the dates alone (the start of that day); seconds may be left out ("h:m")
//   a plain number of seconds: [+-]digits[.digits][e[+-]digits], finite. A run of
//   exactly seven digits alone is the date YYYYDDD, not a number: write "1234567.0" for
//   that many seconds.
// A seconds value of 60 (a leap second) counts as the first second of the next minute.
// Every field is checked (month 1-12, day within its month, day of year within its year,
// hour 0-23, minute 0-59), and "(DDD)" must agree with the date.
//
// Time zones: zstr2epoch and zepoch2str take zone names. "UTC", "GMT", "UT" and "Z" are
// known without files; any other name is read from the compiled zone files of the system
// (the folder named by the environment variable TZDIR, else /usr/share/zoneinfo), parsed
// here, including the rule text at their end for times past their table. The TZ
// environment variable is never read or set, and nothing here calls localtime, so these
// functions are safe to call from several threads at once: the only shared state is a
// cache of the zone files read so far, guarded by one mutex (entries are immutable once
// cached). Zone files that count leap seconds ("right/" zones) are refused.
//
// Ownership: every char * result is a new text that the caller frees with free().
// Allocation failure is fatal (OUT_OF_MEMORY).
#pragma once

// The epoch time of a time text (forms above). On failure it registers
// "str2epoch: can't read the time '<text>'\n" with elog_log and returns 0.0: callers that
// must tell a failure apart use zstr2epoch.
double str2epoch(const char *text);

// The same forms, optionally followed by white space and a zone name; the date and time
// are then local times of that zone (a plain number is refused with a zone other than
// UTC). A local time that falls in a gap of the zone (clocks set forward) is read with
// the offset in force before the change; one that occurs twice gives the earlier epoch.
// Returns 0 and stores the time in *epoch; returns -1 when the text or the zone cannot
// be read, leaving *epoch as it was and registering nothing (the caller reports).
int zstr2epoch(const char *text, double *epoch);

// A new text of the UTC time in `format`, a strftime-like format:
//   %Y year (4 digits)  %y year in the century  %C century  %m month  %d day of month
//   %e day of month, blank-padded  %j day of year (3 digits)  %H hour  %I hour (12-hour)
//   %p AM/PM  %M minute  %S second  %s milliseconds (3 digits)  %T "%H:%M:%S"
//   %R "%H:%M"  %D "%m/%d/%y"  %F "%Y-%m-%d"  %b/%h month name, abbreviated  %B month name
//   %a weekday, abbreviated  %A weekday  %u weekday 1-7 (Monday 1)  %w weekday 0-6
//   (Sunday 0)  %Z zone abbreviation  %z offset "+hhmm"  %n newline  %t tab  %% "%".
// Any other "%x" is copied as it stands. When the format holds "%s" the time is first
// rounded to the nearest millisecond (so 59.9996 s becomes the next minute, carrying into
// hour, day and year); otherwise it is cut down to the whole second, as strftime does.
// A null format gives a null result.
char *epoch2str(double epoch, const char *format);

// The same in the named zone (a null or empty zone is UTC). Returns null, with a message
// registered with elog_log, when the zone cannot be read.
char *zepoch2str(double epoch, const char *format, const char *zone);

// Fixed texts of a UTC time, each read back by str2epoch:
//   strtime    "%m/%d/%Y %H:%M:%S.%s"        "01/10/2005 12:00:00.000" (to the millisecond)
//   strydtime  "%m/%d/%Y (%j) %H:%M:%S.%s"   "01/10/2005 (010) 12:00:00.000" (likewise)
//   strdate    "%m/%d/%Y"                    "01/10/2005" (reads back as the day's start)
char *strtime(double epoch);
char *strydtime(double epoch);
char *strdate(double epoch);

// An interval as text in the largest fitting unit, four significant digits at most:
// "0.5 seconds", "1 second", "2.5 minutes", "1 hour", "3 days", "1.5 years" (365.25
// days). Negative intervals carry a "-"; non-finite ones give "inf seconds" and the like.
char *strtdelta(double seconds);

// The time of the start of day `yd` = year * 1000 + day of year (floor division, so the
// day part is 0-999). Days count on from January 1 with no check: a day past the end of
// the year rolls into the next year, day 0 is the last day of the year before.
double epoch(int yd);

// The year-day number (year * 1000 + day of year) of an epoch time; -1 when the time is
// not finite or not within the years 0 through 9999.
int yearday(double epoch);

// Splits a time into year, day of year (1-366), hour, minute and seconds with their
// fraction (0 <= second < 60). Returns 0; returns -1 and stores zeros when the time is not
// finite or not within the years 0 through 9999.
int e2h(double epoch, int *year, int *doy, int *hour, int *minute, double *second);

// The epoch time of a year, day of year, hour, minute and seconds. No field is checked:
// each counts on linearly (day 367 of a common year is January 2 of the next year, hour
// 25 is 1 o'clock the next day), so any int values give a finite result.
double h2e(int year, int doy, int hour, int minute, double second);

// The day of the year of a date: the days of the months before `month` plus `mday`
// (a day past the month's end counts on into the next months). Returns -1 when month is
// not 1-12; the result saturates at the int limits.
int mday2doy(int year, int month, int mday);

// The month (1-12) and day of the month of a day of the year. Returns 0; returns -1 when
// doy is not within the year (1 to 365 or 366), leaving the outputs unchanged.
int doy2mday(int doy, int year, int *month, int *mday);
