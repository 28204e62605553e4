// The engine's settings, in fcitx5's "conf/zvcloud.conf", shown by fcitx5's settings tools.
#ifndef ZVNET_EXAMPLES_FCITX5_CLOUDCONFIG_H_
#define ZVNET_EXAMPLES_FCITX5_CLOUDCONFIG_H_

#include <fcitx-config/configuration.h>
#include <fcitx-config/option.h>

#include <string>

FCITX_CONFIGURATION(
    CCloudConfig,
    fcitx::Option<std::string> serverHost{this, "ServerHost", "Cloud server host", "127.0.0.1"};
    fcitx::Option<int, fcitx::IntConstrain> serverPort{this, "ServerPort", "Cloud server port",
                                                       7800, fcitx::IntConstrain(1, 65535)};
    fcitx::Option<int, fcitx::IntConstrain> requestTimeoutMs{this, "RequestTimeout",
                                                             "Cloud request time-out (ms)", 2000,
                                                             fcitx::IntConstrain(100, 60000)};
    fcitx::Option<std::string> wordListUrl{this, "WordListUrl", "Word list URL", ""};);

#endif  // ZVNET_EXAMPLES_FCITX5_CLOUDCONFIG_H_
