// Text helpers of the command: the library takes wide strings, the terminal speaks UTF-8.
#ifndef ZVNET_CLI_TEXT_H_
#define ZVNET_CLI_TEXT_H_

#include <cstdint>
#include <string>
#include <string_view>

std::wstring Widen(std::string_view utf8);
std::string Narrow(std::wstring_view wide);
// "12.3 MiB"
std::string FormatBytes(uint64_t bytes);
// Text from the network (or echoed from the user) made safe for a terminal: control
// characters, C1 controls and bytes that are not UTF-8 become \xHH, so no escape sequence
// of a server reaches the terminal. Everything the command prints that it did not write
// itself goes through here.
std::string EscapeForTerminal(std::string_view text);
std::string EscapeForTerminal(std::wstring_view text);
// Prints "zvnet: <message>" on standard error, the message escaped.
void PrintError(const std::string& message);

#endif  // ZVNET_CLI_TEXT_H_
