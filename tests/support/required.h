// What a test needs and a machine may lack: the built Windows stub, or the
// release tools (openssl, osslsigncode, icoutils' wrestool). Where the build
// does not promise it, the test is skipped and says why, so that CTest
// reports it; where the build does promise it, its absence fails the test.
#pragma once

#include <gtest/gtest.h>

// Set by the build: PXQ_STUB_REQUIRED when it builds the Windows stub,
// PXQ_TOOLS_REQUIRED unless it is configured with PXQ_REQUIRE_TEST_TOOLS=OFF.
#ifndef PXQ_STUB_REQUIRED
#define PXQ_STUB_REQUIRED 0
#endif
#ifndef PXQ_TOOLS_REQUIRED
#define PXQ_TOOLS_REQUIRED 0
#endif

// Ends the test when `have` is false: a failure where `required`, else a
// skip; `what` says what is missing. Only in a function returning void.
#define PXQ_NEED(have, required, what)                                                \
  do {                                                                                \
    if (!(have)) {                                                                    \
      if (required) FAIL() << what << "; this build requires it";                     \
      GTEST_SKIP() << what;                                                           \
    }                                                                                 \
  } while (0)

#define PXQ_NEED_STUB(have, what) PXQ_NEED(have, PXQ_STUB_REQUIRED, what)
#define PXQ_NEED_TOOLS(have, what) PXQ_NEED(have, PXQ_TOOLS_REQUIRED, what)
