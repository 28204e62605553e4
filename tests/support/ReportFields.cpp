#include "tests/support/ReportFields.h"

#include "platform/win32/StringConv.h"

ReportFields ParseReportFields(const std::wstring& query) {
  ReportFields fields;
  const std::string text = WideToUtf8(query);
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string::npos) end = text.size();
    std::string field = text.substr(start, end - start);
    size_t equals = field.find('=');
    if (equals == std::string::npos) {
      fields.emplace_back(field, "");
    } else {
      fields.emplace_back(field.substr(0, equals), field.substr(equals + 1));
    }
    start = end + 1;
  }
  return fields;
}

std::string FieldValue(const ReportFields& fields, const std::string& key) {
  for (const auto& [name, value] : fields) {
    if (name == key) return value;
  }
  return "<missing>";
}
