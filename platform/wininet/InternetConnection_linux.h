// A stand-in WinINet connection: the server and the credentials its requests use. It opens
// nothing itself; connections are pooled by the engine across requests and sessions.
#ifndef ZVNET_PLATFORM_WININET_INTERNETCONNECTION_LINUX_H_
#define ZVNET_PLATFORM_WININET_INTERNETCONNECTION_LINUX_H_

#include <string>

#include "platform/wininet/InternetHandle_linux.h"

class CInternetConnection : public CInternetHandle {
 public:
  CInternetConnection(std::shared_ptr<CInternetHandle> session, std::string host,
                      INTERNET_PORT port, std::string user, std::string password, DWORD_PTR context)
      : CInternetHandle(INTERNET_HANDLE_TYPE_CONNECT_HTTP, std::move(session), context),
        host(std::move(host)),
        port(port),
        user(std::move(user)),
        password(std::move(password)) {}

  const std::string host;
  const INTERNET_PORT port;
  const std::string user;
  const std::string password;
};

#endif  // ZVNET_PLATFORM_WININET_INTERNETCONNECTION_LINUX_H_
