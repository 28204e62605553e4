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
// Prints "zvnet: <message>" on standard error.
void PrintError(const std::string& message);

#endif  // ZVNET_CLI_TEXT_H_
