// Sets a sysctl of one network namespace, from a thread that lives in it.
#ifndef ZVNET_TESTS_SUPPORT_NETSYSCTL_H_
#define ZVNET_TESTS_SUPPORT_NETSYSCTL_H_

#include <string>

#include "tests/support/NetNamespace.h"

// `key` as under /proc/sys ("net/ipv4/ip_forward"); true when the value was written.
bool SetNetSysctl(const CNetNamespace& ns, const std::string& key, const std::string& value);

#endif  // ZVNET_TESTS_SUPPORT_NETSYSCTL_H_
