// What the engine keeps per input context: the typed text, the cloud's candidate for it and
// the cookie of the request still asking. Lives as long as its input context; fcitx5's thread.
#ifndef ZVNET_EXAMPLES_FCITX5_CLOUDSTATE_H_
#define ZVNET_EXAMPLES_FCITX5_CLOUDSTATE_H_

#include <fcitx/inputcontextproperty.h>

#include <string>

class CCloudState : public fcitx::InputContextProperty {
 public:
  std::string preedit;      // the typed text
  std::string cloud;        // the cloud's candidate for `preedit`; empty until it answers
  int asking = 0;           // the cookie of the request for `preedit` still open, 0 for none
  bool unanswered = false;  // the cloud gave no answer for `preedit` in time

  // What the cloud said belongs to the typed text before a change.
  void ForgetAnswer() {
    cloud.clear();
    unanswered = false;
  }
};

#endif  // ZVNET_EXAMPLES_FCITX5_CLOUDSTATE_H_
