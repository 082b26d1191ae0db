#include "installer/block_decoders.h"

#include "installer/data_blocks.h"
#include "installer/file_layer.h"
#include "installer/worker_threads.h"
#include "platform/heap.h"
#include "platform/platform.h"

namespace {

enum SlotState { SlotFree, SlotDecoding, SlotReady };

// A block's room: the compressed block and the decoded one.
struct Slot {
  uint8_t* in;
  uint8_t* out;
  uint32_t state;
  uint32_t block;  // the block it holds, when not free
  uint32_t code;   // LoadDataBlock's result, when ready
};

struct Worker {
  BlockDecoders* owner;
  HANDLE file;
  WorkerThread* thread;
  DataBlockDecoder* decoder;  // kept from block to block
};

}  // namespace

struct BlockDecoders {
  BlockDecodersSetup setup;
  WorkerLock* lock;
  Slot* slots;  // as many as workers
  Worker* workers;
  uint32_t count;    // workers running
  uint32_t next;     // the next block to decode
  uint32_t lowest;   // the lowest block still wanted
  uint32_t held;     // the slot the caller reads, or count
  bool stopping;
};

namespace {

void RunDecoder(void* context) {
  Worker* worker = static_cast<Worker*>(context);
  BlockDecoders* d = worker->owner;
  EnterWorkerLock(d->lock);
  for (;;) {
    uint32_t free = d->count;
    while (!d->stopping && d->next < d->setup.count) {
      for (free = 0; free < d->count && d->slots[free].state != SlotFree; ++free) {}
      if (free < d->count) break;
      WaitForWorkers(d->lock);
    }
    if (d->stopping || d->next >= d->setup.count) break;
    Slot& slot = d->slots[free];
    slot.state = SlotDecoding;
    slot.block = d->next++;
    LeaveWorkerLock(d->lock);
    uint32_t code = LoadDataBlock(worker->file, d->setup.start, &d->setup.blocks[slot.block], slot.in, slot.out,
                                  d->setup.dictionarylimit, &worker->decoder);
    EnterWorkerLock(d->lock);
    slot.code = code;
    slot.state = SlotReady;
    WakeWorkers(d->lock);
  }
  LeaveWorkerLock(d->lock);
}

// Frees the rooms of blocks no longer wanted. Called with the lock held.
void DropBefore(BlockDecoders* d, uint32_t k) {
  for (uint32_t s = 0; s < d->count; ++s) {
    if (s == d->held || d->slots[s].state != SlotReady || d->slots[s].block >= k) continue;
    d->slots[s].state = SlotFree;
    WakeWorkers(d->lock);
  }
}

void FreeDecoders(BlockDecoders* d, uint32_t rooms) {
  for (uint32_t s = 0; s < rooms; ++s) {
    FreeBlock(d->slots[s].in);
    FreeBlock(d->slots[s].out);
    if (d->workers[s].file != INVALID_HANDLE_VALUE) Sys().CloseHandle(d->workers[s].file);
    FreeDataBlockDecoder(d->workers[s].decoder);
  }
  DestroyWorkerLock(d->lock);
  FreeBlock(d->slots);
  FreeBlock(d->workers);
  FreeBlock(d);
}

}  // namespace

uint32_t ReadFileAt(HANDLE file, uint64_t offset, uint8_t* bytes, uint32_t count) {
  LONG high = static_cast<LONG>(offset >> 32);
  Sys().SetLastError(0);
  DWORD low = Sys().SetFilePointer(file, static_cast<LONG>(static_cast<uint32_t>(offset)), &high, FILE_BEGIN);
  if (low == INVALID_SET_FILE_POINTER && Sys().GetLastError() != 0) return Sys().GetLastError();
  while (count != 0) {
    DWORD got = 0;
    if (!Sys().ReadFile(file, bytes, count, &got, NULL)) return Sys().GetLastError();
    if (got == 0) return ERROR_HANDLE_EOF;
    if (got > count) got = count;
    bytes += got;
    count -= got;
  }
  return 0;
}

uint32_t LoadDataBlock(HANDLE file, uint64_t start, const DataBlock* block, uint8_t* in, uint8_t* out,
                       uint32_t dictionarylimit, DataBlockDecoder** decoder) {
  uint32_t code = ReadFileAt(file, start + block->offset, in, static_cast<uint32_t>(block->size));
  if (code == 0) code = DecodeDataBlock(decoder, block, in, out, dictionarylimit);
  return code;
}

void StartBlockDecoders(const BlockDecodersSetup* setup, BlockDecoders** result, uint32_t* started) {
  *result = nullptr;
  *started = 0;
  const uint32_t wanted = setup->threads;
  if (wanted == 0) return;
  BlockDecoders* d = static_cast<BlockDecoders*>(AllocZeroed(sizeof(BlockDecoders)));
  if (d == nullptr) return;
  d->setup = *setup;
  d->slots = static_cast<Slot*>(AllocZeroed(wanted * static_cast<uint32_t>(sizeof(Slot))));
  d->workers = static_cast<Worker*>(AllocZeroed(wanted * static_cast<uint32_t>(sizeof(Worker))));
  if (d->slots == nullptr || d->workers == nullptr || CreateWorkerLock(&d->lock) != 0) {
    FreeDecoders(d, 0);
    return;
  }
  // Each worker's room and handle first, so that none is added while
  // workers run.
  uint32_t rooms = 0;
  for (; rooms < wanted; ++rooms) {
    Slot& slot = d->slots[rooms];
    Worker& worker = d->workers[rooms];
    worker.owner = d;
    worker.file = INVALID_HANDLE_VALUE;
    slot.in = static_cast<uint8_t*>(AllocZeroed(setup->largest == 0 ? 1 : setup->largest));
    slot.out = static_cast<uint8_t*>(AllocZeroed(setup->blocksize == 0 ? 1 : setup->blocksize));
    if (slot.in == nullptr || slot.out == nullptr || LayerOpenRead(setup->path, &worker.file) != 0) {
      FreeBlock(slot.in);
      FreeBlock(slot.out);
      slot.in = slot.out = nullptr;
      worker.file = INVALID_HANDLE_VALUE;
      break;
    }
  }
  d->count = rooms;
  d->held = rooms;
  // The workers wait for the lock until all are started: the number of
  // rooms they share is then settled.
  EnterWorkerLock(d->lock);
  uint32_t running = 0;
  while (running < rooms && StartWorker(RunDecoder, &d->workers[running], &d->workers[running].thread) == 0) ++running;
  d->count = running;
  d->held = running;
  LeaveWorkerLock(d->lock);
  if (running == 0) {
    FreeDecoders(d, rooms);
    return;
  }
  // Rooms beyond the running workers are not used: freed with the rest.
  d->setup.threads = rooms;
  *result = d;
  *started = running;
}

uint32_t TakeDecodedBlock(BlockDecoders* d, uint32_t k, const uint8_t** out) {
  *out = nullptr;
  EnterWorkerLock(d->lock);
  if (d->held < d->count && d->slots[d->held].block == k) {
    *out = d->slots[d->held].out;
    LeaveWorkerLock(d->lock);
    return 0;
  }
  if (d->held < d->count) {
    d->slots[d->held].state = SlotFree;
    d->held = d->count;
    WakeWorkers(d->lock);
  }
  uint32_t code = 0;
  if (k < d->lowest || k >= d->setup.count) {
    code = ERROR_INVALID_DATA;  // the blocks are taken in order
  } else {
    d->lowest = k;
    if (d->next < k) d->next = k;  // blocks skipped are not decoded
    for (;;) {
      DropBefore(d, k);
      uint32_t s = 0;
      while (s < d->count && !(d->slots[s].state == SlotReady && d->slots[s].block == k)) ++s;
      if (s < d->count) {
        code = d->slots[s].code;
        if (code == 0) {
          d->held = s;
          *out = d->slots[s].out;
        } else {
          d->slots[s].state = SlotFree;
          d->lowest = k + 1;  // not to be waited for again
          WakeWorkers(d->lock);
        }
        break;
      }
      WaitForWorkers(d->lock);
    }
  }
  LeaveWorkerLock(d->lock);
  return code;
}

void StopBlockDecoders(BlockDecoders* d) {
  if (d == nullptr) return;
  EnterWorkerLock(d->lock);
  d->stopping = true;
  WakeWorkers(d->lock);
  LeaveWorkerLock(d->lock);
  for (uint32_t w = 0; w < d->count; ++w) JoinWorker(d->workers[w].thread);
  FreeDecoders(d, d->setup.threads);
}
