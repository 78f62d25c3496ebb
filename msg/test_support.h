// What the msg tests (and the library's tests against velkd) share: linking
// test_support.cc loads the diagnostics before the first test, as the
// library's load initialiser would; the helpers are diag/test_support.h's.
#ifndef MSG_TEST_SUPPORT_H_
#define MSG_TEST_SUPPORT_H_

#include "diag/test_support.h"

#endif  // MSG_TEST_SUPPORT_H_
