// A report's query text cut into its keys and values, in order, for key-by-key comparison.
#ifndef ZVNET_TESTS_SUPPORT_REPORTFIELDS_H_
#define ZVNET_TESTS_SUPPORT_REPORTFIELDS_H_

#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32/StringConv.h"

using ReportFields = std::vector<std::pair<std::string, std::string>>;

// "a=1&b=&c=x" gives {a,1}, {b,}, {c,x}. Wide text is taken as UTF-8.
inline ReportFields ParseReportFields(const std::wstring& query) {
  ReportFields fields;
  std::stringstream text(WideToUtf8(query) + "&");
  for (std::string field; std::getline(text, field, '&');) {
    const size_t equals = field.find('=');
    fields.emplace_back(field.substr(0, equals),
                        equals == std::string::npos ? "" : field.substr(equals + 1));
  }
  return fields;
}

// The value of the first field named `key`; "<missing>" when there is none.
inline std::string FieldValue(const ReportFields& fields, const std::string& key) {
  for (const auto& [name, value] : fields) {
    if (name == key) return value;
  }
  return "<missing>";
}

#endif  // ZVNET_TESTS_SUPPORT_REPORTFIELDS_H_
