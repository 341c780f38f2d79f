// The test bed's entry object: boots the scheduler and the kernel stand-in,
// owns the clock and the threads, and on shutdown checks that every driver
// resource was released.
//
//   vax::World world;                  // deterministic, seed from VAX_SEED
//   ... create devices, load a driver, act as an application ...
//
// The thread that constructs the World becomes the sim thread "main" and must
// be the one that destroys it.
#pragma once

#include "sim/scheduler.h"

namespace vax {

struct WorldOptions {
  sim::Options sched = sim::Options::FromEnvironment();
  int processors = 2;    // DPC threads, one per simulated processor
  bool announce = true;  // print the seed and options at boot
};

class World {
 public:
  explicit World(WorldOptions options = {});
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  sim::Scheduler& scheduler() { return scheduler_; }
  const WorldOptions& options() const { return options_; }

  // Lets simulated time pass for the calling thread (usually the test).
  void RunFor(sim::Ticks duration);

 private:
  WorldOptions options_;
  sim::Scheduler scheduler_;
};

}  // namespace vax
