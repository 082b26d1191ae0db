#include "platform/posix_internal.h"

static const Platform posixPlatform = {
#define PXQ_POSIX_ENTRY(ret, name, fail, params, args) Posix##name,
    PXQ_PLATFORM_OPS(PXQ_POSIX_ENTRY)
#undef PXQ_POSIX_ENTRY
};

const Platform* PosixPlatform() { return &posixPlatform; }
