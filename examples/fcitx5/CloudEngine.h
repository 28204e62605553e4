// zvcloud, an fcitx5 input method: each key that changes the typed text sends it to a cloud
// server as one request on a ZvUdp duplex channel and shows the answer as the first candidate;
// the typed text and completions from a local word list follow it. A newer key stops the
// request before it (StopTask), so a late answer never replaces a newer one; without an answer
// the typed text is still there to commit. Space commits the first candidate, a digit the
// numbered one, Return the typed text, Escape clears. The word list is kept fresh with ZvHttp,
// and ZvNetStatus stops cloud requests while the machine is offline and refreshes the list when
// it comes back.
//
// Threads: fcitx5 makes, calls and destroys the engine on its own thread, which also runs
// zvnet's deliveries (CZvnetEventSource): every member is touched on that thread only, and
// every zvnet callback arrives there.
#ifndef ZVNET_EXAMPLES_FCITX5_CLOUDENGINE_H_
#define ZVNET_EXAMPLES_FCITX5_CLOUDENGINE_H_

#include <fcitx-utils/trackableobject.h>
#include <fcitx/inputcontextproperty.h>
#include <fcitx/inputmethodengine.h>
#include <fcitx/instance.h>
#include <zvnet/zvnet.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "CloudConfig.h"
#include "CloudState.h"
#include "WordList.h"
#include "WordListUpdater.h"
#include "ZvnetEventSource.h"

class CCloudEngine : public fcitx::InputMethodEngineV2 {
 public:
  explicit CCloudEngine(fcitx::Instance* instance);
  ~CCloudEngine() override;
  CCloudEngine(const CCloudEngine&) = delete;
  CCloudEngine& operator=(const CCloudEngine&) = delete;

  void keyEvent(const fcitx::InputMethodEntry& entry, fcitx::KeyEvent& event) override;
  void reset(const fcitx::InputMethodEntry& entry, fcitx::InputContextEvent& event) override;
  // "offline" while the network is down, when cloud candidates are not asked for.
  std::string subModeLabelImpl(const fcitx::InputMethodEntry& entry,
                               fcitx::InputContext& ic) override;
  void reloadConfig() override;
  const fcitx::Configuration* getConfig() const override { return &config; }
  void setConfig(const fcitx::RawConfig& raw) override;

  // Commits `text` in `ic` and clears what was typed there; for candidate words.
  void Commit(fcitx::InputContext* ic, const std::string& text);

 private:
  bool EditTypedText(const fcitx::Key& key, CCloudState& state);
  bool ActOnTypedText(const fcitx::Key& key, fcitx::InputContext* ic, CCloudState& state);
  void Ask(fcitx::InputContext* ic, CCloudState& state);
  void StopAsking(CCloudState& state);
  // `now`: flush the panel at once instead of when fcitx5's loop next goes idle; for answers,
  // which arrive outside a key event.
  void Show(fcitx::InputContext* ic, const CCloudState& state, bool now = false);
  std::vector<std::string> Candidates(const CCloudState& state) const;
  void OpenChannel();
  void CloseChannel();
  void OnReply(int cookie, UDP_ERRORCODE code, const tagUdpOut* out);
  void OnNetStatus(ZV_NET_STATUS status);
  static int ZV_STDCALL OnUdpReply(int cookie, unsigned long userParam, UDP_ERRORCODE code,
                                   tagUdpOut* out);
  static int32_t ZV_STDCALL OnNetStatusChange(int32_t cookie, uint32_t param, ZV_NET_STATUS status);

  fcitx::Instance* instance;
  CCloudConfig config;
  fcitx::FactoryFor<CCloudState> stateFactory{
      [](fcitx::InputContext&) { return new CCloudState(); }};
  CZvnetEventSource events;
  CWordList words;
  CWordListUpdater updater;
  int channel = 0;       // the ZvUdp channel to the cloud server, 0 when none is open
  int32_t netWatch = 0;  // the ZvNetStatus registration, 0 when none
  uint32_t netParam = 0;
  bool online = true;
  // The open cloud requests and the input contexts that asked them.
  std::unordered_map<int, fcitx::TrackableObjectReference<fcitx::InputContext>> asking;
};

#endif  // ZVNET_EXAMPLES_FCITX5_CLOUDENGINE_H_
