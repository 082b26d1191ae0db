// For tests that hand a FIFO to an operation that must refuse it: an open()
// of a FIFO for reading waits until a writer comes, so an operation that
// opens it without O_NONBLOCK hangs. The guard runs the operation on a
// thread and, when it has not returned in time, opens the FIFO for writing
// once to set it free, so that the test fails instead of hanging.
#pragma once

#include <functional>
#include <string>

// Runs `call` with `fifo` as the FIFO it is given. True when it returned on
// its own within `seconds`; false when it had to be released by a writer.
bool ReturnsWithoutAWriter(const std::string& fifo, const std::function<void()>& call, int seconds = 5);
