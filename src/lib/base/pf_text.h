// pf_text.h - the lexical pieces of parameter-file text (see pf.h), shared by its readers:
// the parameter-file reader and the bounded reader of state files. Stateless.
#pragma once

#include <string_view>

namespace pftext {

inline constexpr std::string_view kArrOpen = "&Arr{";
inline constexpr std::string_view kTblOpen = "&Tbl{";
inline constexpr std::string_view kLitOpen = "&Literal{";

inline bool is_blank(char c) { return c == ' ' || c == '\t'; }

// `s` without its leading and trailing blanks and tabs.
inline std::string_view trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && is_blank(s[b])) b++;
  while (e > b && is_blank(s[e - 1])) e--;
  return s.substr(b, e - b);
}

// What may follow "}", "&Arr{" and "&Tbl{" on their line.
inline bool blank_or_comment(std::string_view s) {
  s = trim(s);
  return s.empty() || s[0] == '#';
}

// Whether a value opens a block.
inline bool starts_with_opener(std::string_view s) {
  return s.starts_with(kArrOpen) || s.starts_with(kTblOpen) || s.starts_with(kLitOpen);
}

// A value without the one pair of quotes around it, when it has them.
inline std::string_view unquote(std::string_view v) {
  if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
  return v;
}

}  // namespace pftext
