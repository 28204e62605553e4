// The per-user registry values the library reads. On Linux they live in the environment:
// the value "AppData" of "Software\Zarvo\ZarvoInput" is the variable ZVNET_APPDATA.
// Read-only; any thread (as long as the host does not change the environment meanwhile).
// On Windows they are the current user's registry values themselves (RegOpenKeyExW,
// RegQueryValueExW; platform/shell/UserRegistry_win.cpp), of type REG_SZ or REG_EXPAND_SZ,
// the text as it stands.
#ifndef ZVNET_PLATFORM_SHELL_USERREGISTRY_H_
#define ZVNET_PLATFORM_SHELL_USERREGISTRY_H_

#include <string>
#include <string_view>

// True with the value's text when it exists; an unknown key or value, an unset or empty
// variable count as a missing value.
bool QueryUserRegistryString(std::wstring_view key, std::wstring_view value, std::wstring* text);

#endif  // ZVNET_PLATFORM_SHELL_USERREGISTRY_H_
