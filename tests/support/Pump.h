// Waiting on conditions in tests: never sleep-and-hope, always a condition and a deadline.
#ifndef ZVNET_TESTS_SUPPORT_PUMP_H_
#define ZVNET_TESTS_SUPPORT_PUMP_H_

#include <chrono>
#include <functional>

using namespace std::chrono_literals;

// Runs the calling thread's message loop until `done` answers true or `deadline` passes.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline = 10s);
// Pumps for `duration`, for checks that nothing (more) arrives.
void PumpFor(std::chrono::milliseconds duration);
// Polls `done` without pumping until it answers true or `deadline` passes.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds deadline = 10s);

#endif  // ZVNET_TESTS_SUPPORT_PUMP_H_
