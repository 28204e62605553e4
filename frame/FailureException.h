// The library's failure exception, raised only for programming errors (a null URL, a length
// that cannot be represented). It never crosses the exported boundary.
#ifndef ZVNET_FRAME_FAILUREEXCEPTION_H_
#define ZVNET_FRAME_FAILUREEXCEPTION_H_

#include <exception>

#include "platform/win32/WinTypes.h"

class CFailureException : public std::exception {
 public:
  explicit CFailureException(HRESULT code) : code(code) {}
  HRESULT Code() const { return code; }
  const char* what() const noexcept override { return "zvnet failure"; }

 private:
  HRESULT code;
};

#endif  // ZVNET_FRAME_FAILUREEXCEPTION_H_
