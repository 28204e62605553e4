// The addon's entry point: fcitx5 loads zvcloud.so and asks it for its engine.
#include <fcitx/addonfactory.h>
#include <fcitx/addonmanager.h>

#include "CloudEngine.h"

namespace {

class CCloudEngineFactory : public fcitx::AddonFactory {
 public:
  fcitx::AddonInstance* create(fcitx::AddonManager* manager) override {
    return new CCloudEngine(manager->instance());  // fcitx5 owns and deletes the addon
  }
};

}  // namespace

FCITX_ADDON_FACTORY(CCloudEngineFactory)
