// The scheduler and the clock of the host test bed.
//
// Every thread the platform knows (system threads, the DPC and timer thread,
// hardware model threads, the test's own thread) is a sim::Thread. Two modes:
//
// - Deterministic (default): all sim threads are fibers on the one OS thread
//   that booted the scheduler; exactly one runs at a time and it keeps running
//   until it reaches a scheduling point (Yield, Park, Unpark, Spawn, Join).
//   There the next thread is chosen by a PRNG seeded from Options::seed
//   (Policy::kRandom: uniformly among the runnable; Policy::kPct: the highest
//   PCT priority, which starts from the kernel priority with random ties,
//   drops to the bottom at pct_depth - 1 random change points drawn within a
//   horizon of 16..16384 decisions, and drops below every non-yielder on an
//   explicit Yield, so that polling loops progress). When every thread is
//   parked, virtual time jumps to the earliest park deadline; with no
//   deadline either, that is a deadlock: the handler gets a report of every
//   thread's name, priority and wait. Same seed, same run, bit for bit.
// - Free-running: sim threads are OS threads running in parallel, time is the
//   host's monotonic clock. Used by the thread sanitizer build and real-time
//   benchmarks.
//
// Nothing outside platform/sim reads the host clock or sleeps on the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vax::sim {

// Time since boot in 100-ns units, the unit of the kernel's clock.
using Ticks = std::int64_t;
constexpr Ticks kNoDeadline = INT64_MAX;
constexpr Ticks kTicksPerUs = 10;
constexpr Ticks kTicksPerMs = 10'000;
constexpr Ticks kTicksPerSecond = 10'000'000;

enum class Mode { kDeterministic, kFree };
enum class Policy { kRandom, kPct };

struct Options {
  Mode mode = Mode::kDeterministic;
  Policy policy = Policy::kRandom;
  std::uint64_t seed = 1;
  int pct_depth = 3;                     // PCT: number of priority change points + 1
  std::size_t stack_bytes = 512 * 1024;  // per fiber (deterministic mode)

  // Reads VAX_SEED (decimal) and VAX_SCHED (random | pct | free) over the
  // defaults given; throws std::invalid_argument on a malformed value. (Two
  // overloads: GCC rejects "= {}" for the class's own type inside the class.)
  static Options FromEnvironment();
  static Options FromEnvironment(Options defaults);
  std::string Describe() const;  // "seed=7 sched=random" and how to replay
};

class Thread;  // opaque; owned by the scheduler

enum class WakeReason { kUnparked, kDeadline };

class Scheduler {
 public:
  // Boots the scheduler; the calling OS thread becomes the sim thread "main".
  // At most one scheduler exists in a process at a time.
  explicit Scheduler(const Options& options);
  // Threads still alive are reported (name and wait) and abandoned, never run.
  // Must run on "main". Deterministic mode: their stacks are kept, never
  // unwound. Free mode: OS threads cannot be stopped; they are detached and the
  // scheduler's state is kept for them, but they must not use it any more.
  ~Scheduler();
  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  static Scheduler* Current();  // the booted scheduler, or nullptr

  const Options& options() const;
  bool deterministic() const;

  // Creates a runnable thread. A scheduling point. `priority` 0-31 follows the
  // kernel's scale; it orders nothing in the random policy but shows in
  // reports and seeds PCT's initial order.
  Thread* Spawn(std::string name, int priority, std::function<void()> body);
  Thread* Self() const;
  // Parks until `thread` has returned from its body. A scheduling point.
  void Join(Thread* thread);
  bool Finished(Thread* thread) const;

  Ticks Now() const;

  // A scheduling point: another runnable thread may run before this returns.
  void Yield(const char* point);

  // Permit semantics (as a binary semaphore per thread): returns at once,
  // consuming the permit, if Unpark was called since the last Park; otherwise
  // blocks until Unpark or until Now() >= deadline. `what` describes the wait
  // in deadlock reports. Spurious returns are allowed: callers re-check their
  // condition in a loop.
  WakeReason Park(Ticks deadline, const char* what);
  void Unpark(Thread* thread);  // a scheduling point in deterministic mode

  void SetPriority(Thread* thread, int priority);
  int Priority(Thread* thread) const;
  const std::string& Name(Thread* thread) const;

  // One pointer of per-thread data for the layers above (the kernel keeps its
  // KTHREAD here). Fibers share an OS thread, so thread_local cannot be used.
  void SetThreadData(Thread* thread, void* data);
  void* ThreadData(Thread* thread) const;

  // Mixes an event into the run digest (e.g. an IRP completion, a URB).
  void Note(std::uint64_t event);
  std::uint64_t Digest() const;     // order of every decision and noted event
  std::uint64_t Decisions() const;  // scheduling decisions made so far

  // Every thread with its name, priority, state and wait.
  std::string DescribeThreads() const;

  // Called on deadlock in deterministic mode with the report; the default
  // prints it with the replay line and aborts the process. The handler runs on
  // the thread "main", inside its blocking call (Park, Join, SleepUntil...). A
  // deadlock cannot be resumed: to carry on, throw from the handler; the
  // exception leaves main's blocking call with main running again, and the
  // other threads stay where they were (main may unpark them, or let the
  // destructor abandon them). A handler that returns aborts the process.
  void SetDeadlockHandler(std::function<void(const std::string& report)> handler);

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Convenience over Scheduler::Current().
Ticks Now();
void Yield(const char* point);
// Sleeps the calling sim thread until Now() >= deadline (loops over Park).
void SleepUntil(Ticks deadline, const char* what);
void SleepFor(Ticks duration, const char* what);

// A lock for platform state shared between sim threads. In free mode a real
// mutex; in deterministic mode a flag, since only one thread runs at a time.
// Never park, yield or otherwise reach a scheduling point while holding one:
// in deterministic mode doing so is reported as a fault.
// Works with no scheduler booted too (then a real mutex).
class Mutex {
 public:
  Mutex() noexcept;
  ~Mutex();
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock();
  void unlock();

 private:
  struct Real;
  alignas(8) unsigned char storage_[64];
  bool held_ = false;  // deterministic mode: the flag
  bool real_ = false;  // the current holder took the real mutex
};

}  // namespace vax::sim
