// Pool and allocation fault injection: tags, sizes and charging of blocks;
// failing the Nth allocation, failing with a probability, and sweeping every
// allocation site once.
#include <gmock/gmock.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "io_fixture.h"
#include "kernel/faults.h"

namespace {

using vax::kernel::AllocationKind;
using vax::kernel::FaultPlan;
using vax::kernel::ScopedFault;
using vax::kernel::SiteSweep;
using vax::test::IoTest;
using vax::test::Tag;

class Pool : public IoTest {
 protected:
  // Allocates `count` blocks as the test driver would; true where one failed.
  std::vector<bool> AllocateAsDriver(int count) {
    vax::kernel::DriverScope scope(driver_);
    std::vector<bool> failed;
    for (int i = 0; i < count; ++i) {
      PVOID block = ExAllocatePoolWithTag(NonPagedPool, 32, Tag("Flt "));
      failed.push_back(block == nullptr);
      if (block != nullptr)
        ExFreePool(block);
    }
    return failed;
  }
};

TEST_F(Pool, BlocksCarryTagSizeTypeAndTheDriverCharged) {
  PVOID untagged = ExAllocatePool(PagedPool, 10);
  PVOID charged;
  {
    vax::kernel::DriverScope scope(driver_);
    charged = ExAllocatePoolWithTag(NonPagedPool, 0x11000, Tag("Vaxp"));
  }
  auto block = vax::kernel::FindPoolBlock(charged);
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(0x11000u, block->size);
  EXPECT_EQ("Vaxp", vax::kernel::TagName(block->tag));
  EXPECT_EQ(NonPagedPool, block->type);
  EXPECT_EQ(driver_, block->driver);
  EXPECT_EQ("None", vax::kernel::TagName(vax::kernel::FindPoolBlock(untagged)->tag));
  EXPECT_EQ(nullptr, vax::kernel::FindPoolBlock(untagged)->driver);
  ASSERT_EQ(1u, vax::kernel::PoolBlocks(driver_).size());
  EXPECT_EQ(charged, vax::kernel::PoolBlocks(driver_)[0].address);
  ExFreePoolWithTag(charged, Tag("Vaxp"));
  ExFreePool(untagged);
  EXPECT_TRUE(vax::kernel::PoolBlocks().empty());
}

TEST_F(Pool, NewBlocksAreNotZeroed) {
  auto* block = static_cast<unsigned char*>(ExAllocatePool(NonPagedPool, 64));
  int zeros = 0;
  for (int i = 0; i < 64; ++i)
    zeros += block[i] == 0;
  EXPECT_EQ(0, zeros);
  ExFreePool(block);
}

TEST_F(Pool, TheNthAllocationFails) {
  struct Case {
    std::uint64_t nth;
    bool and_after;
    std::vector<bool> failed;
  } cases[] = {
      {1, false, {true, false, false, false, false}},
      {3, false, {false, false, true, false, false}},
      {3, true, {false, false, true, true, true}},
      {9, false, {false, false, false, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "nth " << c.nth << " and after " << c.and_after);
    FaultPlan plan;
    plan.mode = FaultPlan::Mode::kNth;
    plan.nth = c.nth;
    plan.and_after = c.and_after;
    ScopedFault fault(AllocationKind::kPool, plan);
    EXPECT_EQ(c.failed, AllocateAsDriver(5));
    EXPECT_EQ(5u, vax::kernel::CountedAllocations(AllocationKind::kPool));
  }
}

// Plans count allocations charged to drivers; the platform's own (and the
// test's) only when asked.
TEST_F(Pool, PlansCountDriverAllocationsUnlessThePlatformIsIncluded) {
  for (bool include_platform : {false, true}) {
    FaultPlan plan;
    plan.mode = FaultPlan::Mode::kNth;
    plan.nth = 1;
    plan.include_platform = include_platform;
    ScopedFault fault(AllocationKind::kPool, plan);
    PVOID block = ExAllocatePool(NonPagedPool, 8);
    EXPECT_EQ(include_platform, block == nullptr);
    if (block != nullptr)
      ExFreePool(block);
  }
}

TEST_F(Pool, ProbabilisticFailuresRepeatForTheSameSeed) {
  auto pattern = [&](std::uint64_t seed, double probability) {
    FaultPlan plan;
    plan.mode = FaultPlan::Mode::kProbability;
    plan.probability = probability;
    plan.seed = seed;
    ScopedFault fault(AllocationKind::kPool, plan);
    return AllocateAsDriver(64);
  };
  const std::vector<bool> first = pattern(7, 0.5);
  EXPECT_EQ(first, pattern(7, 0.5));
  EXPECT_NE(first, pattern(8, 0.5));
  const long failures = std::count(first.begin(), first.end(), true);
  EXPECT_GT(failures, 10);
  EXPECT_LT(failures, 54);
  EXPECT_EQ(std::vector<bool>(64, false), pattern(7, 0.0));
  EXPECT_EQ(std::vector<bool>(64, true), pattern(7, 1.0));
}

TEST_F(Pool, IrpAllocationFailsUnderAnIrpPlan) {
  FaultPlan plan;
  plan.mode = FaultPlan::Mode::kNth;
  plan.nth = 1;
  plan.include_platform = true;
  ScopedFault fault(AllocationKind::kIrp, plan);
  PDEVICE_OBJECT device = AddDevice(nullptr);
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(nullptr, IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0, TRUE,
                                                   &event, &iosb));
  PIRP irp = IoAllocateIrp(1, FALSE);
  EXPECT_NE(nullptr, irp);
  IoFreeIrp(irp);
  ASSERT_EQ(1u, vax::kernel::InjectedFaults().size());
  EXPECT_EQ(AllocationKind::kIrp, vax::kernel::InjectedFaults()[0].kind);
  EXPECT_EQ(1u, vax::kernel::InjectedFaults()[0].index);
}

// A driver-like routine with three allocation sites that cleans up on every
// failure; the sweep must fail each site exactly once, then run clean.
NTSTATUS ThreeSites(int* completed) {
  PVOID a = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("One "));
  if (a == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  PVOID b = ExAllocatePoolWithTag(NonPagedPool, 8, Tag("Two "));
  if (b == nullptr) {
    ExFreePool(a);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  PIRP irp = IoAllocateIrp(1, FALSE);
  ExFreePool(b);
  ExFreePool(a);
  if (irp == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  IoFreeIrp(irp);
  ++*completed;
  return STATUS_SUCCESS;
}

TEST_F(Pool, ASiteSweepFailsEachAllocationSiteOnce) {
  SiteSweep sweep({AllocationKind::kPool, AllocationKind::kIrp}, driver_);
  std::vector<NTSTATUS> results;
  int completed = 0;
  for (int run = 0; run < 10 && !sweep.done(); ++run) {
    SiteSweep::Run armed(sweep);
    vax::kernel::DriverScope scope(driver_);
    results.push_back(ThreeSites(&completed));
    EXPECT_TRUE(vax::kernel::PoolBlocks().empty());
  }
  EXPECT_EQ(4, sweep.runs());
  EXPECT_EQ((std::vector<NTSTATUS>{STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES,
                                   STATUS_INSUFFICIENT_RESOURCES, STATUS_SUCCESS}),
            results);
  EXPECT_EQ(1, completed);
  ASSERT_EQ(3u, sweep.failed_sites().size());
  EXPECT_EQ(3u,
            std::set<std::string>(sweep.failed_sites().begin(), sweep.failed_sites().end()).size());
}

}  // namespace
