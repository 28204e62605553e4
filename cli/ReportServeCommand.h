// `zvnet report-serve`: receives performance reports and prints each opened query.
#ifndef ZVNET_CLI_REPORTSERVECOMMAND_H_
#define ZVNET_CLI_REPORTSERVECOMMAND_H_

int RunReportServe(const char* address, unsigned short port);

#endif  // ZVNET_CLI_REPORTSERVECOMMAND_H_
