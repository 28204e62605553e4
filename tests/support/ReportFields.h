// A report's query text cut into its keys and values, in order, for key-by-key comparison.
#ifndef ZVNET_TESTS_SUPPORT_REPORTFIELDS_H_
#define ZVNET_TESTS_SUPPORT_REPORTFIELDS_H_

#include <string>
#include <utility>
#include <vector>

using ReportFields = std::vector<std::pair<std::string, std::string>>;

// "a=1&b=&c=x" gives {a,1}, {b,}, {c,x}. Wide text is taken as UTF-8.
ReportFields ParseReportFields(const std::wstring& query);

// The value of the first field named `key`; "<missing>" when there is none.
std::string FieldValue(const ReportFields& fields, const std::string& key);

#endif  // ZVNET_TESTS_SUPPORT_REPORTFIELDS_H_
