// Zero-filled blocks from the process heap, and two byte helpers.
#pragma once

#include <stdint.h>

#include "platform/types.h"

// The process heap handle; taken once at start-up, before anything allocates.
void TakeProcessHeap();

// A zero-filled block of `size` bytes, or null when the heap cannot supply it.
void* AllocZeroed(uint32_t size);

// Returns a block from AllocZeroed to the heap; null does nothing.
void FreeBlock(void* block);

// Sets `count` bytes to zero.
void ZeroBytes(void* destination, uint32_t count);

// Copies `count` bytes forward between regions that do not overlap.
void CopyBytes(void* destination, const void* source, uint32_t count);
