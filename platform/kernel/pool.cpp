// Executive pool: every block is a host heap block (so the address sanitizer
// sees overruns and uses after free) plus a record of its tag, size, type,
// allocation site and the driver it is charged to, for the leak check at
// unload and the bad-free check.
#include <cstdlib>
#include <cstring>
#include <deque>
#include <unordered_map>

#include "kernel/checks.h"
#include "kernel/faults.h"
#include "kernel/internal.h"
#include "kernel/io.h"
#include "kernel/io_private.h"

namespace vax::kernel {
namespace {

// New blocks are not zeroed on Windows; a fixed pattern makes a driver that
// relies on zeroed pool fail the same way every run.
constexpr unsigned char kFreshFill = 0xC5;
constexpr unsigned char kFreedFill = 0xDF;
// How many freed blocks are remembered to tell "freed twice" from "foreign".
constexpr std::size_t kFreedMemory = 4096;

constexpr ULONG MakeTag(const char (&text)[5]) {
  return static_cast<ULONG>(static_cast<unsigned char>(text[0])) |
         static_cast<ULONG>(static_cast<unsigned char>(text[1])) << 8 |
         static_cast<ULONG>(static_cast<unsigned char>(text[2])) << 16 |
         static_cast<ULONG>(static_cast<unsigned char>(text[3])) << 24;
}
constexpr ULONG kUntaggedTag = MakeTag("None");  // what ExAllocatePool charges

struct Block {
  SIZE_T size;
  ULONG tag;
  POOL_TYPE type;
  PDRIVER_OBJECT driver;
  io::Site site;
};

struct PoolState {
  sim::Mutex mutex;
  std::unordered_map<const void*, Block> blocks;
  std::unordered_map<const void*, io::Site> freed;  // address -> where it was freed
  std::deque<const void*> freed_order;
};

PoolState& State() {
  static PoolState* state = new PoolState;  // outlives every test bed
  return *state;
}

bool IsPaged(POOL_TYPE type) {
  return (static_cast<int>(type) & 1) != 0;
}

const char* TypeName(POOL_TYPE type) {
  switch (type) {
    case NonPagedPool:
      return "NonPagedPool";
    case PagedPool:
      return "PagedPool";
    case NonPagedPoolMustSucceed:
      return "NonPagedPoolMustSucceed";
    case NonPagedPoolCacheAligned:
      return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned:
      return "PagedPoolCacheAligned";
  }
  return "an unknown pool type";
}

std::string DescribeBlock(const void* address, const Block& block) {
  return "pool block " + io::Hex(address) + " of " + std::to_string(block.size) + " bytes, tag '" +
         TagName(block.tag) + "', " + TypeName(block.type) + ", allocated at " +
         io::DescribeSite(block.site);
}

PoolBlock ToPublic(const void* address, const Block& block) {
  return PoolBlock{const_cast<PVOID>(address),  block.size, block.tag, block.type, block.driver,
                   io::DescribeSite(block.site)};
}

void FreeBlock(PVOID pointer, ULONG tag, bool check_tag, const void* caller) {
  const char* service = check_tag ? "ExFreePoolWithTag" : "ExFreePool";
  RequireIrqlAtMost(DISPATCH_LEVEL, service);
  if (pointer == nullptr) {
    ReportViolation(Rule::kBadPoolFree, std::string(service) + "(NULL) at " +
                                            io::DescribeSite(io::CaptureSite(caller)));
    return;
  }
  PoolState& state = State();
  Block block;
  std::string fault;  // reported after the lock is dropped
  {
    std::lock_guard<sim::Mutex> lock(state.mutex);
    auto found = state.blocks.find(pointer);
    if (found == state.blocks.end()) {
      auto freed = state.freed.find(pointer);
      fault = std::string(service) + "(" + io::Hex(pointer) + ") at " +
              io::DescribeSite(io::CaptureSite(caller)) +
              (freed != state.freed.end()
                   ? ": the block was already freed at " + io::DescribeSite(freed->second)
                   : std::string(": not the start of a pool block"));
    } else if (check_tag && tag != found->second.tag) {
      fault = std::string(service) + " with tag '" + TagName(tag) + "' of " +
              DescribeBlock(pointer, found->second) + ", at " +
              io::DescribeSite(io::CaptureSite(caller));
    } else {
      block = found->second;
      state.blocks.erase(found);
      state.freed[pointer] = io::CaptureSite(caller);
      state.freed_order.push_back(pointer);
      if (state.freed_order.size() > kFreedMemory) {
        state.freed.erase(state.freed_order.front());
        state.freed_order.pop_front();
      }
    }
  }
  if (!fault.empty()) {
    // The block, if there is one, is left alone: freeing it anyway could
    // only turn a reported fault into memory corruption.
    ReportViolation(Rule::kBadPoolFree, std::move(fault));
    return;
  }
  if (IsPaged(block.type) && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    ReportViolation(Rule::kPagedPoolAtDispatch, std::string(service) + " of paged " +
                                                    DescribeBlock(pointer, block) + " at IRQL " +
                                                    std::to_string(KeGetCurrentIrql()));
  }
  std::memset(pointer, kFreedFill, block.size);
  std::free(pointer);
}

}  // namespace

namespace io {

PVOID AllocatePool(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* site) {
  if (type != NonPagedPool && type != PagedPool && type != NonPagedPoolMustSucceed &&
      type != NonPagedPoolCacheAligned && type != PagedPoolCacheAligned) {
    ReportViolation(Rule::kBadPoolFree, "pool allocation of type " + std::to_string(type) + " at " +
                                            DescribeSite(CaptureSite(site)));
    return nullptr;
  }
  if (IsPaged(type) && KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    ReportViolation(Rule::kPagedPoolAtDispatch, "paged pool allocation of " +
                                                    std::to_string(bytes) + " bytes at IRQL " +
                                                    std::to_string(KeGetCurrentIrql()) + " at " +
                                                    DescribeSite(CaptureSite(site)));
  } else {
    RequireIrqlAtMost(DISPATCH_LEVEL, "ExAllocatePoolWithTag");
  }
  PDRIVER_OBJECT driver = CurrentDriver();
  if (type != NonPagedPoolMustSucceed &&
      ShouldFailAllocation(AllocationKind::kPool, site, driver)) {
    return nullptr;
  }
  void* block = std::malloc(bytes != 0 ? bytes : 1);
  if (block == nullptr)
    return nullptr;
  std::memset(block, kFreshFill, bytes);
  PoolState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  state.freed.erase(block);  // the address is live again
  state.blocks[block] = Block{bytes, tag, type, driver, CaptureSite(site)};
  return block;
}

void ResetPool() {
  PoolState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  for (auto& [address, block] : state.blocks)
    std::free(const_cast<void*>(address));
  state.blocks.clear();
  state.freed.clear();
  state.freed_order.clear();
}

}  // namespace io

std::string TagName(ULONG tag) {
  std::string name;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    name.push_back(c >= 0x20 && c < 0x7F ? c : '.');
  }
  return name;
}

std::vector<PoolBlock> PoolBlocks(PDRIVER_OBJECT driver) {
  PoolState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  std::vector<PoolBlock> blocks;
  for (const auto& [address, block] : state.blocks) {
    if (driver == nullptr || block.driver == driver)
      blocks.push_back(ToPublic(address, block));
  }
  return blocks;
}

std::optional<PoolBlock> FindPoolBlock(const void* address) {
  PoolState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  auto found = state.blocks.find(address);
  if (found == state.blocks.end())
    return std::nullopt;
  return ToPublic(address, found->second);
}

void ReportPoolLeaks(PDRIVER_OBJECT driver, std::string* report) {
  PoolState& state = State();
  std::lock_guard<sim::Mutex> lock(state.mutex);
  for (const auto& [address, block] : state.blocks) {
    if (block.driver == driver)
      *report += DescribeBlock(address, block) + "\n";
  }
}

}  // namespace vax::kernel

extern "C" {

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return vax::kernel::io::AllocatePool(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return vax::kernel::io::AllocatePool(PoolType, NumberOfBytes, vax::kernel::kUntaggedTag,
                                       __builtin_return_address(0));
}

void NTAPI ExFreePool(PVOID P) {
  vax::kernel::FreeBlock(P, 0, false, __builtin_return_address(0));
}

void NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) {
  vax::kernel::FreeBlock(P, Tag, true, __builtin_return_address(0));
}

}  // extern "C"
