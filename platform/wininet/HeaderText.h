// Header text: names compare without case; values lose their surrounding blanks. Pure
// functions, safe on any thread.
#ifndef ZVNET_PLATFORM_WININET_HEADERTEXT_H_
#define ZVNET_PLATFORM_WININET_HEADERTEXT_H_

#include <string>
#include <string_view>
#include <vector>

bool EqualsNoCase(std::string_view a, std::string_view b);
std::string Trim(std::string_view text);
// The same, as a view into `text`.
std::string_view TrimView(std::string_view text);
// The lines of a header text (CRLF or LF separated), trimmed, blank lines dropped.
std::vector<std::string> HeaderLines(std::string_view text);
// Whether the header line "Name: value" is named `name` (any case).
bool HeaderNameIs(std::string_view line, std::string_view name);
// Whether one of `lines` is named `name`.
bool HasHeader(const std::vector<std::string>& lines, std::string_view name);

#endif  // ZVNET_PLATFORM_WININET_HEADERTEXT_H_
