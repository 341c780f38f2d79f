// The scheduler and the clock of the host test bed. See scheduler.h.
//
// Deterministic mode switches fibers with Boost.Context's fcontext (the bare
// jump_fcontext/make_fcontext pair, so that a thread left alive at shutdown
// can be abandoned without unwinding its stack). Stacks are mmap'd with a
// guard page. The address and thread sanitizers are told about every switch.
//
// Every choice that shapes a deterministic run comes from the PRNG seeded by
// Options::seed and from data structures walked in a fixed order; no address,
// host time or hash of a pointer takes part.
#include "sim/scheduler.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include <boost/context/detail/fcontext.hpp>

#if defined(__SANITIZE_ADDRESS__)
#define VAX_SIM_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#define VAX_SIM_TSAN 1
#endif
#if defined(__has_feature)
#if __has_feature(address_sanitizer) && !defined(VAX_SIM_ASAN)
#define VAX_SIM_ASAN 1
#endif
#if __has_feature(thread_sanitizer) && !defined(VAX_SIM_TSAN)
#define VAX_SIM_TSAN 1
#endif
#endif

#if VAX_SIM_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#include <sanitizer/lsan_interface.h>
#endif
#if VAX_SIM_TSAN
#include <sanitizer/tsan_interface.h>
#endif

namespace vax::sim {
namespace {

namespace bctx = boost::context::detail;

enum class State { kRunning, kRunnable, kParked, kJoining, kFinished };

constexpr int kMainPriority = 8;  // the kernel's normal priority
constexpr std::size_t kMinStack = 64 * 1024;
constexpr std::size_t kStackCache = 64;
constexpr std::int64_t kPctBase = std::int64_t{1} << 40;

std::atomic<Scheduler*> g_current{nullptr};
std::atomic<Scheduler::Impl*> g_impl{nullptr};

// Abandoned threads: kept reachable for the leak checker, never freed.
std::vector<void*>* Graveyard() {
  static auto* graveyard = new std::vector<void*>;
  return graveyard;
}

std::uint64_t Mix64(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

std::uint64_t MixInto(std::uint64_t digest, std::uint64_t kind, std::uint64_t value) {
  digest = Mix64(digest * 31 + kind + 0x9e3779b97f4a7c15ULL);
  return Mix64(digest ^ value);
}

enum DigestKind : std::uint64_t { kDigestStart = 1, kDigestPick, kDigestTime, kDigestNote };

// xoshiro256**, seeded through splitmix64: the same on every host and compiler.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) {
    for (auto& word : s_) {
      seed += 0x9e3779b97f4a7c15ULL;
      word = Mix64(seed);
    }
  }
  std::uint64_t Next() {
    const std::uint64_t result = Rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = Rotl(s_[3], 45);
    return result;
  }
  // Uniform in [0, n), n > 0.
  std::uint64_t Below(std::uint64_t n) {
    const std::uint64_t threshold = (0 - n) % n;
    for (;;) {
      const std::uint64_t r = Next();
      if (r >= threshold)
        return r % n;
    }
  }

 private:
  static std::uint64_t Rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  std::uint64_t s_[4];
};

std::string FormatTicks(Ticks t) {
  if (t == kNoDeadline)
    return "never";
  char buf[48];
  const char* sign = t < 0 ? "-" : "";
  const unsigned long long abs =
      t < 0 ? 0ULL - static_cast<unsigned long long>(t) : static_cast<unsigned long long>(t);
  std::snprintf(buf, sizeof buf, "%s%llu.%07llus", sign, abs / kTicksPerSecond,
                abs % kTicksPerSecond);
  return buf;
}

const char* PolicyName(const Options& o) {
  if (o.mode == Mode::kFree)
    return "free";
  return o.policy == Policy::kPct ? "pct" : "random";
}

[[noreturn]] void Fault(const std::string& message);

struct Stack {
  void* base = nullptr;    // mapping, guard page first
  std::size_t mapped = 0;  // bytes mapped
  std::size_t guard = 0;   // bytes of guard page
  char* bottom() const { return static_cast<char*>(base) + guard; }
  std::size_t size() const { return mapped - guard; }
  char* top() const { return static_cast<char*>(base) + mapped; }
};

}  // namespace

class Thread {
 public:
  Scheduler::Impl* impl = nullptr;
  int id = 0;
  std::string name;
  std::atomic<int> priority{0};
  std::atomic<void*> data{nullptr};
  std::function<void()> body;
  std::atomic<State> state{State::kRunnable};

  // The wait. Deterministic mode: touched by the owner OS thread only. Free
  // mode: under m.
  bool permit = false;
  WakeReason wake = WakeReason::kUnparked;
  Ticks deadline = kNoDeadline;
  const char* what = "";
  const char* point = nullptr;  // last Yield point
  Thread* join_target = nullptr;

  // Deterministic mode.
  bctx::fcontext_t fctx = nullptr;
  Stack stack;
  std::vector<Thread*> joiners;
  std::size_t runnable_pos = 0;
  std::size_t parked_pos = 0;
  int held_mutexes = 0;
  std::int64_t pct = 0;
  std::uint64_t pct_tiebreak = 0;
  bool pct_base = true;  // pct still follows the kernel priority
  void* tsan_fiber = nullptr;
  void* asan_fake_stack = nullptr;
  const void* asan_bottom = nullptr;
  std::size_t asan_size = 0;

  // Free mode.
  std::mutex m;
  std::condition_variable park_cv;
  std::condition_variable done_cv;
  bool finished = false;
};

namespace {
thread_local Thread* tls_self = nullptr;  // free mode only
}  // namespace

class Scheduler::Impl {
 public:
  explicit Impl(const Options& options)
      : opt(options),
        det(options.mode == Mode::kDeterministic),
        owner(std::this_thread::get_id()),
        rng(options.seed),
        boot(std::chrono::steady_clock::now()) {
    const long page_size = ::sysconf(_SC_PAGESIZE);
    page = page_size > 0 ? static_cast<std::size_t>(page_size) : 4096;
    stack_bytes = std::max(opt.stack_bytes, kMinStack);
    stack_bytes = (stack_bytes + page - 1) / page * page;
    digest = MixInto(0, kDigestStart, opt.seed);
    digest = MixInto(digest, kDigestStart, det ? static_cast<std::uint64_t>(opt.policy) + 1 : 0);
    if (det && opt.policy == Policy::kPct) {
      // d - 1 change points at uniform steps in [1, horizon]. The length of a
      // test is unknown, so the horizon itself is drawn log-uniformly from
      // 16..16384 decisions: over seeds, short and long tests both get change
      // points within their run.
      const std::uint64_t horizon = std::uint64_t{16} << rng.Below(11);
      for (int i = 1; i < opt.pct_depth; ++i) {
        change_points.emplace_back(1 + rng.Below(horizon), i);
      }
      std::stable_sort(change_points.begin(), change_points.end(),
                       [](const auto& a, const auto& b) { return a.first < b.first; });
    }
  }

  // ---- common ---------------------------------------------------------------

  Thread* NewThread(std::string name, int priority) {
    auto t = std::make_unique<Thread>();
    t->impl = this;
    t->id = next_id++;
    t->name = std::move(name);
    t->priority = priority;
    if (det && opt.policy == Policy::kPct) {
      t->pct_tiebreak = rng.Next() >> 24;
      t->pct = (static_cast<std::int64_t>(priority) + 1) * kPctBase +
               static_cast<std::int64_t>(t->pct_tiebreak);
    }
    Thread* raw = t.get();
    if (det) {
      threads.push_back(std::move(t));
    } else {
      std::lock_guard<std::mutex> lock(reg_mu);
      threads.push_back(std::move(t));
    }
    return raw;
  }

  void CheckOwner(const char* op) const {
    if (std::this_thread::get_id() != owner) {
      Fault(std::string(op) +
            " called from an OS thread that is not the deterministic scheduler's");
    }
  }

  Thread* Cur(const char* op) const {
    CheckOwner(op);
    return current;
  }

  Thread* FreeSelf(const char* op) const {
    Thread* self = tls_self;
    if (self == nullptr || self->impl != this) {
      Fault(std::string(op) + " called from an OS thread that is not a sim thread");
    }
    return self;
  }

  static void CheckThread(const Thread* t, const char* op) {
    if (t == nullptr)
      Fault(std::string(op) + " given a null thread");
  }

  static void CheckPriority(int priority) {
    if (priority < 0 || priority > 31) {
      Fault("priority " + std::to_string(priority) + " is outside 0-31");
    }
  }

  std::string DescribeOne(Thread* t) const {
    std::string line = "  #" + std::to_string(t->id) + " " + t->name +
                       " pri=" + std::to_string(t->priority.load());
    switch (t->state.load()) {
      case State::kRunning:
        line += " running";
        break;
      case State::kRunnable:
        line += " runnable";
        if (t->point != nullptr)
          line += std::string(" (yielded at ") + t->point + ")";
        break;
      case State::kParked:
        line += std::string(" parked: ") + t->what;
        if (t->deadline != kNoDeadline)
          line += " (until t=" + FormatTicks(t->deadline) + ")";
        break;
      case State::kJoining:
        line += " joining " + (t->join_target ? t->join_target->name : std::string("?"));
        break;
      case State::kFinished:
        line += " finished";
        break;
    }
    if (t->permit)
      line += " [permit]";
    return line + "\n";
  }

  std::string DescribeThreads() {
    std::vector<Thread*> all;
    if (det) {
      for (auto& t : threads)
        all.push_back(t.get());
    } else {
      std::lock_guard<std::mutex> lock(reg_mu);
      for (auto& t : threads)
        all.push_back(t.get());
    }
    std::string out;
    std::string finished;
    std::size_t finished_count = 0;
    for (Thread* t : all) {
      std::unique_lock<std::mutex> lock(t->m, std::defer_lock);
      if (!det)
        lock.lock();
      if (t->state.load() == State::kFinished) {
        if (++finished_count <= 20)
          finished += (finished.empty() ? "" : ", ") + t->name;
        continue;
      }
      out += DescribeOne(t);
    }
    if (finished_count > 0) {
      out += "  finished (" + std::to_string(finished_count) + "): " + finished;
      if (finished_count > 20)
        out += ", ...";
      out += "\n";
    }
    return out;
  }

  Ticks HostNow() const {
    const auto d = std::chrono::steady_clock::now() - boot;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
  }

  void Note(std::uint64_t event) {
    if (det) {
      CheckOwner("Note");
      digest = MixInto(digest, kDigestNote, event);
    } else {
      std::lock_guard<std::mutex> lock(note_mu);
      digest = MixInto(digest, kDigestNote, event);
    }
  }

  std::uint64_t Digest() {
    if (det)
      return digest;
    std::lock_guard<std::mutex> lock(note_mu);
    return digest;
  }

  // ---- deterministic mode ---------------------------------------------------

  void CheckPoint(Thread* self, const char* op, const char* what) {
    if (self->held_mutexes > 0) {
      Fault("thread " + self->name + " reached a scheduling point (" + op + " " +
            (what ? what : "") + ") while holding a sim::Mutex");
    }
  }

  void MakeRunnable(Thread* t) {
    t->state = State::kRunnable;
    t->runnable_pos = runnable.size();
    runnable.push_back(t);
  }

  Thread* TakeRunnable(std::size_t i) {
    Thread* t = runnable[i];
    runnable[i] = runnable.back();
    runnable[i]->runnable_pos = i;
    runnable.pop_back();
    t->state = State::kRunning;
    t->point = nullptr;
    return t;
  }

  void AddParked(Thread* t) {
    t->parked_pos = parked.size();
    parked.push_back(t);
  }

  void RemoveParked(Thread* t) {
    const std::size_t i = t->parked_pos;
    parked[i] = parked.back();
    parked[i]->parked_pos = i;
    parked.pop_back();
  }

  void Wake(Thread* t, WakeReason reason) {
    RemoveParked(t);
    t->wake = reason;
    t->deadline = kNoDeadline;
    MakeRunnable(t);
  }

  // Chooses the next thread to run, advancing virtual time if none is
  // runnable; nullptr on deadlock.
  Thread* Pick(Thread* self) {
    if (runnable.empty()) {
      Ticks earliest = kNoDeadline;
      for (Thread* t : parked)
        earliest = std::min(earliest, t->deadline);
      if (earliest == kNoDeadline)
        return nullptr;
      now = std::max(now, earliest);
      digest = MixInto(digest, kDigestTime, static_cast<std::uint64_t>(now));
      std::vector<Thread*> due;
      for (Thread* t : parked) {
        if (t->deadline <= now)
          due.push_back(t);
      }
      for (Thread* t : due)
        Wake(t, WakeReason::kDeadline);
    }
    ++decisions;
    std::size_t chosen = 0;
    if (opt.policy == Policy::kPct) {
      while (next_change < change_points.size() && change_points[next_change].first <= decisions) {
        self->pct = change_points[next_change].second;
        self->pct_base = false;
        ++next_change;
      }
      for (std::size_t i = 1; i < runnable.size(); ++i) {
        const Thread* a = runnable[i];
        const Thread* b = runnable[chosen];
        if (a->pct > b->pct || (a->pct == b->pct && a->id < b->id))
          chosen = i;
      }
    } else {
      chosen = static_cast<std::size_t>(rng.Below(runnable.size()));
    }
    Thread* next = TakeRunnable(chosen);
    digest = MixInto(digest, kDigestPick, static_cast<std::uint64_t>(next->id));
    return next;
  }

  // `self` is runnable (a yield), blocked, or finished. Returns when `self`
  // runs again, or at once with deadlock_pending set when `self` is main.
  void Reschedule(Thread* self) {
    Thread* next = Pick(self);
    if (next == nullptr) {
      deadlock_pending = true;
      if (self == main)
        return;
      next = main;
    }
    if (next == self)
      return;
    SwitchTo(self, next);
  }

  void SwitchTo(Thread* from, Thread* to) {
    current = to;
    const bool dying = from->state.load() == State::kFinished;
#if VAX_SIM_ASAN
    __sanitizer_start_switch_fiber(dying ? nullptr : &from->asan_fake_stack, to->asan_bottom,
                                   to->asan_size);
#endif
#if VAX_SIM_TSAN
    __tsan_switch_to_fiber(to->tsan_fiber, 0);
#endif
    (void)dying;
    const bctx::transfer_t back = bctx::jump_fcontext(to->fctx, from);
    Resumed(from, back);
  }

  // Runs in `self` right after a switch into it.
  void Resumed(Thread* self, bctx::transfer_t back) {
    const void* from_bottom = nullptr;
    std::size_t from_size = 0;
#if VAX_SIM_ASAN
    __sanitizer_finish_switch_fiber(self->asan_fake_stack, &from_bottom, &from_size);
    self->asan_fake_stack = nullptr;
#else
    (void)self;
#endif
    Thread* from = static_cast<Thread*>(back.data);
    if (from->state.load() == State::kFinished) {
      ReleaseFiber(from);
    } else {
      from->fctx = back.fctx;
      if (from_bottom != nullptr) {
        from->asan_bottom = from_bottom;
        from->asan_size = from_size;
      }
    }
  }

  static void FiberEntry(bctx::transfer_t back) {
    Impl* impl = g_impl.load();
    Thread* self = impl->current;
    impl->Resumed(self, back);
    try {
      self->body();
      self->body = nullptr;
    } catch (const std::exception& e) {
      Fault("thread " + self->name + " let an exception escape: " + e.what());
    } catch (...) {
      Fault("thread " + self->name + " let an exception escape");
    }
    impl->Finish(self);
  }

  [[noreturn]] void Finish(Thread* self) {
    if (self->held_mutexes > 0)
      Fault("thread " + self->name + " finished holding a sim::Mutex");
    self->state = State::kFinished;
    for (Thread* j : self->joiners) {
      j->join_target = nullptr;
      j->wake = WakeReason::kUnparked;
      MakeRunnable(j);
    }
    self->joiners.clear();
    Reschedule(self);
    Fault("a finished thread was resumed");
  }

  Stack NewStack() {
    if (!stack_cache.empty()) {
      Stack s = stack_cache.back();
      stack_cache.pop_back();
      return s;
    }
    Stack s;
    s.guard = page;
    s.mapped = stack_bytes + page;
    s.base = ::mmap(nullptr, s.mapped, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (s.base == MAP_FAILED)
      Fault("cannot map a fiber stack: " + std::string(strerror(errno)));
    if (::mprotect(s.base, s.guard, PROT_NONE) != 0) {
      Fault("cannot protect a fiber stack's guard page: " + std::string(strerror(errno)));
    }
    return s;
  }

  void FreeStack(Stack s) {
#if VAX_SIM_ASAN
    ASAN_UNPOISON_MEMORY_REGION(s.bottom(), s.size());
#endif
    if (stack_cache.size() < kStackCache) {
      stack_cache.push_back(s);
    } else {
      ::munmap(s.base, s.mapped);
    }
  }

  void ReleaseFiber(Thread* t) {
    if (t->stack.base != nullptr)
      FreeStack(t->stack);
    t->stack = Stack{};
    t->fctx = nullptr;
#if VAX_SIM_TSAN
    if (t->tsan_fiber != nullptr)
      __tsan_destroy_fiber(t->tsan_fiber);
#endif
    t->tsan_fiber = nullptr;
  }

  void StartFiber(Thread* t) {
    t->stack = NewStack();
    t->asan_bottom = t->stack.bottom();
    t->asan_size = t->stack.size();
    t->fctx = bctx::make_fcontext(t->stack.top(), t->stack.size(), &Impl::FiberEntry);
#if VAX_SIM_TSAN
    t->tsan_fiber = __tsan_create_fiber(0);
    __tsan_set_fiber_name(t->tsan_fiber, t->name.c_str());
#endif
  }

  void YieldHere(Thread* self, const char* point) {
    self->point = point;
    MakeRunnable(self);
    Reschedule(self);
    HandleDeadlockIfPending(self);
  }

  // In main, after Reschedule came back because nothing can run.
  void HandleDeadlockIfPending(Thread* self) {
    if (!deadlock_pending || self != main)
      return;
    deadlock_pending = false;
    std::string report = "deadlock at t=" + FormatTicks(now) + " after " +
                         std::to_string(decisions) + " decisions: every thread waits\n" +
                         DescribeThreads();
    // main runs again; the others stay where they are.
    if (self->state.load() == State::kParked) {
      RemoveParked(self);
      self->deadline = kNoDeadline;
    } else if (self->state.load() == State::kJoining) {
      auto& js = self->join_target->joiners;
      js.erase(std::remove(js.begin(), js.end(), self), js.end());
      self->join_target = nullptr;
    }
    self->state = State::kRunning;
    current = self;
    auto handler = deadlock_handler;
    if (handler) {
      handler(report);
      std::fprintf(stderr, "%s", report.c_str());
      Fault(
          "the deadlock handler returned; a deadlock cannot be resumed (throw from the "
          "handler to carry on)");
    }
    std::fprintf(stderr, "vax::sim: %sreplay: %s\n", report.c_str(), opt.Describe().c_str());
    std::fflush(stderr);
    std::abort();
  }

  WakeReason DetPark(Ticks deadline, const char* what) {
    Thread* self = Cur("Park");
    CheckPoint(self, "Park", what);
    if (self->permit) {
      self->permit = false;
      return WakeReason::kUnparked;
    }
    if (deadline <= now) {
      YieldHere(self, what);
      return WakeReason::kDeadline;
    }
    self->state = State::kParked;
    self->deadline = deadline;
    self->what = what ? what : "";
    AddParked(self);
    Reschedule(self);
    HandleDeadlockIfPending(self);
    return self->wake;
  }

  void DetUnpark(Thread* t) {
    Thread* self = Cur("Unpark");
    CheckThread(t, "Unpark");
    CheckPoint(self, "Unpark", t->name.c_str());
    const State s = t->state.load();
    if (s == State::kParked) {
      Wake(t, WakeReason::kUnparked);
    } else if (s != State::kFinished) {
      t->permit = true;
    }
    YieldHere(self, "unpark");
  }

  void DetJoin(Thread* t) {
    Thread* self = Cur("Join");
    CheckThread(t, "Join");
    if (t == self)
      Fault("thread " + self->name + " joins itself");
    CheckPoint(self, "Join", t->name.c_str());
    if (t->state.load() == State::kFinished) {
      YieldHere(self, "join");
      return;
    }
    self->state = State::kJoining;
    self->join_target = t;
    t->joiners.push_back(self);
    Reschedule(self);
    HandleDeadlockIfPending(self);
  }

  // ---- free mode -----------------------------------------------------------

  std::chrono::steady_clock::time_point HostTime(Ticks t) const {
    return boot + std::chrono::nanoseconds(t * 100);
  }

  WakeReason FreePark(Ticks deadline, const char* what) {
    Thread* self = FreeSelf("Park");
    free_decisions.fetch_add(1, std::memory_order_relaxed);
    std::unique_lock<std::mutex> lock(self->m);
    if (self->permit) {
      self->permit = false;
      return WakeReason::kUnparked;
    }
    self->state = State::kParked;
    self->deadline = deadline;
    self->what = what ? what : "";
    bool got = true;
    // Beyond ~100 years the host time point would overflow: no deadline.
    if (deadline >= kNoDeadline / 1000) {
      self->park_cv.wait(lock, [self] { return self->permit; });
    } else {
      got = self->park_cv.wait_until(lock, HostTime(deadline), [self] { return self->permit; });
    }
    self->state = State::kRunning;
    self->deadline = kNoDeadline;
    if (got) {
      self->permit = false;
      return WakeReason::kUnparked;
    }
    return WakeReason::kDeadline;
  }

  void FreeUnpark(Thread* t) {
    CheckThread(t, "Unpark");
    free_decisions.fetch_add(1, std::memory_order_relaxed);
    std::lock_guard<std::mutex> lock(t->m);
    t->permit = true;
    t->park_cv.notify_one();
  }

  void FreeJoin(Thread* t) {
    Thread* self = FreeSelf("Join");
    CheckThread(t, "Join");
    if (t == self)
      Fault("thread " + self->name + " joins itself");
    free_decisions.fetch_add(1, std::memory_order_relaxed);
    {
      std::lock_guard<std::mutex> lock(self->m);
      self->state = State::kJoining;
      self->join_target = t;
    }
    {
      std::unique_lock<std::mutex> lock(t->m);
      t->done_cv.wait(lock, [t] { return t->finished; });
    }
    std::lock_guard<std::mutex> lock(self->m);
    self->state = State::kRunning;
    self->join_target = nullptr;
  }

  void FreeStart(Thread* t) {
    {
      std::lock_guard<std::mutex> lock(reg_mu);
      ++live_os_threads;
    }
    std::thread([this, t] {
      tls_self = t;
      try {
        t->body();
        t->body = nullptr;
      } catch (const std::exception& e) {
        Fault("thread " + t->name + " let an exception escape: " + e.what());
      } catch (...) {
        Fault("thread " + t->name + " let an exception escape");
      }
      {
        std::lock_guard<std::mutex> lock(t->m);
        t->finished = true;
        t->state = State::kFinished;
        t->done_cv.notify_all();
      }
      tls_self = nullptr;
      std::lock_guard<std::mutex> lock(reg_mu);
      --live_os_threads;
      reg_cv.notify_all();
    }).detach();
  }

  // ---- state ---------------------------------------------------------------

  Options opt;
  bool det;
  std::thread::id owner;
  Rng rng;
  std::chrono::steady_clock::time_point boot;
  std::size_t page = 4096;
  std::size_t stack_bytes = 0;
  int next_id = 0;

  std::vector<std::unique_ptr<Thread>> threads;  // creation order
  Thread* main = nullptr;
  Thread* current = nullptr;
  std::vector<Thread*> runnable;
  std::vector<Thread*> parked;
  Ticks now = 0;
  std::uint64_t digest = 0;
  std::uint64_t decisions = 0;
  bool deadlock_pending = false;
  std::function<void(const std::string&)> deadlock_handler;
  std::vector<std::pair<std::uint64_t, std::int64_t>> change_points;  // step, priority
  std::size_t next_change = 0;
  std::int64_t yield_floor = kPctBase - 1;
  std::vector<Stack> stack_cache;

  std::mutex reg_mu;  // free mode: threads, live_os_threads
  std::condition_variable reg_cv;
  int live_os_threads = 0;
  std::mutex note_mu;  // free mode: digest
  std::atomic<std::uint64_t> free_decisions{0};
};

namespace {

[[noreturn]] void Fault(const std::string& message) {
  std::fprintf(stderr, "vax::sim fault: %s\n", message.c_str());
  if (Scheduler* s = g_current.load()) {
    std::fprintf(stderr, "replay: %s\n", s->options().Describe().c_str());
  }
  std::fflush(stderr);
  std::abort();
}

Scheduler* Required(const char* op) {
  Scheduler* s = g_current.load();
  if (s == nullptr)
    Fault(std::string(op) + " called with no scheduler booted");
  return s;
}

}  // namespace

// ---- Options ----------------------------------------------------------------

Options Options::FromEnvironment() {
  return FromEnvironment(Options{});
}

Options Options::FromEnvironment(Options defaults) {
  if (const char* seed = std::getenv("VAX_SEED"); seed != nullptr && *seed != '\0') {
    errno = 0;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(seed, &end, 10);
    if (errno != 0 || *end != '\0' || *seed < '0' || *seed > '9') {
      throw std::invalid_argument(std::string("VAX_SEED must be a decimal number, not '") + seed +
                                  "'");
    }
    defaults.seed = value;
  }
  if (const char* sched = std::getenv("VAX_SCHED"); sched != nullptr && *sched != '\0') {
    const std::string s = sched;
    if (s == "random") {
      defaults.mode = Mode::kDeterministic;
      defaults.policy = Policy::kRandom;
    } else if (s == "pct") {
      defaults.mode = Mode::kDeterministic;
      defaults.policy = Policy::kPct;
    } else if (s == "free") {
      defaults.mode = Mode::kFree;
    } else {
      throw std::invalid_argument("VAX_SCHED must be random, pct or free, not '" + s + "'");
    }
  }
  return defaults;
}

std::string Options::Describe() const {
  const std::string seed_text = std::to_string(seed);
  if (mode == Mode::kFree) {
    return "seed=" + seed_text + " sched=free (host threads and clock: not replayable)";
  }
  std::string out = "seed=" + seed_text + " sched=" + PolicyName(*this);
  if (policy == Policy::kPct)
    out += " depth=" + std::to_string(pct_depth);
  out += " (replay: VAX_SEED=" + seed_text + " VAX_SCHED=" + PolicyName(*this) + ")";
  return out;
}

// ---- Scheduler --------------------------------------------------------------

Scheduler::Scheduler(const Options& options) {
  if (options.pct_depth < 1)
    Fault("Options::pct_depth must be at least 1");
  Scheduler* expected = nullptr;
  if (!g_current.compare_exchange_strong(expected, this)) {
    Fault("a scheduler is already booted; at most one may exist at a time");
  }
  impl_ = std::make_unique<Impl>(options);
  Thread* main = impl_->NewThread("main", kMainPriority);
  main->state = State::kRunning;
  impl_->main = main;
  impl_->current = main;
  if (impl_->det) {
#if VAX_SIM_TSAN
    main->tsan_fiber = __tsan_get_current_fiber();
#endif
  } else {
    tls_self = main;
  }
  g_impl = impl_.get();
}

Scheduler::~Scheduler() {
  Impl& im = *impl_;
  std::vector<Thread*> alive;
  if (im.det) {
    im.CheckOwner("~Scheduler");
    if (im.current != im.main) {
      Fault("the scheduler was destroyed from thread " + im.current->name + ", not main");
    }
    for (auto& t : im.threads) {
      if (t.get() != im.main && t->state.load() != State::kFinished)
        alive.push_back(t.get());
    }
  } else {
    if (tls_self != im.main)
      Fault("the scheduler was destroyed from a thread other than main");
    std::lock_guard<std::mutex> lock(im.reg_mu);
    for (auto& t : im.threads) {
      std::lock_guard<std::mutex> tl(t->m);
      if (t.get() != im.main && !t->finished)
        alive.push_back(t.get());
    }
  }
  if (!alive.empty()) {
    std::string report = "vax::sim: scheduler shut down with " + std::to_string(alive.size()) +
                         " thread(s) alive, abandoned and never run again:\n";
    for (Thread* t : alive) {
      std::unique_lock<std::mutex> lock(t->m, std::defer_lock);
      if (!im.det)
        lock.lock();
      report += im.DescribeOne(t);
    }
    std::fprintf(stderr, "%s", report.c_str());
    std::fflush(stderr);
  }

  g_impl = nullptr;
  g_current = nullptr;

  if (im.det) {
    // Abandon: the record and the stack stay, never resumed nor unwound.
    for (auto& t : im.threads) {
      if (t.get() == im.main || t->state.load() == State::kFinished)
        continue;
#if VAX_SIM_ASAN
      __lsan_register_root_region(t->stack.bottom(), t->stack.size());
#endif
#if VAX_SIM_TSAN
      if (t->tsan_fiber != nullptr)
        __tsan_destroy_fiber(t->tsan_fiber);
      t->tsan_fiber = nullptr;
#endif
      Graveyard()->push_back(t.release());
    }
    for (const Stack& s : im.stack_cache)
      ::munmap(s.base, s.mapped);
    im.stack_cache.clear();
  } else {
    tls_self = nullptr;
    if (!alive.empty()) {
      // Running OS threads cannot be stopped: keep all they may touch.
      Graveyard()->push_back(impl_.release());
      return;
    }
    std::unique_lock<std::mutex> lock(im.reg_mu);
    im.reg_cv.wait(lock, [&im] { return im.live_os_threads == 0; });
  }
}

Scheduler* Scheduler::Current() {
  return g_current.load();
}

const Options& Scheduler::options() const {
  return impl_->opt;
}

bool Scheduler::deterministic() const {
  return impl_->det;
}

Thread* Scheduler::Spawn(std::string name, int priority, std::function<void()> body) {
  Impl& im = *impl_;
  Impl::CheckPriority(priority);
  if (!body)
    Fault("Spawn given an empty body for thread " + name);
  if (im.det) {
    Thread* self = im.Cur("Spawn");
    im.CheckPoint(self, "Spawn", name.c_str());
    Thread* t = im.NewThread(std::move(name), priority);
    t->body = std::move(body);
    im.StartFiber(t);
    im.MakeRunnable(t);
    im.YieldHere(self, "spawn");
    return t;
  }
  Thread* t = im.NewThread(std::move(name), priority);
  t->body = std::move(body);
  t->state = State::kRunning;
  im.FreeStart(t);
  return t;
}

Thread* Scheduler::Self() const {
  if (impl_->det) {
    return std::this_thread::get_id() == impl_->owner ? impl_->current : nullptr;
  }
  Thread* self = tls_self;
  return self != nullptr && self->impl == impl_.get() ? self : nullptr;
}

void Scheduler::Join(Thread* thread) {
  if (impl_->det) {
    impl_->DetJoin(thread);
  } else {
    impl_->FreeJoin(thread);
  }
}

bool Scheduler::Finished(Thread* thread) const {
  Impl::CheckThread(thread, "Finished");
  if (impl_->det)
    return thread->state.load() == State::kFinished;
  std::lock_guard<std::mutex> lock(thread->m);
  return thread->finished;
}

Ticks Scheduler::Now() const {
  return impl_->det ? impl_->now : impl_->HostNow();
}

void Scheduler::Yield(const char* point) {
  Impl& im = *impl_;
  if (!im.det) {
    im.FreeSelf("Yield");
    im.free_decisions.fetch_add(1, std::memory_order_relaxed);
    std::this_thread::yield();
    return;
  }
  Thread* self = im.Cur("Yield");
  im.CheckPoint(self, "Yield", point);
  if (im.opt.policy == Policy::kPct) {
    // A yield says "let the others go": drop below every thread that has not
    // yielded, so that a polling loop cannot starve the thread it waits for.
    self->pct = im.yield_floor--;
    self->pct_base = false;
  }
  im.YieldHere(self, point);
}

WakeReason Scheduler::Park(Ticks deadline, const char* what) {
  return impl_->det ? impl_->DetPark(deadline, what) : impl_->FreePark(deadline, what);
}

void Scheduler::Unpark(Thread* thread) {
  if (impl_->det) {
    impl_->DetUnpark(thread);
  } else {
    impl_->FreeUnpark(thread);
  }
}

void Scheduler::SetPriority(Thread* thread, int priority) {
  Impl::CheckThread(thread, "SetPriority");
  Impl::CheckPriority(priority);
  thread->priority = priority;
  if (impl_->det && impl_->opt.policy == Policy::kPct && thread->pct_base) {
    thread->pct = (static_cast<std::int64_t>(priority) + 1) * kPctBase +
                  static_cast<std::int64_t>(thread->pct_tiebreak);
  }
}

int Scheduler::Priority(Thread* thread) const {
  Impl::CheckThread(thread, "Priority");
  return thread->priority.load();
}

const std::string& Scheduler::Name(Thread* thread) const {
  Impl::CheckThread(thread, "Name");
  return thread->name;
}

void Scheduler::SetThreadData(Thread* thread, void* data) {
  Impl::CheckThread(thread, "SetThreadData");
  thread->data = data;
}

void* Scheduler::ThreadData(Thread* thread) const {
  Impl::CheckThread(thread, "ThreadData");
  return thread->data.load();
}

void Scheduler::Note(std::uint64_t event) {
  impl_->Note(event);
}

std::uint64_t Scheduler::Digest() const {
  return impl_->Digest();
}

std::uint64_t Scheduler::Decisions() const {
  return impl_->det ? impl_->decisions : impl_->free_decisions.load();
}

std::string Scheduler::DescribeThreads() const {
  return impl_->DescribeThreads();
}

void Scheduler::SetDeadlockHandler(std::function<void(const std::string& report)> handler) {
  impl_->deadlock_handler = std::move(handler);
}

// ---- convenience ------------------------------------------------------------

Ticks Now() {
  return Required("Now")->Now();
}

void Yield(const char* point) {
  Required("Yield")->Yield(point);
}

void SleepUntil(Ticks deadline, const char* what) {
  Scheduler* s = Required("SleepUntil");
  bool consumed = false;
  while (s->Now() < deadline) {
    if (s->Park(deadline, what) == WakeReason::kUnparked)
      consumed = true;
  }
  if (consumed) {
    // Give back the permit the sleep swallowed: its owner's next Park returns
    // (a spurious return, which callers allow) instead of missing a wake-up.
    Thread* self = s->Self();
    if (s->deterministic()) {
      self->permit = true;
    } else {
      std::lock_guard<std::mutex> lock(self->m);
      self->permit = true;
    }
  }
}

void SleepFor(Ticks duration, const char* what) {
  const Ticks now = Now();
  const Ticks deadline = duration >= kNoDeadline - now ? kNoDeadline : now + duration;
  SleepUntil(deadline, what);
}

// ---- Mutex ------------------------------------------------------------------

struct Mutex::Real {
  std::mutex m;
};
Mutex::Mutex() noexcept {
  static_assert(sizeof(Real) <= sizeof(storage_) && alignof(Real) <= 8);
  new (storage_) Real;
}

Mutex::~Mutex() {
  std::launder(reinterpret_cast<Real*>(storage_))->~Real();
}

void Mutex::lock() {
  Scheduler::Impl* im = g_impl.load();
  if (im != nullptr && im->det && std::this_thread::get_id() == im->owner) {
    if (held_) {
      Fault("thread " + im->current->name +
            " locks a sim::Mutex already held (locked twice, or held across a scheduling "
            "point)");
    }
    held_ = true;
    real_ = false;
    ++im->current->held_mutexes;
    return;
  }
  std::launder(reinterpret_cast<Real*>(storage_))->m.lock();
  held_ = true;
  real_ = true;
}

void Mutex::unlock() {
  if (real_) {
    held_ = false;
    real_ = false;
    std::launder(reinterpret_cast<Real*>(storage_))->m.unlock();
    return;
  }
  if (!held_)
    Fault("a sim::Mutex was unlocked while not held");
  held_ = false;
  Scheduler::Impl* im = g_impl.load();
  if (im != nullptr && im->det && im->current->held_mutexes > 0)
    --im->current->held_mutexes;
}

}  // namespace vax::sim
