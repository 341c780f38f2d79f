#include "world/world.h"

#include <cstdio>

#include "kernel/boot.h"
#include "kernel/io.h"
#include "kernel/pnp.h"
#include "win32/subsystem.h"

namespace vax {

World::World(WorldOptions options) : options_(options), scheduler_(options.sched) {
  if (options_.announce)
    std::printf("world: %s\n", options_.sched.Describe().c_str());
  kernel::BootThreads();
  kernel::BootTimers(options_.processors);
  // Every test starts from an empty system: no device, driver, key or record
  // left from an earlier World in the same process.
  kernel::ResetIoSystem();
  kernel::ResetPlugAndPlay();
  win32::Boot();
}

World::~World() {
  win32::Shutdown();
  kernel::ShutdownTimers();
  kernel::ResetDispatcher();
  kernel::ShutdownThreads();
  kernel::ResetPlugAndPlay();
  kernel::ResetIoSystem();
}

void World::RunFor(sim::Ticks duration) {
  sim::SleepFor(duration, "World::RunFor");
}

}  // namespace vax
