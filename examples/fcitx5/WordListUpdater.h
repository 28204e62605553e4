// Keeps the local word list file fresh from a URL with ZvHttp, as a user's data file should
// be: a cut download is resumed from its kept part, a file already there is asked for with
// If-Modified-Since (its time is the server's Last-Modified), and only a whole new body
// replaces it.
//
// Made, used and destroyed on one thread (fcitx5's), which runs zvnet's deliveries; the
// callback `changed` runs there when a new file is in place. Owns one ZvHttp worker.
#ifndef ZVNET_EXAMPLES_FCITX5_WORDLISTUPDATER_H_
#define ZVNET_EXAMPLES_FCITX5_WORDLISTUPDATER_H_

#include <zvnet/zvnet.h>

#include <functional>
#include <string>

class CWordListUpdater {
 public:
  CWordListUpdater(std::string path, std::function<void()> changed);
  ~CWordListUpdater();
  CWordListUpdater(const CWordListUpdater&) = delete;
  CWordListUpdater& operator=(const CWordListUpdater&) = delete;

  // Starts a fetch of `url` into the file, stopping one still running. An empty URL fetches
  // nothing.
  void Fetch(const std::string& url);

 private:
  static int ZV_STDCALL OnTaskEvent(int taskId, unsigned long userParam, DOWNLOAD_ERRORCODE code,
                                    tagDataOut* out);
  void Finish(DOWNLOAD_ERRORCODE code, const tagDataOut* out);

  std::string path;
  std::function<void()> changed;
  int worker = 0;
  int task = 0;  // the fetch running, 0 for none
};

#endif  // ZVNET_EXAMPLES_FCITX5_WORDLISTUPDATER_H_
