// Sets (or, with nullopt, removes) an environment variable for the life of the object, and
// puts back what was there before.
#ifndef ZVNET_TESTS_SUPPORT_SCOPEDENV_H_
#define ZVNET_TESTS_SUPPORT_SCOPEDENV_H_

#include <cstdlib>
#include <optional>
#include <string>

class CScopedEnv {
 public:
  CScopedEnv(const char* name, const std::optional<std::string>& value) : name(name) {
    if (const char* old = std::getenv(name)) previous = old;
    Set(value);
  }
  ~CScopedEnv() { Set(previous); }
  CScopedEnv(const CScopedEnv&) = delete;
  CScopedEnv& operator=(const CScopedEnv&) = delete;

 private:
  void Set(const std::optional<std::string>& value) {
    value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
  }

  const char* name;
  std::optional<std::string> previous;
};

#endif  // ZVNET_TESTS_SUPPORT_SCOPEDENV_H_
