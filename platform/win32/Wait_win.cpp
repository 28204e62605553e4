// Windows: the waits are the system's, over the objects' handles.
#include "platform/win32/Wait.h"

#include <vector>

DWORD WaitForSingleObject(const CWaitable& object, DWORD timeoutMs) {
  return ::WaitForSingleObject(object.WaitHandle(), timeoutMs);
}

DWORD WaitForMultipleObjects(std::span<const CWaitable* const> objects, DWORD timeoutMs) {
  if (objects.empty() || objects.size() > MAXIMUM_WAIT_OBJECTS) return WAIT_FAILED;
  std::vector<HANDLE> handles;
  handles.reserve(objects.size());
  for (const CWaitable* object : objects) handles.push_back(object->WaitHandle());
  return ::WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                                  timeoutMs);
}

DWORD WaitForMultipleObjects(std::initializer_list<const CWaitable*> objects, DWORD timeoutMs) {
  return WaitForMultipleObjects(std::span<const CWaitable* const>(objects.begin(), objects.size()),
                                timeoutMs);
}
