// Operations of the posix backend that are not implemented yet: each fails
// with ERROR_CALL_NOT_IMPLEMENTED (120). Remove an entry when its real one lands.
#include "platform/posix_internal.h"

#pragma GCC diagnostic ignored "-Wunused-parameter"

