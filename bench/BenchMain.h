// What the plain benchmark programs (one case per process) share: the
// environment's settings, rusage times, and main's error report.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>

namespace vix::bench {

inline std::string Env(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v && *v ? v : fallback;
}

inline int64_t Micros(const timeval& t) {
  return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_usec;
}

// `run`'s exit code; an exception is reported as "program: message", code 1.
inline int RunMain(const char* program, int (*run)(int, char**), int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", program, e.what());
    return 1;
  }
}

}  // namespace vix::bench
