// Skipping, on Windows, the tests that need what Windows lacks: POSIX
// permission bits, symbolic links (they need a privilege there), /dev/full,
// setpriv.
#ifndef SKARVEL_TESTS_SUPPORT_SKIP_ON_WINDOWS_H_
#define SKARVEL_TESTS_SUPPORT_SKIP_ON_WINDOWS_H_

#include <gtest/gtest.h>

// In a test body: on Windows, skips the test with |lack| (what Windows does
// not have) as the reason; elsewhere does nothing.
#ifdef _WIN32
#define SKARVEL_SKIP_ON_WINDOWS(lack) GTEST_SKIP() << "Windows lacks " << (lack)
#else
#define SKARVEL_SKIP_ON_WINDOWS(lack) \
  do {                                \
  } while (0)
#endif

#endif  // SKARVEL_TESTS_SUPPORT_SKIP_ON_WINDOWS_H_
