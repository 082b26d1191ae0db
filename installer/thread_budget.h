// How many threads decode a whole pass's blocks, and how much memory they
// may hold between them. Pure arithmetic, apart from the machine's figures
// that the callers pass in, so that the bounds are tested for any machine.
#pragma once

#include <stdint.h>

// The memory that decoding threads may hold between them: in a 64-bit
// process a quarter of the machine's memory, and never less than `floor`; a
// 32-bit process keeps to `floor`, for its 2 GiB of address space must
// still hold the installer and blocks of 64 MiB or more in one piece each.
uint64_t DecodingMemoryBudget(uint64_t physical, uint32_t pointerbytes, uint64_t floor);

// The threads for a pass: `requested` (0: one per core, `cores`), no more
// than `blocks`, than `most`, nor than fit in `budget` at `each` bytes a
// thread; at least one.
uint32_t DecodingThreadCount(uint32_t requested, uint32_t cores, uint32_t blocks, uint64_t each, uint64_t budget,
                             uint32_t most);
