// How the file system the command runs on takes names: what a name taken from a URL becomes so
// that it stays one plain file in the output folder, and when two paths name the same file.
#ifndef ZVNET_CLI_FILENAMES_H_
#define ZVNET_CLI_FILENAMES_H_

#include <string>
#include <string_view>

// `leaf` (the last part of a URL's path, cut at '/' and '\') as a name of one plain file in
// the output folder; empty when nothing usable is left. Linux: "." and ".." are unusable.
// Windows also: what the system would read as a separator, a stream (':') or a wildcard
// becomes '_', trailing dots and spaces go (the system drops them), and a device name (CON,
// NUL, COM1, LPT1..., with or without an extension) gets a '_' in front.
std::string PlainFileName(std::string_view leaf);

// `path` in a form that is equal for two paths exactly when the file system takes them as
// the same file: as it is on Linux; on Windows, case folded with one kind of separator.
std::string SameFileKey(const std::string& path);

#endif  // ZVNET_CLI_FILENAMES_H_
