#include "host_support.h"

#include "platform/posix.h"

const Platform& Host() { return *PosixPlatform(); }
