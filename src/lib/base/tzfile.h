// tzfile.h - the time zones of zone names: compiled zone files (format versions 1 to 4,
// with the rule text for times past their tables) read from the zone folder, and a
// zone's offset at a moment.
//
// "UTC", "GMT", "UT" and "Z" (any case) are known without files; any other name is a
// relative path under $TZDIR (else /usr/share/zoneinfo). Zone files are outside bytes:
// tzfile_parse refuses what does not follow the format. Zones that count leap seconds
// are refused.
//
// Locking: the zones read so far are kept in a cache by file path under one mutex; a
// Zone is immutable once made and shared, so the results may be used from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

struct ZoneType {
  int32_t utoff = 0;  // seconds east of UTC
  bool isdst = false;
  std::string abbr;
};

// A rule text of the form "std offset [dst [offset] [,start[/time],end[/time]]]".
struct PosixRule {
  ZoneType std_type, dst_type;
  bool has_dst = false;
  struct When {
    char kind = 'M';  // 'J' day 1-365 without Feb 29, 'D' day 0-365, 'M' month/week/day
    int a = 0, b = 0, c = 0;
    int32_t time = 7200;  // seconds after local midnight
  } start, end;
};

struct Zone {
  std::vector<int64_t> times;    // transition times, ascending
  std::vector<uint8_t> indices;  // type after each transition
  std::vector<ZoneType> types;   // at least one
  std::optional<PosixRule> rule;
};

// The zone of a compiled zone file's bytes; none when they do not follow the format.
std::shared_ptr<const Zone> tzfile_parse(const std::string &data);
// The zone of a name (see above), read once and cached; none when the name is not a
// valid relative path or its file cannot be read or parsed.
std::shared_ptr<const Zone> tzfile_find(std::string_view name);
// The type (offset, abbreviation) in force at UTC second t.
const ZoneType &tzfile_type_at(const Zone &z, int64_t t);
// The UTC second of local second `local`: in a gap (clocks set forward) the offset from
// before the gap, in a repeated hour the earlier moment.
int64_t tzfile_local_to_utc(const Zone &z, int64_t local);
