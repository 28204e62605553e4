// Ids from 1 to INT_MAX, handed out in turn. After INT_MAX the count starts again at 1 and
// passes over the ids that its owner still uses, so that no id is given twice while in use
// and the count never overflows.
//
// Threads: not synchronised; the owner draws and sets under its own lock.
#ifndef ZVNET_FRAME_IDSEQUENCE_H_
#define ZVNET_FRAME_IDSEQUENCE_H_

#include <climits>

class CIdSequence {
 public:
  CIdSequence() = default;
  CIdSequence(const CIdSequence&) = delete;
  CIdSequence& operator=(const CIdSequence&) = delete;

  // The next id for which inUse(id) is false. Ids in use are bounded by memory, far below
  // INT_MAX, so the search always ends.
  template <class InUse>
  int Draw(InUse&& inUse) {
    for (;;) {
      const int id = next;
      next = id == INT_MAX ? 1 : id + 1;
      if (!inUse(id)) return id;
    }
  }

  // For tests of the wrap: the id the next draw considers first (below 1 counts as 1).
  void SetNextForTesting(int id) { next = id < 1 ? 1 : id; }

 private:
  int next = 1;
};

#endif  // ZVNET_FRAME_IDSEQUENCE_H_
