// The names of the Windows result codes that the loader's and the host
// layer's operations return, for messages.
#pragma once

#include <stdint.h>

#include <string>

// "ERROR_READ_FAULT 30"; numbers without a known name as "error 1234".
std::string ResultText(uint32_t code);
// Why a file could not be read: the host's words for the code, else its name.
std::string FileFaultText(uint32_t code);
