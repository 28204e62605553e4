// Numbers that stand for the command's objects in the callbacks' `unsigned long` user value.
// On 64-bit Windows unsigned long holds 32 bits, too few for a pointer, so the command hands out
// small numbers (from 1) and keeps the objects they stand for; 0 stands for none.
//
// Threads: the command's main thread, which queues the requests and runs their callbacks.
// Does not own the objects, which must outlive their requests.
#ifndef ZVNET_CLI_USERVALUES_H_
#define ZVNET_CLI_USERVALUES_H_

#include <vector>

template <typename T>
class CUserValues {
 public:
  unsigned long Add(T* object) {
    objects.push_back(object);
    return static_cast<unsigned long>(objects.size());
  }
  // The object `value` stands for, or null.
  T* Find(unsigned long value) const {
    return value >= 1 && value <= objects.size() ? objects[value - 1] : nullptr;
  }

 private:
  std::vector<T*> objects;
};

#endif  // ZVNET_CLI_USERVALUES_H_
