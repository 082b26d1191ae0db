#include "installer/thread_budget.h"

uint64_t DecodingMemoryBudget(uint64_t physical, uint32_t pointerbytes, uint64_t floor) {
  if (pointerbytes < 8) return floor;
  uint64_t quarter = physical / 4;
  return quarter > floor ? quarter : floor;
}

uint32_t DecodingThreadCount(uint32_t requested, uint32_t cores, uint32_t blocks, uint64_t each, uint64_t budget,
                             uint32_t most) {
  uint64_t threads = requested != 0 ? requested : cores;
  uint64_t fit = budget / (each == 0 ? 1 : each);
  if (threads > fit) threads = fit;
  if (threads > blocks) threads = blocks;
  if (threads > most) threads = most;
  return threads == 0 ? 1u : static_cast<uint32_t>(threads);
}
