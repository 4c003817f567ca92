// What the codec's command-line tools share in reading their command line:
// errors said in one line that point to --help, and the version line.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace cli {

// A usage error of `tool`: `format` (with at most one %s, `value`) on one
// line, and where to read more. Returns the exit status for bad usage, 2.
inline int usage_error(const char* tool, const char* format, const char* value = "") {
  std::fprintf(stderr, "%s: ", tool);
  std::fprintf(stderr, format, value);
  std::fprintf(stderr, " (%s --help tells more)\n", tool);
  return 2;
}

// The usage error for what getopt_long returned as ':' (an option without
// its value) or '?' (an option it does not know); `argv[optind - 1]` names it.
inline int option_error(const char* tool, int code, const char* option) {
  return usage_error(tool, code == ':' ? "%s needs a value" : "unknown option \"%s\"", option);
}

// A whole number from `low` to `high` written in full as `text`.
inline bool parse_number(const char* text, int32_t low, int32_t high, int32_t* value) {
  char* end = nullptr;
  errno = 0;
  const long n = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || n < low || n > high) return false;
  *value = static_cast<int32_t>(n);
  return true;
}

// "TOOL (jpegcodec) VERSION" on standard output; exit status 0.
inline int print_version(const char* tool, const char* version) {
  std::printf("%s (jpegcodec) %s\n", tool, version);
  return 0;
}

}  // namespace cli
