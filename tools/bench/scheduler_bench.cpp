// How fast the deterministic scheduler decides, alone and under the kernel's
// events: every simulated millisecond of a fast serial transfer costs dozens
// of decisions, so this rate bounds how cheap a simulated second can be.
#include <benchmark/benchmark.h>

#include "nt/kernel.h"
#include "sim/scheduler.h"
#include "world/world.h"

namespace {

vax::sim::Options Deterministic() {
  vax::sim::Options options;
  options.seed = 7;
  return options;
}

// Two sim threads yielding to each other: the bare cost of a decision.
void BM_YieldDecisions(benchmark::State& state) {
  vax::sim::Scheduler scheduler(Deterministic());
  bool stop = false;
  vax::sim::Thread* other = scheduler.Spawn("other", 8, [&] {
    while (!stop)
      scheduler.Yield("bench");
  });
  const std::uint64_t before = scheduler.Decisions();
  for (auto _ : state)
    scheduler.Yield("bench");
  const std::uint64_t decisions = scheduler.Decisions() - before;
  stop = true;
  scheduler.Join(other);
  state.counters["decisions_per_s"] =
      benchmark::Counter(static_cast<double>(decisions), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_YieldDecisions);

// A synchronization-event ping-pong between the test thread and a system
// thread: what a driver thread woken by a DPC costs.
void BM_KernelEventPingPong(benchmark::State& state) {
  vax::WorldOptions options;
  options.sched = Deterministic();
  options.announce = false;
  vax::World world(options);
  static KEVENT ping, pong;
  static bool stop;
  stop = false;
  KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
  HANDLE handle;
  PsCreateSystemThread(
      &handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr,
      [](PVOID) {
        for (;;) {
          KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
          if (stop)
            break;
          KeSetEvent(&pong, 0, FALSE);
        }
      },
      nullptr);
  PVOID thread;
  ObReferenceObjectByHandle(handle, SYNCHRONIZE, nullptr, KernelMode, &thread, nullptr);
  ZwClose(handle);
  const std::uint64_t before = world.scheduler().Decisions();
  for (auto _ : state) {
    KeSetEvent(&ping, 0, FALSE);
    KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
  }
  const std::uint64_t decisions = world.scheduler().Decisions() - before;
  stop = true;
  KeSetEvent(&ping, 0, FALSE);
  KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
  state.counters["decisions_per_s"] =
      benchmark::Counter(static_cast<double>(decisions), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_KernelEventPingPong);

}  // namespace
