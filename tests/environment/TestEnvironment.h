// The process every test, benchmark and fuzz target runs in, the same on any machine:
// what the user's shell holds (the app's LUMORA_* variables, a display, a
// locale, a time zone, the configuration keys the crash and reporting kits
// read from the environment) changes no outcome, and nothing the process or
// its children leave in the temporary folder outlives it.
//
// Entering it, the process keeps only the variables of the tools around it
// (PATH, HOME, TERM, the loader's, the sanitizers', GoogleTest's, coverage's)
// and the tests' own knobs (LUMORA_CONVERGENCE_SEEDS, LUMORA_BENCH_*,
// LUMORA_FUZZ_*), and
// sets the few that every test may rely on:
//   TMPDIR           a scratch folder of its own under the caller's TMPDIR
//   LUMORA_HOME      <scratch>/home, the app home of a test that sets none
//   LUMORA_SHARED_HOME  <scratch>/shared, the apps' shared folder likewise
//   LANG=C.UTF-8, TZ=UTC, QT_QPA_PLATFORM=offscreen
// A test that needs another value sets it for itself (and puts it back).
//
// The scratch folder is removed once the process and everything it started
// have ended: the process forks at the start, and the first half waits for
// the second (which runs the tests) and for any process it left behind,
// then removes the folder and ends as the second did (the same exit status,
// or the same signal). Under a debugger the process does not fork, and
// removes the folder at exit instead. Child processes started by a test
// inherit the environment as the test left it and enter nothing again.
#pragma once

namespace testsupport {

class TestEnvironment {
 public:
  // Enters the environment; later calls do nothing. Every test, benchmark
  // and fuzz binary (and run_in_test_environment, which runs the script
  // tests) enters it before main, ahead of other static initialisers.
  static void enter();
};

}  // namespace testsupport
