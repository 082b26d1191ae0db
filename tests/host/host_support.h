// Helpers shared by the host backend's tests.
#pragma once

#include "platform/platform.h"

// The posix backend's operations.
const Platform& Host();
