// An input context as an fcitx5 frontend makes one, for tests and benchmarks of an input
// method: it keeps what the engine commits and every candidate list the user would have seen,
// and tells `onShown` of each. fcitx5's thread only.
#ifndef ZVNET_TESTS_EXAMPLES_FCITX5_RECORDINGINPUTCONTEXT_H_
#define ZVNET_TESTS_EXAMPLES_FCITX5_RECORDINGINPUTCONTEXT_H_

#include <fcitx/candidatelist.h>
#include <fcitx/inputcontext.h>
#include <fcitx/inputpanel.h>

#include <functional>
#include <string>
#include <vector>

class CRecordingInputContext : public fcitx::InputContext {
 public:
  explicit CRecordingInputContext(fcitx::InputContextManager& manager)
      : fcitx::InputContext(manager, "zvcloud-test") {
    created();
    setCapabilityFlags(fcitx::CapabilityFlags{fcitx::CapabilityFlag::Preedit,
                                              fcitx::CapabilityFlag::ClientSideInputPanel});
  }
  ~CRecordingInputContext() override { destroy(); }
  const char* frontend() const override { return "zvcloud-test"; }

  // The candidates shown now, in order.
  std::vector<std::string> Candidates() {
    std::vector<std::string> texts;
    if (const auto list = inputPanel().candidateList()) {
      for (int i = 0; i < list->size(); ++i) texts.push_back(list->candidate(i).text().toString());
    }
    return texts;
  }

  std::vector<std::string> commits;
  std::vector<std::vector<std::string>> shown;  // every candidate list shown, in order
  std::function<void()> onShown;

 protected:
  void commitStringImpl(const std::string& text) override { commits.push_back(text); }
  void deleteSurroundingTextImpl(int, unsigned int) override {}
  void forwardKeyImpl(const fcitx::ForwardKeyEvent&) override {}
  void updatePreeditImpl() override {}
  void updateClientSideUIImpl() override {
    shown.push_back(Candidates());
    if (onShown) onShown();
  }
};

#endif  // ZVNET_TESTS_EXAMPLES_FCITX5_RECORDINGINPUTCONTEXT_H_
