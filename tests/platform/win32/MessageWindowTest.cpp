#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/win32/Event.h"
#include "platform/win32/MessageWindow.h"
#include "platform/win32/PostBatch.h"
#include "platform/win32/Thread.h"
#include "tests/support/Pump.h"

namespace {

// Records the wParam of every message by message.
class CRecorder : public IWindowProc {
 public:
  LRESULT WindowProc(HWND, UINT message, WPARAM wParam, LPARAM) override {
    std::lock_guard guard(mutex);
    received[message].push_back(wParam);
    return 0;
  }
  std::vector<WPARAM> Of(UINT message) {
    std::lock_guard guard(mutex);
    return received[message];
  }
  size_t Count(UINT message) { return Of(message).size(); }

 private:
  std::mutex mutex;
  std::map<UINT, std::vector<WPARAM>> received;
};

constexpr UINT kMsg = 0x8001;

}  // namespace

TEST(MessageWindowTest, TimerTicksArriveAsWmTimerAndALateTimerGivesOneTick) {
  auto recorder = std::make_shared<CRecorder>();
  HWND hwnd = CreateWindowExW(recorder);
  ASSERT_EQ(SetTimer(hwnd, 347, 20), 347u);
  ASSERT_TRUE(PumpUntil([&] { return recorder->Count(WM_TIMER) >= 2; }));
  EXPECT_EQ(recorder->Of(WM_TIMER)[0], 347u);
  // Not pumping for many periods must not produce a burst afterwards.
  const size_t before = recorder->Count(WM_TIMER);
  std::this_thread::sleep_for(400ms);
  DispatchThreadMessages();
  EXPECT_EQ(recorder->Count(WM_TIMER), before + 1);
  // Nor does it come due again at once: in 100 ms at most one tick per 20 ms period.
  PumpFor(100ms);
  EXPECT_LE(recorder->Count(WM_TIMER), before + 1 + 6) << "the late ticks were made up";
  EXPECT_TRUE(KillTimer(hwnd, 347));
  const size_t afterKill = recorder->Count(WM_TIMER);
  PumpFor(100ms);
  EXPECT_EQ(recorder->Count(WM_TIMER), afterKill);
  DestroyWindow(hwnd);
}

// Posts made inside a batch are queued at once but wake the owner only when the batch ends,
// once for all of them, and still arrive in posting order.
TEST(MessageWindowTest, BatchedPostsWakeTheOwnerOnceWhenTheBatchEnds) {
  auto recorder = std::make_shared<CRecorder>();
  HWND hwnd = CreateWindowExW(recorder);
  const int fd = GetThreadMessageWaitFd();
  pollfd p{fd, POLLIN, 0};
  CEvent posted(CEvent::ResetMode::kManual);
  CEvent release(CEvent::ResetMode::kManual);
  std::thread poster([&] {
    CPostBatch batch;
    {
      CPostBatch inner;  // changes nothing
      for (WPARAM i = 0; i < 3; ++i) PostMessageW(hwnd, kMsg, i, 0);
    }
    posted.Set();
    release.Wait(INFINITE);
  });
  ASSERT_EQ(posted.Wait(10000), WAIT_OBJECT_0);
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "woken before the batch ended";
  release.Set();
  poster.join();
  EXPECT_EQ(::poll(&p, 1, 10000), 1);
  EXPECT_EQ(DispatchThreadMessages(), 3);
  EXPECT_EQ(recorder->Of(kMsg), (std::vector<WPARAM>{0, 1, 2}));
  DestroyWindow(hwnd);
}

// A thread's own posts reach its next pump without a wait. Once the thread has taken its wait
// descriptor, posts (its own, those queued before, another thread's) and timer ticks make it
// readable until they are dispatched.
TEST(MessageWindowTest, PostsAndTimersReachThePumpAndTheWaitFd) {
  std::thread([] {
    auto recorder = std::make_shared<CRecorder>();
    HWND hwnd = CreateWindowExW(recorder);
    PostMessageW(hwnd, kMsg, 1, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(PumpMessages(60000), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30))
        << "waited with a message queued";
    PostMessageW(hwnd, kMsg, 2, 0);
    pollfd p{GetThreadMessageWaitFd(), POLLIN, 0};
    for (int post = 3; post <= 4; ++post) {
      EXPECT_EQ(::poll(&p, 1, 10000), 1) << "quiet with a message queued";
      EXPECT_EQ(DispatchThreadMessages(), 1);
      EXPECT_EQ(::poll(&p, 1, 0), 0) << "readable after everything was dispatched";
      if (post == 3) PostMessageW(hwnd, kMsg, 3, 0);
      if (post == 4) std::thread([&] { PostMessageW(hwnd, kMsg, 4, 0); }).join();
    }
    EXPECT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_EQ(DispatchThreadMessages(), 1);
    EXPECT_EQ(recorder->Count(kMsg), 4u);
    EXPECT_EQ(PumpMessages(20), 0) << "a quiet pump dispatched something";
    SetTimer(hwnd, 1, 30);
    EXPECT_EQ(::poll(&p, 1, 10000), 1);
    EXPECT_EQ(DispatchThreadMessages(), 1);
    EXPECT_EQ(recorder->Count(WM_TIMER), 1u);
    // Readable again only for the next tick (which a slow machine may already have reached).
    if (::poll(&p, 1, 0) == 1) {
      EXPECT_EQ(DispatchThreadMessages(), 1) << "readable after the tick was dispatched";
    }
    DestroyWindow(hwnd);
  }).join();
}

namespace {

// What the loop answers on a thread whose loop is gone: no messages, no descriptor, no window.
struct LoopAnswers {
  long pump = 0;
  long dispatch = 0;
  int waitFd = 0;
  bool window = true;
};

LoopAnswers AskTheLoop() {
  return {PumpMessages(0), DispatchThreadMessages(), GetThreadMessageWaitFd(),
          CreateWindowExW(std::make_shared<CRecorder>()) != nullptr};
}

}  // namespace

// Calls made after the thread's loop is gone get an answer, never a destroyed object: from a
// thread-local destructor that runs after the loop's own (made before the loop, so destroyed
// after it), and in a child forked without exec, whose descriptors are the parent's.
TEST(MessageWindowTest, ALoopThatIsGoneAnswersWithErrors) {
  struct Row {
    const char* name;
    std::function<LoopAnswers()> run;
  } rows[] = {
      {"thread-local destructor after the loop's",
       [] {
         LoopAnswers answers;
         std::thread([&] {
           struct Late {
             LoopAnswers* out;
             ~Late() { *out = AskTheLoop(); }
           };
           thread_local Late late{nullptr};
           late.out = &answers;
           ASSERT_GE(GetThreadMessageWaitFd(), 0);  // the loop is made after `late`
         }).join();
         return answers;
       }},
      {"forked child",
       [] {
         HWND parentWindow = CreateWindowExW(std::make_shared<CRecorder>());
         EXPECT_GE(GetThreadMessageWaitFd(), 0);
         int pipeFds[2];
         EXPECT_EQ(::pipe(pipeFds), 0);
         const pid_t child = ::fork();
         if (child == 0) {
           LoopAnswers answers = AskTheLoop();
           answers.window =
               answers.window || PostMessageW(parentWindow, kMsg, 0, 0) || IsWindow(parentWindow);
           (void)!::write(pipeFds[1], &answers, sizeof answers);
           ::_exit(0);
         }
         ::close(pipeFds[1]);
         LoopAnswers answers{};
         EXPECT_EQ(::read(pipeFds[0], &answers, sizeof answers),
                   static_cast<ssize_t>(sizeof answers));
         ::close(pipeFds[0]);
         ::waitpid(child, nullptr, 0);
         EXPECT_TRUE(IsWindow(parentWindow)) << "the parent's window is untouched";
         DestroyWindow(parentWindow);
         return answers;
       }},
  };
  for (const Row& row : rows) {
    const LoopAnswers answers = row.run();
    EXPECT_EQ(answers.pump, -1) << row.name;
    EXPECT_EQ(answers.dispatch, -1) << row.name;
    EXPECT_EQ(answers.waitFd, -1) << row.name;
    EXPECT_FALSE(answers.window) << row.name;
  }
}

// DestroyWindow and KillTimer called on another thread return only once the window procedure
// they race with has returned, so what it uses may be freed right then; none starts later.
TEST(MessageWindowTest, DestroyAndKillTimerFromAnotherThreadWaitForTheRunningProcedure) {
  class CSlowProc : public IWindowProc {
   public:
    LRESULT WindowProc(HWND, UINT message, WPARAM, LPARAM) override {
      if (message != kMsg && message != WM_TIMER) return 0;
      if (freed) ++late;
      started = true;
      std::this_thread::sleep_for(2ms);
      if (freed) ++late;
      return 0;
    }
    std::atomic<bool> started{false};
    std::atomic<bool> freed{false};
    std::atomic<int> late{0};
  };
  for (const bool killTimer : {false, true}) {
    for (int round = 0; round < 30; ++round) {
      auto proc = std::make_shared<CSlowProc>();
      HWND hwnd = CreateWindowExW(proc);
      if (killTimer) {
        SetTimer(hwnd, 7, 1);
      } else {
        for (int i = 0; i < 50; ++i) PostMessageW(hwnd, kMsg, i, 0);
      }
      std::thread other([&] {
        WaitUntil([&] { return proc->started.load(); });
        if (killTimer) {
          KillTimer(hwnd, 7);
        } else {
          DestroyWindow(hwnd);
        }
        proc->freed = true;
      });
      PumpUntil([&] { return proc->freed.load(); });
      other.join();
      PumpFor(5ms);
      EXPECT_EQ(proc->late.load(), 0)
          << (killTimer ? "KillTimer" : "DestroyWindow") << " round " << round;
      DestroyWindow(hwnd);
    }
  }
}
