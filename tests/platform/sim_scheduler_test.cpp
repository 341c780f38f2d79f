// The deterministic scheduler and clock (platform/sim), and its free mode.
#include "sim/scheduler.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace vax::sim {
namespace {

using ::testing::HasSubstr;

Options Det(std::uint64_t seed, Policy policy = Policy::kRandom) {
  Options o;
  o.mode = Mode::kDeterministic;
  o.policy = policy;
  o.seed = seed;
  return o;
}

Options Free() {
  Options o;
  o.mode = Mode::kFree;
  return o;
}

struct DeadlockSeen : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Three threads appending to a trace with yields, parks and sleeps between.
struct RunResult {
  std::string trace;
  std::uint64_t digest = 0;
  std::uint64_t decisions = 0;
  Ticks end = 0;
};

RunResult Workload(const Options& options) {
  Scheduler s(options);
  RunResult run;
  std::vector<Thread*> threads;
  for (int i = 0; i < 3; ++i) {
    threads.push_back(s.Spawn("w" + std::to_string(i), 8, [&run, &s, i] {
      for (int step = 0; step < 6; ++step) {
        run.trace += static_cast<char>('a' + i);
        if (step == 3) {
          SleepFor((i + 1) * kTicksPerMs, "nap");
        } else {
          s.Yield("step");
        }
        s.Note(static_cast<std::uint64_t>(i * 100 + step));
      }
    }));
  }
  for (Thread* t : threads)
    s.Join(t);
  run.digest = s.Digest();
  run.decisions = s.Decisions();
  run.end = s.Now();
  return run;
}

// ---- Options ----------------------------------------------------------------

TEST(SimOptions, FromEnvironmentReadsSeedAndSched) {
  ::setenv("VAX_SEED", "1234", 1);
  ::setenv("VAX_SCHED", "pct", 1);
  Options o = Options::FromEnvironment();
  EXPECT_EQ(o.seed, 1234u);
  EXPECT_EQ(o.mode, Mode::kDeterministic);
  EXPECT_EQ(o.policy, Policy::kPct);
  ::setenv("VAX_SCHED", "free", 1);
  EXPECT_EQ(Options::FromEnvironment().mode, Mode::kFree);
  ::setenv("VAX_SCHED", "random", 1);
  Options base;
  base.policy = Policy::kPct;
  EXPECT_EQ(Options::FromEnvironment(base).policy, Policy::kRandom);
  ::unsetenv("VAX_SEED");
  ::unsetenv("VAX_SCHED");
  Options defaults;
  defaults.seed = 99;
  EXPECT_EQ(Options::FromEnvironment(defaults).seed, 99u);
}

TEST(SimOptions, FromEnvironmentRejectsBadValues) {
  ::setenv("VAX_SEED", "12x", 1);
  EXPECT_THROW(Options::FromEnvironment(), std::invalid_argument);
  ::setenv("VAX_SEED", "-3", 1);
  EXPECT_THROW(Options::FromEnvironment(), std::invalid_argument);
  ::unsetenv("VAX_SEED");
  ::setenv("VAX_SCHED", "fifo", 1);
  EXPECT_THROW(Options::FromEnvironment(), std::invalid_argument);
  ::unsetenv("VAX_SCHED");
}

TEST(SimOptions, DescribeGivesTheReplayLine) {
  EXPECT_EQ(Det(7).Describe(), "seed=7 sched=random (replay: VAX_SEED=7 VAX_SCHED=random)");
  EXPECT_EQ(Det(7, Policy::kPct).Describe(),
            "seed=7 sched=pct depth=3 (replay: VAX_SEED=7 VAX_SCHED=pct)");
  EXPECT_THAT(Free().Describe(), HasSubstr("sched=free"));
}

// ---- boot -------------------------------------------------------------------

TEST(SimScheduler, BootMakesTheCallerMain) {
  EXPECT_EQ(Scheduler::Current(), nullptr);
  {
    Scheduler s(Det(1));
    EXPECT_EQ(Scheduler::Current(), &s);
    EXPECT_TRUE(s.deterministic());
    ASSERT_NE(s.Self(), nullptr);
    EXPECT_EQ(s.Name(s.Self()), "main");
    EXPECT_EQ(s.Now(), 0);
    EXPECT_EQ(Now(), 0);
    EXPECT_EQ(s.options().seed, 1u);
  }
  EXPECT_EQ(Scheduler::Current(), nullptr);
}

TEST(SimSchedulerDeathTest, OnlyOneSchedulerAtATime) {
  EXPECT_DEATH(
      {
        Scheduler a(Det(1));
        Scheduler b(Det(2));
      },
      "already booted");
}

// ---- threads ----------------------------------------------------------------

TEST(SimScheduler, SpawnRunsTheBodyAndJoinWaitsForIt) {
  Scheduler s(Det(3));
  std::vector<std::string> seen;
  Thread* t = s.Spawn("worker", 12, [&] {
    seen.push_back(s.Name(s.Self()));
    s.Yield("inside");
    seen.push_back("done");
  });
  EXPECT_EQ(s.Name(t), "worker");
  EXPECT_EQ(s.Priority(t), 12);
  s.Join(t);
  EXPECT_TRUE(s.Finished(t));
  EXPECT_EQ(seen, (std::vector<std::string>{"worker", "done"}));
  s.Join(t);  // joining a finished thread returns
}

TEST(SimScheduler, ThreadDataAndPriorityAreKeptPerThread) {
  Scheduler s(Det(4));
  int a = 1;
  int b = 2;
  s.SetThreadData(s.Self(), &a);
  Thread* t = s.Spawn("t", 3, [&] {
    s.SetThreadData(s.Self(), &b);
    EXPECT_EQ(s.ThreadData(s.Self()), &b);
  });
  s.Join(t);
  EXPECT_EQ(s.ThreadData(s.Self()), &a);
  EXPECT_EQ(s.ThreadData(t), &b);
  s.SetPriority(t, 30);
  EXPECT_EQ(s.Priority(t), 30);
}

TEST(SimScheduler, ThreadsCanSpawnAndJoinThreads) {
  Scheduler s(Det(5));
  int leaves = 0;
  Thread* root = s.Spawn("root", 8, [&] {
    std::vector<Thread*> kids;
    for (int i = 0; i < 4; ++i) {
      kids.push_back(s.Spawn("kid", 8, [&] {
        Yield("kid");
        ++leaves;
      }));
    }
    for (Thread* k : kids)
      s.Join(k);
  });
  s.Join(root);
  EXPECT_EQ(leaves, 4);
}

TEST(SimScheduler, ManyShortThreadsReuseStacks) {
  Scheduler s(Det(6));
  int count = 0;
  for (int round = 0; round < 20; ++round) {
    std::vector<Thread*> batch;
    for (int i = 0; i < 50; ++i) {
      batch.push_back(s.Spawn("short", 8, [&] { ++count; }));
    }
    for (Thread* t : batch)
      s.Join(t);
  }
  EXPECT_EQ(count, 1000);
}

TEST(SimScheduler, ExceptionsInsideAThreadBodyWork) {
  Scheduler s(Det(7));
  bool caught = false;
  Thread* t = s.Spawn("thrower", 8, [&] {
    try {
      Yield("before throw");
      throw std::runtime_error("inside");
    } catch (const std::runtime_error&) {
      caught = true;
    }
  });
  s.Join(t);
  EXPECT_TRUE(caught);
}

TEST(SimSchedulerDeathTest, AnExceptionEscapingABodyIsAFault) {
  EXPECT_DEATH(
      {
        Scheduler s(Det(8));
        Thread* t = s.Spawn("escaper", 8, [] { throw std::runtime_error("boom"); });
        s.Join(t);
      },
      "escaper let an exception escape: boom");
}

// ---- determinism ------------------------------------------------------------

TEST(SimScheduler, SameSeedSameRunBitForBit) {
  for (Policy policy : {Policy::kRandom, Policy::kPct}) {
    const RunResult a = Workload(Det(42, policy));
    const RunResult b = Workload(Det(42, policy));
    EXPECT_EQ(a.trace, b.trace);
    EXPECT_EQ(a.digest, b.digest);
    EXPECT_EQ(a.decisions, b.decisions);
    EXPECT_EQ(a.end, b.end);
    EXPECT_EQ(a.trace.size(), 18u);
  }
}

TEST(SimScheduler, DifferentSeedsExploreDifferentInterleavings) {
  for (Policy policy : {Policy::kRandom, Policy::kPct}) {
    std::set<std::string> traces;
    std::set<std::uint64_t> digests;
    for (std::uint64_t seed = 1; seed <= 20; ++seed) {
      const RunResult r = Workload(Det(seed, policy));
      traces.insert(r.trace);
      digests.insert(r.digest);
    }
    EXPECT_GT(traces.size(), 3u);
    EXPECT_GT(digests.size(), 3u);
  }
}

TEST(SimScheduler, NoteChangesTheDigest) {
  Scheduler s(Det(9));
  const std::uint64_t before = s.Digest();
  s.Note(1);
  const std::uint64_t one = s.Digest();
  EXPECT_NE(before, one);
  const std::uint64_t decisions = s.Decisions();
  s.Yield("count");
  EXPECT_EQ(s.Decisions(), decisions + 1);
}

TEST(SimScheduler, PctRunsTheHigherKernelPriorityFirst) {
  for (std::uint64_t seed = 1; seed <= 30; ++seed) {
    Scheduler s(Det(seed, Policy::kPct));
    bool ran = false;
    Thread* t = s.Spawn("urgent", 31, [&] { ran = true; });
    EXPECT_TRUE(ran) << "seed " << seed;
    s.Join(t);
  }
}

TEST(SimScheduler, PctYieldLetsAPollingLoopProgress) {
  for (std::uint64_t seed = 1; seed <= 10; ++seed) {
    Scheduler s(Det(seed, Policy::kPct));
    bool flag = false;
    Thread* setter = s.Spawn("setter", 1, [&] { flag = true; });
    Thread* poller = s.Spawn("poller", 31, [&] {
      while (!flag)
        Yield("poll");
    });
    s.Join(poller);
    s.Join(setter);
    EXPECT_TRUE(flag);
  }
}

// ---- park, unpark and virtual time -----------------------------------------

TEST(SimScheduler, APermitMakesTheNextParkReturnAtOnce) {
  Scheduler s(Det(10));
  s.Unpark(s.Self());
  EXPECT_EQ(s.Park(kNoDeadline, "permit"), WakeReason::kUnparked);
  // The permit is consumed: the next park waits (here for its deadline).
  EXPECT_EQ(s.Park(5 * kTicksPerMs, "no permit"), WakeReason::kDeadline);
  EXPECT_EQ(s.Now(), 5 * kTicksPerMs);
}

TEST(SimScheduler, UnparkWakesAParkedThread) {
  Scheduler s(Det(11));
  WakeReason reason = WakeReason::kDeadline;
  bool go = false;
  Thread* t = s.Spawn("waiter", 8, [&] {
    while (!go)
      reason = s.Park(kNoDeadline, "go");
  });
  for (int i = 0; i < 5; ++i)
    s.Yield("let it park");
  go = true;
  s.Unpark(t);
  s.Join(t);
  EXPECT_EQ(reason, WakeReason::kUnparked);
  EXPECT_EQ(s.Now(), 0);  // nobody waited on time
}

TEST(SimScheduler, TimeJumpsToTheEarliestDeadline) {
  Scheduler s(Det(12));
  std::vector<std::pair<std::string, Ticks>> wakes;
  auto sleeper = [&](std::string name, Ticks at) {
    return s.Spawn(name, 8, [&wakes, name, at] {
      SleepUntil(at, "sleep");
      wakes.emplace_back(name, Now());
    });
  };
  Thread* c = sleeper("c", 30 * kTicksPerMs);
  Thread* a = sleeper("a", 10 * kTicksPerMs);
  Thread* b = sleeper("b", 20 * kTicksPerMs);
  s.Join(c);
  s.Join(a);
  s.Join(b);
  using P = std::pair<std::string, Ticks>;
  EXPECT_EQ(wakes, (std::vector<P>{P{"a", 10 * kTicksPerMs}, P{"b", 20 * kTicksPerMs},
                                   P{"c", 30 * kTicksPerMs}}));
  EXPECT_EQ(s.Now(), 30 * kTicksPerMs);
  SleepFor(kTicksPerSecond, "one more second");
  EXPECT_EQ(s.Now(), 31 * kTicksPerMs + 999 * kTicksPerMs);
}

TEST(SimScheduler, ParkWithAPastDeadlineReturnsDeadline) {
  Scheduler s(Det(13));
  SleepFor(kTicksPerUs, "a tick");
  EXPECT_EQ(s.Park(0, "past"), WakeReason::kDeadline);
  EXPECT_EQ(s.Now(), kTicksPerUs);
}

TEST(SimScheduler, SleepKeepsAnUnparkForTheNextPark) {
  Scheduler s(Det(14));
  Thread* main = s.Self();
  Thread* t = s.Spawn("poker", 8, [&] { s.Unpark(main); });
  SleepFor(kTicksPerMs, "sleeping through an unpark");
  EXPECT_EQ(s.Now(), kTicksPerMs);
  s.Join(t);
  // The unpark that arrived during the sleep is not lost.
  EXPECT_EQ(s.Park(kNoDeadline, "kept permit"), WakeReason::kUnparked);
}

// ---- deadlock ---------------------------------------------------------------

TEST(SimScheduler, DeadlockReportNamesEveryWait) {
  Scheduler s(Det(15));
  std::string report;
  s.SetDeadlockHandler([&](const std::string& r) {
    report = r;
    throw DeadlockSeen("deadlock");
  });
  bool resumed = false;
  Thread* t = s.Spawn("stuck-dpc", 17, [&] {
    s.Park(kNoDeadline, "KeWaitForSingleObject(event)");
    resumed = true;
  });
  EXPECT_THROW(s.Join(t), DeadlockSeen);
  EXPECT_THAT(report, HasSubstr("deadlock"));
  EXPECT_THAT(report, HasSubstr("stuck-dpc pri=17 parked: KeWaitForSingleObject(event)"));
  EXPECT_THAT(report, HasSubstr("main pri=8 joining stuck-dpc"));
  // main runs again and can resolve it.
  EXPECT_FALSE(resumed);
  s.Unpark(t);
  s.Join(t);
  EXPECT_TRUE(resumed);
}

TEST(SimScheduler, DeadlockFoundByAnotherThreadReachesMain) {
  Scheduler s(Det(16));
  s.SetDeadlockHandler([](const std::string&) { throw DeadlockSeen("deadlock"); });
  Thread* a = s.Spawn("a", 8, [&] { s.Park(kNoDeadline, "a waits"); });
  // main parks first; "a" is the last to park and finds the deadlock.
  EXPECT_THROW(s.Park(kNoDeadline, "main waits"), DeadlockSeen);
  EXPECT_THAT(s.DescribeThreads(), HasSubstr("a pri=8 parked: a waits"));
  s.Unpark(a);
  s.Join(a);
}

TEST(SimScheduler, TimedWaitsAreNotADeadlock) {
  Scheduler s(Det(17));
  s.SetDeadlockHandler([](const std::string&) { throw DeadlockSeen("deadlock"); });
  Thread* t = s.Spawn("timer", 8, [&] { s.Park(kTicksPerSecond, "timeout"); });
  s.Join(t);
  EXPECT_EQ(s.Now(), kTicksPerSecond);
}

TEST(SimSchedulerDeathTest, DefaultDeadlockHandlerPrintsAndAborts) {
  EXPECT_DEATH(
      {
        Scheduler s(Det(18));
        Thread* t = s.Spawn("forever", 8, [] { Scheduler::Current()->Park(kNoDeadline, "nap"); });
        s.Join(t);
      },
      "deadlock(.|\n)*forever pri=8 parked: nap(.|\n)*replay: seed=18");
}

TEST(SimSchedulerDeathTest, AHandlerThatReturnsAborts) {
  EXPECT_DEATH(
      {
        Scheduler s(Det(19));
        s.SetDeadlockHandler([](const std::string&) {});
        s.Park(kNoDeadline, "alone");
      },
      "deadlock handler returned");
}

// ---- shutdown ---------------------------------------------------------------

TEST(SimScheduler, ShutdownAbandonsLiveThreadsWithoutRunningThem) {
  bool after_park = false;
  bool destructor_ran = false;
  struct Marker {
    bool* flag;
    ~Marker() { *flag = true; }
  };
  ::testing::internal::CaptureStderr();
  {
    Scheduler s(Det(20));
    s.Spawn("leftover", 8, [&] {
      Marker m{&destructor_ran};
      s.Park(kNoDeadline, "never woken");
      after_park = true;
    });
    s.Yield("let it park");
    s.Yield("again");
  }
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_FALSE(after_park);
  EXPECT_FALSE(destructor_ran);  // abandoned, not unwound
  EXPECT_THAT(err, HasSubstr("leftover pri=8 parked: never woken"));
  // A new scheduler can boot afterwards.
  Scheduler again(Det(21));
  EXPECT_EQ(Scheduler::Current(), &again);
}

// ---- Mutex ------------------------------------------------------------------

TEST(SimMutex, LocksWithAndWithoutAScheduler) {
  Mutex m;
  { std::lock_guard<Mutex> g(m); }
  Scheduler s(Det(22));
  int shared = 0;
  std::vector<Thread*> ts;
  for (int i = 0; i < 3; ++i) {
    ts.push_back(s.Spawn("inc", 8, [&] {
      for (int k = 0; k < 10; ++k) {
        {
          std::lock_guard<Mutex> g(m);
          ++shared;
        }
        Yield("between");
      }
    }));
  }
  for (Thread* t : ts)
    s.Join(t);
  EXPECT_EQ(shared, 30);
}

TEST(SimMutexDeathTest, ASchedulingPointUnderAMutexIsAFault) {
  EXPECT_DEATH(
      {
        Scheduler s(Det(23));
        Mutex m;
        std::lock_guard<Mutex> g(m);
        s.Yield("under lock");
      },
      "main reached a scheduling point \\(Yield under lock\\) while holding a sim::Mutex");
}

TEST(SimMutexDeathTest, LockingTwiceIsAFault) {
  EXPECT_DEATH(
      {
        Scheduler s(Det(24));
        Mutex m;
        m.lock();
        m.lock();
      },
      "already held");
}

// ---- free mode --------------------------------------------------------------

TEST(SimFree, ThreadsRunInParallelOnTheHostClock) {
  Scheduler s(Free());
  EXPECT_FALSE(s.deterministic());
  Mutex m;
  int shared = 0;
  std::vector<Thread*> ts;
  for (int i = 0; i < 4; ++i) {
    ts.push_back(s.Spawn("free" + std::to_string(i), 8, [&] {
      for (int k = 0; k < 1000; ++k) {
        std::lock_guard<Mutex> g(m);
        ++shared;
      }
      EXPECT_EQ(s.Name(s.Self()).substr(0, 4), "free");
    }));
  }
  for (Thread* t : ts)
    s.Join(t);
  EXPECT_EQ(shared, 4000);
  const Ticks before = Now();
  SleepFor(2 * kTicksPerMs, "host sleep");
  EXPECT_GE(Now() - before, 2 * kTicksPerMs);
}

TEST(SimFree, ParkAndUnparkAcrossOsThreads) {
  Scheduler s(Free());
  std::atomic<bool> go{false};
  std::atomic<int> wakes{0};
  // Parks at least once whenever the OS schedules it: the permit left by the
  // Unpark below covers a thread that starts late.
  Thread* t = s.Spawn("waiter", 8, [&] {
    do {
      s.Park(kNoDeadline, "go");
      ++wakes;
    } while (!go.load());
  });
  s.Unpark(s.Self());
  EXPECT_EQ(s.Park(kNoDeadline, "own permit"), WakeReason::kUnparked);
  EXPECT_EQ(s.Park(s.Now() + kTicksPerMs, "short"), WakeReason::kDeadline);
  go = true;
  s.Unpark(t);
  s.Join(t);
  EXPECT_TRUE(s.Finished(t));
  EXPECT_GE(wakes.load(), 1);
}

}  // namespace
}  // namespace vax::sim
