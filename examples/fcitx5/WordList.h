// The local word list: one word a line in a UTF-8 file; a word is offered while the typed text
// is a prefix of it. Used on fcitx5's thread only.
#ifndef ZVNET_EXAMPLES_FCITX5_WORDLIST_H_
#define ZVNET_EXAMPLES_FCITX5_WORDLIST_H_

#include <cstddef>
#include <string>
#include <vector>

class CWordList {
 public:
  // Replaces the words with the file's; false (words kept) when it cannot be read.
  bool Load(const std::string& path);
  // Up to `limit` words that start with `prefix` and are longer than it, in file order.
  std::vector<std::string> Complete(const std::string& prefix, size_t limit) const;
  size_t Size() const { return words.size(); }

 private:
  std::vector<std::string> words;
};

#endif  // ZVNET_EXAMPLES_FCITX5_WORDLIST_H_
