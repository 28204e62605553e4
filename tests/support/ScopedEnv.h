// Sets (or, with nullopt, removes) an environment variable for the life of the object, and
// puts back what was there before.
#ifndef ZVNET_TESTS_SUPPORT_SCOPEDENV_H_
#define ZVNET_TESTS_SUPPORT_SCOPEDENV_H_

#include <optional>
#include <string>

class CScopedEnv {
 public:
  CScopedEnv(const char* name, const std::optional<std::string>& value);
  ~CScopedEnv();
  CScopedEnv(const CScopedEnv&) = delete;
  CScopedEnv& operator=(const CScopedEnv&) = delete;

 private:
  const char* name;
  std::optional<std::string> previous;
};

#endif  // ZVNET_TESTS_SUPPORT_SCOPEDENV_H_
