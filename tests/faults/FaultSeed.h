// The seed of a randomised fault test: ZVNET_TEST_SEED when set (to replay a failure), else a
// fresh one. The seed is printed and recorded in the test's XML result, so every run can be
// replayed with ZVNET_TEST_SEED=<seed>.
#ifndef ZVNET_TESTS_FAULTS_FAULTSEED_H_
#define ZVNET_TESTS_FAULTS_FAULTSEED_H_

#include <cstdint>

uint64_t FaultSeed();

// A well-mixed value of (seed, a, b): the same inputs always give the same fault.
uint64_t FaultMix(uint64_t seed, uint64_t a, uint64_t b = 0);

#endif  // ZVNET_TESTS_FAULTS_FAULTSEED_H_
