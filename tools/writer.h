// The package writer moved to tools/writer/; this name stays for the code
// outside tools/ that still includes it.
#pragma once

#include "tools/writer/writer.h"
