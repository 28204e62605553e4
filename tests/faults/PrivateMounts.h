// Runs a test body on a thread with a mount namespace of its own, so that it can mount small
// or read-only file systems that nobody else sees. Threads the body starts (library workers)
// inherit that namespace. Needs root.
#ifndef ZVNET_TESTS_FAULTS_PRIVATEMOUNTS_H_
#define ZVNET_TESTS_FAULTS_PRIVATEMOUNTS_H_

#include <functional>
#include <string>

// False, with `body` not run, when the namespace could not be made. `body` gets a fresh
// directory on a tmpfs of `sizeBytes` mounted only for that thread.
bool RunWithPrivateTmpfs(size_t sizeBytes, const std::function<void(const std::string&)>& body);

// Makes the tmpfs at `directory` read-only (root's rights do not pass that).
bool RemountReadOnly(const std::string& directory);

#endif  // ZVNET_TESTS_FAULTS_PRIVATEMOUNTS_H_
