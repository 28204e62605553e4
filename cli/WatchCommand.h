// `zvnet watch`: prints each settled network change until interrupted.
#ifndef ZVNET_CLI_WATCHCOMMAND_H_
#define ZVNET_CLI_WATCHCOMMAND_H_

int RunWatch();

#endif  // ZVNET_CLI_WATCHCOMMAND_H_
