// One fcitx5 instance with zvcloud as its only input method (loaded from the build tree, as an
// installed fcitx5 loads it), run by a thread of its own until the object goes; one focused
// input context is made at its start. That thread makes every fcitx5 and zvcloud call: other
// threads reach in with Run. The user's folders come from the environment, which fcitx5 reads
// once per process (UseFolders).
#ifndef ZVNET_TESTS_EXAMPLES_FCITX5_FCITXTHREAD_H_
#define ZVNET_TESTS_EXAMPLES_FCITX5_FCITXTHREAD_H_

#include <fcitx-utils/eventdispatcher.h>
#include <fcitx-utils/key.h>
#include <fcitx/instance.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/examples/fcitx5/RecordingInputContext.h"

class CFcitxThread {
 public:
  // Points fcitx5 at the staged addon and at `home` for the user's configuration and data.
  static void UseFolders(const std::string& home);

  CFcitxThread();
  ~CFcitxThread();
  CFcitxThread(const CFcitxThread&) = delete;
  CFcitxThread& operator=(const CFcitxThread&) = delete;

  bool IsRunning() const { return running; }

  // Runs `body` on fcitx5's thread and answers its result.
  template <typename Body>
  auto Run(Body body) -> decltype(body()) {
    std::packaged_task<decltype(body())()> task(std::move(body));
    auto result = task.get_future();
    dispatcher.schedule([&task] { task(); });
    return result.get();
  }
  bool WaitFor(const std::function<bool(CRecordingInputContext&)>& condition,
               std::chrono::milliseconds deadline = std::chrono::seconds(20));
  // Runs `body` on fcitx5's thread later, without waiting.
  void Post(std::function<void()> body) { dispatcher.schedule(std::move(body)); }
  // Presses and releases each key (fcitx5's key names); true when the engine took every press.
  bool Type(const std::vector<std::string>& keys);
  // The same on fcitx5's thread, for one key.
  bool TypeHere(const std::string& key);
  bool TypeHere(const fcitx::Key& key);

  std::vector<std::string> Candidates();
  std::vector<std::string> Commits();
  std::vector<std::vector<std::string>> Shown();
  std::string InputMethod();
  // The engine's sub-mode label: "offline" while it holds the machine for disconnected.
  std::string SubModeLabel();
  // fcitx5's thread only.
  CRecordingInputContext& InputContext() { return *ic; }

 private:
  void Main();

  std::promise<bool> started;
  bool running = false;
  fcitx::Instance* instance = nullptr;
  fcitx::EventDispatcher dispatcher;           // any thread schedules; fcitx5's thread runs
  std::unique_ptr<CRecordingInputContext> ic;  // fcitx5's thread only
  std::thread thread;
};

#endif  // ZVNET_TESTS_EXAMPLES_FCITX5_FCITXTHREAD_H_
