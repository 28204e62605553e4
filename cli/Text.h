// Text helpers of the command: the library takes wide strings, the terminal speaks UTF-8.
#ifndef ZVNET_CLI_TEXT_H_
#define ZVNET_CLI_TEXT_H_

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

// Wide text is UTF-32 on Linux and UTF-16 on Windows, where a character beyond U+FFFF takes a
// surrogate pair.
std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);
// A file name given as UTF-8. Windows reads a narrow name in the ANSI code page, so files are
// opened through this rather than through the UTF-8 string itself.
std::filesystem::path PathFromUtf8(std::string_view utf8);
// "12.3 MiB"
std::string FormatBytes(uint64_t bytes);
// Text from the network (or echoed from the user) made safe for a terminal: control
// characters, C1 controls and bytes that are not well-formed UTF-8 become \xHH, so no escape
// sequence of a server reaches the terminal; invisible and bidirectional format characters
// (U+202E, U+2066, U+200B, U+FEFF, ...) become \uHHHH (\UHHHHHHHH beyond U+FFFF), so that
// a URL or file name reads as what it is. Everything the command prints that it did not
// write itself goes through here, bodies written to standard output excepted.
std::string EscapeForTerminal(std::string_view text);
std::string EscapeForTerminal(std::wstring_view text);
// Prints "zvnet: <message>" on standard error, the message escaped.
void PrintError(const std::string& message);

#endif  // ZVNET_CLI_TEXT_H_
