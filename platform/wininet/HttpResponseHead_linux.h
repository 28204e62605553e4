// One response head as libcurl hands it, line by line: the status line and fields kept as
// received ("\r\n" separated, ending with the blank line), and the status code. A plain value;
// its owner guards it.
#ifndef ZVNET_PLATFORM_WININET_HTTPRESPONSEHEAD_LINUX_H_
#define ZVNET_PLATFORM_WININET_HTTPRESPONSEHEAD_LINUX_H_

#include <string>
#include <string_view>

class CHttpResponseHead {
 public:
  // Takes one line (with its line end); a status line starts a new head. Answers true when
  // the line was the blank one that ends the head.
  bool AddLine(std::string_view line);
  void Clear();

  int Status() const { return status; }
  // 1xx: an interim answer (100 Continue) that a final head follows.
  bool IsInterim() const { return status >= 100 && status < 200; }
  bool IsRedirect() const;
  const std::string& Raw() const { return raw; }
  // The reason phrase of the status line, empty when there is none.
  std::string StatusText() const;
  // The value of the first field `name` (any case), trimmed; false when absent.
  bool Find(std::string_view name, std::string& value) const;

  // Decides which field says where the body ends; false when none can. With
  // Transfer-Encoding the body ends as its last coding says, and a Content-Length beside it
  // is dropped from the head (as RFC 9112 asks): libcurl ignores it already, and a reader
  // that took it would cut the body there. A Transfer-Encoding whose last coding is not
  // "chunked" beside a Content-Length, or two Content-Length values that disagree, leave the
  // body's end unknown: such a head is refused as a whole.
  bool SettleBodyLength();

 private:
  void DropContentLength();

  std::string raw;
  int status = 0;
};

#endif  // ZVNET_PLATFORM_WININET_HTTPRESPONSEHEAD_LINUX_H_
