#include "tests/support/ScopedEnv.h"

#include <cstdlib>

CScopedEnv::CScopedEnv(const char* name, const std::optional<std::string>& value) : name(name) {
  if (const char* old = std::getenv(name)) previous = old;
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}

CScopedEnv::~CScopedEnv() {
  if (previous) {
    ::setenv(name, previous->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}
