#include "platform/wininet/InternetHandle_linux.h"

CInternetHandle::CInternetHandle(DWORD type, std::shared_ptr<CInternetHandle> parent,
                                 DWORD_PTR context)
    : type(type), parent(std::move(parent)), context(context) {
  // A child inherits the callback in force when it is made.
  if (this->parent) callback.store(this->parent->Callback());
}

CInternetSession* CInternetHandle::Session() {
  return parent ? parent->Session() : nullptr;
}

void CInternetHandle::Notify(DWORD status, void* information, DWORD length) {
  INTERNET_STATUS_CALLBACK target = callback.load();
  if (context == 0 || target == nullptr || target == INTERNET_INVALID_STATUS_CALLBACK) return;
  target(Handle(), context, status, information, length);
}
