#include "CloudEngine.h"

#include <fcitx-config/iniparser.h>
#include <fcitx-utils/fs.h>
#include <fcitx-utils/key.h>
#include <fcitx-utils/standardpath.h>
#include <fcitx/candidatelist.h>
#include <fcitx/inputcontext.h>
#include <fcitx/inputcontextmanager.h>
#include <fcitx/inputpanel.h>
#include <fcitx/text.h>

#include <algorithm>
#include <memory>

namespace {

constexpr char kConfigFile[] = "conf/zvcloud.conf";
constexpr size_t kCompletions = 8;
constexpr char kNoAnswer[] = "no cloud answer";

// Parsed once: parsing key names costs more than the rest of a list shown on every key.
const fcitx::KeyList& SelectionKeys() {
  static const fcitx::KeyList keys = fcitx::Key::keyListFromString("1 2 3 4 5 6 7 8 9");
  return keys;
}

std::string WordListPath() {
  const std::string folder =
      fcitx::StandardPath::global().userDirectory(fcitx::StandardPath::Type::PkgData) + "/zvcloud";
  fcitx::fs::makePath(folder);
  return folder + "/words.txt";
}

// ZvNetStatus carries a 32-bit value to its callback: engines are found by it here.
std::unordered_map<uint32_t, CCloudEngine*>& NetWatchers() {
  static std::unordered_map<uint32_t, CCloudEngine*> watchers;
  return watchers;
}

class CCandidate : public fcitx::CandidateWord {
 public:
  CCandidate(CCloudEngine* engine, const std::string& text)
      : fcitx::CandidateWord(fcitx::Text(text)), engine(engine) {}
  void select(fcitx::InputContext* ic) const override { engine->Commit(ic, text().toString()); }

 private:
  CCloudEngine* engine;
};

}  // namespace

CCloudEngine::CCloudEngine(fcitx::Instance* instance)
    : instance(instance),
      events(instance->eventLoop()),
      updater(WordListPath(), [this] { words.Load(WordListPath()); }) {
  ZvUdp::Init();
  instance->inputContextManager().registerProperty("zvcloudState", &stateFactory);
  words.Load(WordListPath());
  static uint32_t lastParam = 0;
  netParam = ++lastParam;
  NetWatchers()[netParam] = this;
  if (ZvNetStatus::DetectNetStatus(OnNetStatusChange, netParam, &netWatch) != 0) netWatch = 0;
  reloadConfig();
}

CCloudEngine::~CCloudEngine() {
  if (netWatch != 0) ZvNetStatus::UnDetectNetStatus(netWatch);
  NetWatchers().erase(netParam);
  CloseChannel();
  ZvUdp::Uninit();
}

void CCloudEngine::reloadConfig() {
  fcitx::readAsIni(config, kConfigFile);
  CloseChannel();
  OpenChannel();
  updater.Fetch(*config.wordListUrl);
}

void CCloudEngine::setConfig(const fcitx::RawConfig& raw) {
  config.load(raw, true);
  fcitx::safeSaveAsIni(config, kConfigFile);
  reloadConfig();
}

void CCloudEngine::OpenChannel() {
  tagUdpServer server;
  server.host = *config.serverHost;
  server.port = static_cast<unsigned short>(*config.serverPort);
  if (ZvUdp::CreateChannel(UDP_CHANNEL_DUPLEX, &server, &channel) != 0) channel = 0;
}

void CCloudEngine::CloseChannel() {
  if (channel != 0) ZvUdp::CloseChannel(channel);  // its requests end without callbacks
  channel = 0;
  asking.clear();
}

void CCloudEngine::keyEvent(const fcitx::InputMethodEntry&, fcitx::KeyEvent& event) {
  if (event.isRelease()) return;
  fcitx::InputContext* ic = event.inputContext();
  CCloudState& state = *ic->propertyFor(&stateFactory);
  if (EditTypedText(event.key(), state)) {
    Ask(ic, state);
    Show(ic, state);
    event.filterAndAccept();
  } else if (!state.preedit.empty()) {
    ActOnTypedText(event.key(), ic, state);
    event.filterAndAccept();  // while there is typed text, every key is the engine's
  }
}

// Letters add to the typed text and BackSpace takes the last one back; true when it changed.
bool CCloudEngine::EditTypedText(const fcitx::Key& key, CCloudState& state) {
  if (key.isLAZ()) {
    state.preedit.push_back(static_cast<char>(key.sym()));
  } else if (key.check(FcitxKey_BackSpace) && !state.preedit.empty()) {
    state.preedit.pop_back();
  } else {
    return false;
  }
  state.ForgetAnswer();
  return true;
}

bool CCloudEngine::ActOnTypedText(const fcitx::Key& key, fcitx::InputContext* ic,
                                  CCloudState& state) {
  const std::vector<std::string> candidates = Candidates(state);
  if (key.check(FcitxKey_space)) {
    Commit(ic, candidates.front());
  } else if (key.check(FcitxKey_Return)) {
    Commit(ic, state.preedit);
  } else if (key.check(FcitxKey_Escape)) {
    Commit(ic, "");
  } else if (key.isDigit() && key.digit() >= 1 &&
             static_cast<size_t>(key.digit()) <= candidates.size()) {
    Commit(ic, candidates[key.digit() - 1]);
  } else {
    return false;
  }
  return true;
}

void CCloudEngine::reset(const fcitx::InputMethodEntry&, fcitx::InputContextEvent& event) {
  CCloudState& state = *event.inputContext()->propertyFor(&stateFactory);
  StopAsking(state);
  state.preedit.clear();
  state.ForgetAnswer();
  event.inputContext()->inputPanel().reset();
}

void CCloudEngine::Commit(fcitx::InputContext* ic, const std::string& text) {
  CCloudState& state = *ic->propertyFor(&stateFactory);
  StopAsking(state);
  state.preedit.clear();
  state.ForgetAnswer();
  if (!text.empty()) ic->commitString(text);
  Show(ic, state);
}

// Sends the typed text to the cloud; the request for the text before it is stopped, so its
// answer can never arrive after this one's.
void CCloudEngine::Ask(fcitx::InputContext* ic, CCloudState& state) {
  StopAsking(state);
  if (!online || channel == 0 || state.preedit.empty()) return;
  int cookie = 0;
  if (ZvUdp::SendData(channel, state.preedit.c_str(), nullptr, OnUdpReply,
                      static_cast<unsigned int>(*config.requestTimeoutMs),
                      reinterpret_cast<unsigned long>(this), &cookie, false) != 0) {
    return;
  }
  state.asking = cookie;
  asking.emplace(cookie, ic->watch());
}

void CCloudEngine::StopAsking(CCloudState& state) {
  if (state.asking == 0) return;
  ZvUdp::StopTask(state.asking);
  asking.erase(state.asking);
  state.asking = 0;
}

std::vector<std::string> CCloudEngine::Candidates(const CCloudState& state) const {
  std::vector<std::string> candidates;
  if (!state.cloud.empty()) candidates.push_back(state.cloud);
  candidates.push_back(state.preedit);
  for (std::string& word : words.Complete(state.preedit, kCompletions)) {
    if (std::find(candidates.begin(), candidates.end(), word) == candidates.end()) {
      candidates.push_back(std::move(word));
    }
  }
  return candidates;
}

void CCloudEngine::Show(fcitx::InputContext* ic, const CCloudState& state, bool now) {
  fcitx::InputPanel& panel = ic->inputPanel();
  panel.reset();
  if (!state.preedit.empty()) {
    fcitx::Text typed(state.preedit, fcitx::TextFormatFlag::Underline);
    typed.setCursor(static_cast<int>(state.preedit.size()));
    if (ic->capabilityFlags().test(fcitx::CapabilityFlag::Preedit)) {
      panel.setClientPreedit(typed);
    } else {
      panel.setPreedit(typed);
    }
    auto list = std::make_unique<fcitx::CommonCandidateList>();
    list->setPageSize(9);
    list->setSelectionKey(SelectionKeys());
    for (const std::string& text : Candidates(state)) {
      list->append(std::make_unique<CCandidate>(this, text));
    }
    list->setGlobalCursorIndex(0);
    panel.setCandidateList(std::move(list));
    if (state.unanswered) panel.setAuxDown(fcitx::Text(kNoAnswer));
  }
  ic->updatePreedit();
  ic->updateUserInterface(fcitx::UserInterfaceComponent::InputPanel, now);
}

int ZV_STDCALL CCloudEngine::OnUdpReply(int cookie, unsigned long userParam, UDP_ERRORCODE code,
                                        tagUdpOut* out) {
  reinterpret_cast<CCloudEngine*>(userParam)->OnReply(cookie, code, out);
  return 0;
}

void CCloudEngine::OnReply(int cookie, UDP_ERRORCODE code, const tagUdpOut* out) {
  const auto found = asking.find(cookie);
  if (found == asking.end()) return;
  fcitx::InputContext* ic = found->second.get();
  asking.erase(found);
  if (ic == nullptr) return;  // the input context went away meanwhile
  CCloudState& state = *ic->propertyFor(&stateFactory);
  if (state.asking != cookie) return;
  state.asking = 0;
  // Without an answer the local candidates stay, and the user is told why no cloud one came.
  if (code == UDP_RECV_SUCCESS && out != nullptr && out->dataLength > 0) {
    state.cloud.assign(reinterpret_cast<const char*>(out->data), out->dataLength);
  } else {
    state.unanswered = true;
  }
  Show(ic, state, true);
}

int32_t ZV_STDCALL CCloudEngine::OnNetStatusChange(int32_t, uint32_t param, ZV_NET_STATUS status) {
  const auto found = NetWatchers().find(param);
  if (found != NetWatchers().end()) found->second->OnNetStatus(status);
  return 0;
}

void CCloudEngine::OnNetStatus(ZV_NET_STATUS status) {
  if (status == ZV_NET_DETECT_EXIT) {
    netWatch = 0;  // nothing watches any more: ask the cloud as if online
    online = true;
    return;
  }
  const bool wasOnline = online;
  online = status == ZV_NET_CONNECTED;
  if (online && !wasOnline) updater.Fetch(*config.wordListUrl);  // changed while away?
}

std::string CCloudEngine::subModeLabelImpl(const fcitx::InputMethodEntry&, fcitx::InputContext&) {
  return online ? "" : "offline";
}
