// Sends the logging library's lines to a private file for the life of the object, with every
// level enabled, so tests can look for the lines the library writes.
#ifndef ZVNET_TESTS_SUPPORT_LOGCAPTURE_H_
#define ZVNET_TESTS_SUPPORT_LOGCAPTURE_H_

#include <chrono>
#include <string>
#include <vector>

class CLogCapture {
 public:
  CLogCapture();
  ~CLogCapture();
  CLogCapture(const CLogCapture&) = delete;
  CLogCapture& operator=(const CLogCapture&) = delete;

  std::vector<std::string> Lines() const;
  // Lines that contain `text`.
  int Count(const std::string& text) const;
  bool Contains(const std::string& text) const { return Count(text) > 0; }
  // Waits, without pumping, until a line contains `text`.
  bool WaitFor(const std::string& text, std::chrono::milliseconds deadline) const;

 private:
  std::string path;
};

#endif  // ZVNET_TESTS_SUPPORT_LOGCAPTURE_H_
