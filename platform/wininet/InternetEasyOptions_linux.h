// Sets options on one libcurl easy handle and keeps the first failure, so that a group of
// options that must all hold reads as one block and is checked once. After a failure the
// rest of the group is not applied. Not thread-safe: used by the handle's owner.
#ifndef ZVNET_PLATFORM_WININET_INTERNETEASYOPTIONS_LINUX_H_
#define ZVNET_PLATFORM_WININET_INTERNETEASYOPTIONS_LINUX_H_

#include <curl/curl.h>

class CInternetEasyOptions {
 public:
  explicit CInternetEasyOptions(CURL* easy) : easy(easy) {}

  // `value` goes to curl_easy_setopt as given: long, pointer, curl_off_t or function.
  template <typename T>
  CInternetEasyOptions& Set(CURLoption option, T value) {
    if (result == CURLE_OK) result = curl_easy_setopt(easy, option, value);
    return *this;
  }
  CURLcode Result() const { return result; }

 private:
  CURL* const easy;
  CURLcode result = CURLE_OK;
};

#endif  // ZVNET_PLATFORM_WININET_INTERNETEASYOPTIONS_LINUX_H_
