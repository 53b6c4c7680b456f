// The throttle table against a reference model: random sequences of what job
// processes and the daemon do (registration, rate queries, statistics,
// unregistration with live and stale handles, job and machine limits,
// enumeration), the clock moved past the 600 s and 1800 s silence rules and
// stepped back, owners that die or whose pid is reused, damage followed by a
// repair pass. After every step the table must
// hold what the model says -- slots and allocation tables, the rate each
// stream is allotted, counts, statistics, what clean-up removed -- and the
// table lock must be free for another thread; the independent invariant
// checker runs every few steps.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "platform/md_process.h"
#include "tests/throttling/table_invariants.h"
#include "tests/throttling/throttling_test_util.h"

namespace {

constexpr uint32_t kLanFree = kTMStreamNotThrottled;
constexpr uint32_t kSilent = kTMStreamUnresponsive;
constexpr uint32_t kConfiguredMBPH = 1200;  // what a clean-up pass reads back

// a's eight counters set to f(a's, b's), each wrapping in its own width. The
// records are packed to 4 bytes, so each field is named: a pointer or
// reference to a 64-bit field would promise an alignment it lacks.
template <typename F>
void EachCounter(_TMStats& a, const _TMStats& b, F f) {
  a.ReadSize = f(a.ReadSize, b.ReadSize);
  a.NetworkSize = f(a.NetworkSize, b.NetworkSize);
  a.WriteSize = f(a.WriteSize, b.WriteSize);
  a.SIDBLookupSamples = f(a.SIDBLookupSamples, b.SIDBLookupSamples);
  a.ReadTime = static_cast<uint32_t>(f(a.ReadTime, b.ReadTime));
  a.WriteTime = static_cast<uint32_t>(f(a.WriteTime, b.WriteTime));
  a.NetworkTime = static_cast<uint32_t>(f(a.NetworkTime, b.NetworkTime));
  a.SIDBLookupTime = static_cast<uint32_t>(f(a.SIDBLookupTime, b.SIDBLookupTime));
}
uint64_t Plus(uint64_t a, uint64_t b) { return a + b; }

bool Same(const _TMStats& a, const _TMStats& b) { return memcmp(&a, &b, sizeof(a)) == 0; }

// An allocation table: a permutation of 0..511 whose first n entries are in use.
struct Alloc {
  std::vector<uint32_t> e = std::vector<uint32_t>(512);
  uint32_t n = 0;
  Alloc() { std::iota(e.begin(), e.end(), 0u); }
  uint32_t Take() { return e[n++]; }
  // The last slot in use moves into the released one's position.
  void Give(uint32_t slot) {
    uint32_t& gap = *std::find(e.begin(), e.begin() + n, slot);
    std::swap(gap, e[--n]);
  }
  // As a repair rebuilds it: the slots still used in their order, then the free ascending.
  void Rebuild(const std::set<uint32_t>& used) {
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < n; ++i) if (used.count(e[i]) != 0) out.push_back(e[i]);
    n = static_cast<uint32_t>(out.size());
    for (uint32_t s = 0; s < 512; ++s) if (used.count(s) == 0) out.push_back(s);
    e = out;
  }
};

struct MStream {
  uint32_t uid = 0, flags = 0, start = 0, seen = 0;
  uint64_t size = 0;
  bool dead = false;
  _TMStats last, cur;
};

struct MJob {
  uint32_t id = 0, limit = 0, per = 0, type = 0, lastEnum = 0;
  uint64_t size = 0;
  _TMStats stats;
  Alloc at;
  std::map<uint32_t, MStream> streams;  // by stream slot
  uint32_t Throttled() const {
    uint32_t n = 0;
    for (const auto& s : streams) n += (s.second.flags & (kLanFree | kSilent)) == 0;
    return n;
  }
};

class ModelTest : public ::testing::TestWithParam<unsigned int> {
 protected:
  void SetUp() override {
    inst_.SetConfig("Hxd", "ThrottleLanFreeSDT", "0");
    inst_.SetConfig("Hxd", "ComputerThroughputMBPH", std::to_string(kConfiguredMBPH));
    env_.now = t0_ = static_cast<uint32_t>(time(nullptr));
    ASSERT_EQ(m_.Initialize(inst_.focus().c_str(), 5, kTMKindOutbound), 0);
    m_.lastCleanupTime() = lastPass_ = env_.now;
    m_.checkEachStreamProcess_ = GetParam() % 2 == 0;
    t_ = m_.table();
    ASSERT_TRUE(MDProcess(getppid()).getStartTicks(ownerMark_));
    ownerMark_ += 1;
    dead_ = fork();
    if (dead_ == 0) _exit(0);
    waitpid(dead_, nullptr, 0);
  }
  void TearDown() override {
    // A lock left held would make Uninitialize wait forever: fail instead.
    if (LockFree()) {
      EXPECT_EQ(m_.Uninitialize(), 0);
    }
  }
  bool LockFree() { return thrtest::LockFreeWithin(hx::TableMutexName(inst_.focus(), kTMKindOutbound), 100); }

  static uint64_t Handle(uint32_t job, uint32_t stream, uint32_t uid) {
    return (uint64_t{job} << 48) | (uint64_t{stream} << 32) | uid;
  }
  // The live model stream a handle names, or null.
  MStream* Find(uint64_t h) {
    auto j = jobs_.find(static_cast<uint32_t>(h >> 48));
    if (j == jobs_.end()) return nullptr;
    auto s = j->second.streams.find(static_cast<uint32_t>(h >> 32) & 0xFFFF);
    return s == j->second.streams.end() || s->second.uid != static_cast<uint32_t>(h) ? nullptr
                                                                                     : &s->second;
  }
  int JobSlot(uint32_t id) {
    for (uint32_t p = 0; p < jobAT_.n; ++p) if (jobs_[jobAT_.e[p]].id == id) return static_cast<int>(jobAT_.e[p]);
    return -1;
  }
  uint32_t ReserveJob(uint32_t id, uint32_t limit) {
    const uint32_t slot = jobAT_.Take();
    jobs_[slot] = MJob();
    jobs_[slot].id = id;
    jobs_[slot].limit = limit;
    return slot;
  }

  // The machine's throughput shared out: job limits honoured when they fit.
  void Shares() {
    uint32_t streams = 0, limits = 0, unlimited = 0;
    for (auto& kv : jobs_) {
      const uint32_t n = kv.second.Throttled();
      if (n == 0) continue;
      streams += n;
      limits += kv.second.limit;
      unlimited += kv.second.limit == 0;
    }
    for (auto& kv : jobs_) {
      MJob& j = kv.second;
      const uint32_t n = j.Throttled();
      if (machine_ == 0) {
        j.per = n != 0 && j.limit != 0 ? std::max(1u, j.limit / n) : 0;
      } else if (limits > machine_ || limits == 0) {
        j.per = n == 0 ? 0 : std::max(1u, streams != 0 ? machine_ / streams : machine_);
      } else if (n != 0) {
        const uint32_t rest = std::max(1u, unlimited != 0 ? (machine_ - limits) / unlimited : 0);
        j.per = std::max(1u, (j.limit != 0 ? j.limit : rest) / n);
      }
    }
  }
  // A clean-up pass at most every 600 s (a clock stepped back restarts the spacing).
  void MaybePass() {
    if (lastPass_ > env_.now) {
      lastPass_ = env_.now;
    } else if (env_.now - lastPass_ >= 600) {
      Pass();
    }
  }
  void Recompute() {
    MaybePass();
    Shares();
  }
  void Pass() {
    const uint32_t now = env_.now;
    machine_ = kConfiguredMBPH;
    lastPass_ = now;
    std::vector<uint64_t> doomed;
    for (uint32_t p = 0; p < jobAT_.n; ++p) {
      MJob& j = jobs_[jobAT_.e[p]];
      for (uint32_t q = 0; q < j.at.n; ++q) {
        MStream& s = j.streams[j.at.e[q]];
        const uint32_t idle = now >= s.seen ? now - s.seen : 0;
        if (s.dead || (idle > 1800 && (s.flags & kSilent) != 0)) {
          doomed.push_back(Handle(jobAT_.e[p], j.at.e[q], s.uid));
        } else if (idle > 600) {
          s.flags |= kSilent;
        }
      }
    }
    for (uint64_t h : doomed) Unregister(h);
    for (uint32_t p = jobAT_.n; p-- > 0;) {
      const uint32_t slot = jobAT_.e[p];
      if (jobs_[slot].streams.empty() && jobs_[slot].limit == 0) {
        jobAT_.Give(slot);
        jobs_.erase(slot);
      }
    }
    Shares();
  }
  void Unregister(uint64_t h) {
    if (MStream* s = Find(h)) {
      const uint32_t slot = static_cast<uint32_t>(h >> 48);
      MJob& j = jobs_[slot];
      total_ += s->size;
      j.size += s->size;
      EachCounter(j.stats, s->last, Plus);
      j.at.Give(static_cast<uint32_t>(h >> 32) & 0xFFFF);
      j.streams.erase(static_cast<uint32_t>(h >> 32) & 0xFFFF);
      if (j.streams.empty()) {
        jobAT_.Give(slot);
        jobs_.erase(slot);
      }
    }
    Recompute();
  }
  uint64_t Register(uint32_t id, uint32_t limit, uint32_t flags) {
    Pass();
    int slot = JobSlot(id);
    if (slot < 0) slot = static_cast<int>(ReserveJob(id, limit));
    MJob& j = jobs_[static_cast<uint32_t>(slot)];
    const uint32_t s = j.at.Take();
    MStream& stream = j.streams[s];
    stream.uid = ++uid_;
    stream.flags = (flags & ~kSilent) | kTMStreamInUse;
    stream.start = stream.seen = env_.now;
    Recompute();
    return Handle(static_cast<uint32_t>(slot), s, uid_);
  }
  void ForcedPass() {
    ASSERT_TRUE(m_.Lock());
    m_.CheckAndCleanupStreams(true);
    EXPECT_TRUE(m_.Unlock());
    Pass();
  }
  // What an enumeration (or snapshot) must hand out -- the jobs up to the one
  // whose callback said stop -- and what it changes in every job.
  void ExpectCopies(const thrtest::Copies& got, bool reset, bool readOnly) {
    size_t i = 0;
    for (uint32_t p = 0; p < jobAT_.n; ++p) {
      MJob& j = jobs_[jobAT_.e[p]];
      if (j.streams.empty()) continue;
      const bool shown = i < got.stop;
      if (shown) {
        ASSERT_LT(i, got.jobs.size());
        const _TMJobInfo& info = got.jobs[i].first;
        EXPECT_EQ(info.JobID, j.id);
        EXPECT_EQ(info.ThrottleMBPH, j.limit);
        EXPECT_EQ(info.PerStreamMBPH, j.per);
        EXPECT_EQ(info.JobType, j.type);
        EXPECT_EQ(info.LastEnumTime, j.lastEnum);
        EXPECT_EQ(uint64_t{info.JobSizeProcessed}, j.size);
        EXPECT_TRUE(Same(info.JobStats, j.stats));
        ASSERT_EQ(got.jobs[i].second.size(), j.streams.size());
      }
      if (!readOnly) j.lastEnum = env_.now;
      for (uint32_t q = 0; q < j.at.n; ++q) {
        MStream& s = j.streams[j.at.e[q]];
        if (shown) {
          const _TMStreamInfo& copy = got.jobs[i].second[q];
          EXPECT_EQ(copy.Handle, Handle(jobAT_.e[p], j.at.e[q], s.uid));
          EXPECT_EQ(uint64_t{copy.SizeProcessed}, s.size);
          EXPECT_EQ(copy.Flags, s.flags);
          EXPECT_EQ(copy.LatUpdateTime, s.seen);
          EXPECT_TRUE(Same(copy.LastStats, s.last));
          EXPECT_TRUE(Same(copy.CurrentStats, s.cur));
        }
        if (reset) EachCounter(s.cur, s.cur, [](uint64_t, uint64_t) { return uint64_t{0}; });
      }
      ++i;
    }
    EXPECT_EQ(got.jobs.size(), std::min(i, got.stop));
  }

  // The raw table against the model.
  void Check(int step) {
    const _TMThrottleTable& t = *t_;
    unsigned int machine = 0;
    EXPECT_EQ(m_.GetComputerThroughput(machine), 0);
    EXPECT_EQ(machine, machine_);
    EXPECT_EQ(t.UniqueID, uid_);
    EXPECT_EQ(uint64_t{t.TotalSizeProcessed}, total_);
    EXPECT_EQ(t.ActiveJobCount, jobAT_.n);
    ASSERT_TRUE(std::equal(jobAT_.e.begin(), jobAT_.e.end(), t.JobAT));
    for (const auto& kv : jobs_) {
      SCOPED_TRACE("job slot " + std::to_string(kv.first));
      const _TMJobRecord& r = t.Jobs[kv.first];
      const MJob& j = kv.second;
      EXPECT_EQ(r.Flags, kTMJobInUse);
      EXPECT_EQ(r.JobID, j.id);
      EXPECT_EQ(r.ThrottleMBPH, j.limit);
      EXPECT_EQ(r.PerStreamMBPH, j.per);
      EXPECT_EQ(r.ActiveStreamCount, j.at.n);
      EXPECT_EQ(r.ActiveThrottStreamCount, j.Throttled());
      EXPECT_EQ(r.JobType, j.type);
      EXPECT_EQ(uint64_t{r.JobSizeProcessed}, j.size);
      EXPECT_TRUE(Same(r.JobStats, j.stats));
      ASSERT_TRUE(std::equal(j.at.e.begin(), j.at.e.end(), r.StreamAT));
      for (const auto& s : j.streams) {
        const _TMStreamRecord& sr = r.Streams[s.first];
        EXPECT_EQ(sr.UniqueID, s.second.uid);
        EXPECT_EQ(sr.Flags, s.second.flags);
        EXPECT_EQ(sr.StartTime, s.second.start);
        EXPECT_EQ(sr.LatUpdateTime, s.second.seen);
        EXPECT_EQ(uint64_t{sr.SizeProcessed}, s.second.size);
        EXPECT_TRUE(Same(sr.LastStats, s.second.last));
        EXPECT_TRUE(Same(sr.CurrentStats, s.second.cur));
      }
    }
    // No operation may leave the lock held: every other process would wait.
    EXPECT_TRUE(LockFree());
    if (step % 20 == 0) {
      EXPECT_EQ(t1test::TableViolations(t), std::vector<std::string>{});
    }
  }

  hxtest::TestInstance inst_;
  hxtest::FakeEnv env_;
  thrtest::Manager m_{&env_};
  _TMThrottleTable* t_ = nullptr;
  pid_t dead_ = -1;
  uint32_t t0_ = 0, lastPass_ = 0, uid_ = 0, machine_ = kConfiguredMBPH;
  uint64_t total_ = 0, ownerMark_ = 0;
  Alloc jobAT_;
  std::map<uint32_t, MJob> jobs_;  // by job slot
};

TEST_P(ModelTest, RandomOperationSequencesMatchTheModel) {
  std::mt19937 rng(GetParam());
  auto pick = [&rng](size_t n) { return static_cast<uint32_t>(rng() % n); };
  std::vector<uint64_t> handles;  // every handle handed out, live or stale
  for (int step = 1; step <= 300 && !HasFailure(); ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    uint64_t h = handles.empty()
                     ? 0
                     : handles[handles.size() - 1 - pick(std::min<size_t>(handles.size(), 10))];
    if (pick(12) == 0) {
      h = std::vector<uint64_t>{kTMInvalidHandle, Handle(512, 0, 1), Handle(3, 512, 1)}[pick(3)];
    }
    const bool inRange = (h >> 48) < 512 && ((h >> 32) & 0xFFFF) < 512;
    MStream* live = inRange ? Find(h) : nullptr;
    const uint32_t op = pick(16);
    if (op < 3) {
      const uint32_t id = pick(5), limit = std::vector<uint32_t>{0, 0, 300, 2000}[pick(4)];
      const uint32_t flags =
          std::vector<uint32_t>{0, 0, kLanFree, kSilent | 0x10, kLanFree | 0x20}[pick(5)];
      if (op == 0) {
        // A slot left dirty (by a writer that did not clear it): the new
        // stream must not inherit the previous one's statistics. (The second
        // pass removes what the first marked, so the registration's own
        // pass changes nothing.)
        ForcedPass();
        ForcedPass();
        const int slot = JobSlot(id);
        _TMStreamRecord& next = slot >= 0
                                    ? t_->Jobs[slot].Streams[jobs_[slot].at.e[jobs_[slot].at.n]]
                                    : t_->Jobs[jobAT_.e[jobAT_.n]].Streams[0];
        next.LastStats.ReadSize = 77;
        next.CurrentStats.WriteTime = 5;
      }
      _TMSRegParams p = thrtest::Params(id, 1, limit, flags);
      const uint64_t expected = Register(id, limit, flags);
      EXPECT_EQ(m_.RegisterStream(p), expected);
      handles.push_back(expected);
    } else if (op < 5) {
      EXPECT_EQ(m_.UnregisterStream(h), inRange ? 0 : -1);
      if (inRange) Unregister(h);
    } else if (op < 8) {
      const uint64_t bytes = uint64_t{pick(1u << 20)} * 5000;
      unsigned int rate = 0xDEAD;
      EXPECT_EQ(m_.GetThroughputRate(h, bytes, rate), !inRange ? -1 : live != nullptr ? 0 : 2);
      if (live != nullptr) {
        live->flags &= ~kSilent;
        live->seen = env_.now;
        live->size = bytes;
        EXPECT_EQ(rate, jobs_[static_cast<uint32_t>(h >> 48)].per);
      }
    } else if (op == 8) {
      _TMStats s;
      EachCounter(s, s, [&](uint64_t, uint64_t) { return uint64_t{pick(1000000)}; });
      s.JobType = 1 + pick(3);
      EXPECT_EQ(m_.UpdateStreamStats(h, s), !inRange ? -1 : live != nullptr ? 0 : 2);
      if (live != nullptr) {
        MJob& j = jobs_[static_cast<uint32_t>(h >> 48)];
        if (j.type == 0) j.type = s.JobType;
        EachCounter(live->cur, s, Plus);
        EachCounter(live->cur, live->last, [](uint64_t a, uint64_t b) { return a - b; });
        live->last = s;
      }
    } else if (op == 9) {
      const uint32_t id = pick(7), limit = std::vector<uint32_t>{0, 250, 800}[pick(3)];
      EXPECT_EQ(m_.SetJobMaxThroghput(id, limit), 0);
      const int slot = JobSlot(id);
      if (slot >= 0) {
        jobs_[slot].limit = limit;
      } else {
        ReserveJob(id, limit);
      }
      Recompute();
    } else if (op == 10) {
      const uint32_t mbph = std::vector<uint32_t>{0, 600, 1200, 5000}[pick(4)];
      EXPECT_EQ(m_.SetComputerMaxThroghput(mbph), 0);
      machine_ = mbph;
      Recompute();
    } else if (op < 13) {
      const uint32_t moves[] = {45, 300, 601, 1250, 1801};
      env_.now += moves[pick(5)];
      if (pick(8) == 0) env_.now = std::max(t0_, env_.now - 3000);
    } else if (op == 13 && live != nullptr) {
      // The owner exits, or its pid now names a younger process; an owner
      // recorded without its start is judged by the registration time.
      _TMStreamRecord& r = t_->Jobs[h >> 48].Streams[(h >> 32) & 0xFFFF];
      const uint32_t how = pick(4);
      if (how == 0) r.ProcessID = static_cast<uint32_t>(dead_);
      if (how == 3) r.StartTime = live->start = 1000;  // registered before its owner started
      TMSetOwnerMark(r, how == 1 ? TMOwnerMark(r) + 1 : how >= 2 ? 0 : TMOwnerMark(r));
      const uint64_t mark = TMOwnerMark(r);
      live->dead = r.ProcessID == static_cast<uint32_t>(dead_) ||
                   (mark != 0 ? mark != ownerMark_ : r.StartTime == 1000);
    } else if (op == 14) {
      const uint32_t how = pick(3);
      thrtest::Copies got;
      if (pick(3) == 0) got.stop = pick(3);  // 0: no callback, only the effects
      IEnumerateJobInfoCallback* callback = got.stop == 0 ? nullptr : &got;
      EXPECT_EQ(how == 0 ? m_.SnapshotJobsInfo(nullptr, callback)
                         : m_.EnumerateJobsInfo(nullptr, callback, how - 1),
                0);
      if (how != 0) MaybePass();
      ExpectCopies(got, how == 2, how == 0);
    } else if (op == 15 && pick(2) == 0) {
      // Damage of every kind a holder killed mid-change (or a stray writer)
      // leaves; the repair keeps every stream and job the in-use flags name.
      ASSERT_TRUE(m_.Lock());
      _TMThrottleTable& t = *t_;
      t.ActiveJobCount = 7777;
      t.Jobs[jobAT_.e[jobAT_.n]].JobID = 4;
      t.Jobs[jobAT_.e[jobAT_.n + 1]].Streams[4].Flags = kTMStreamInUse;
      t.Jobs[jobAT_.e[jobAT_.n + 3]].Flags = kTMJobInUse;  // no stream, no limit: released
      t.JobAT[jobAT_.n + 2] = t.JobAT[0];
      if (jobAT_.n >= 2) {  // position 1 lost: its job, found by its flag, goes last
        t.JobAT[1] = t.JobAT[0];
        std::rotate(jobAT_.e.begin() + 1, jobAT_.e.begin() + 2, jobAT_.e.begin() + jobAT_.n);
      }
      if (!jobs_.empty()) {
        const Alloc& at = jobs_.begin()->second.at;
        _TMJobRecord& r = t.Jobs[jobs_.begin()->first];
        r.Flags = 0x81;
        r.ActiveThrottStreamCount += 3;
        r.StreamAT[at.n + 1] = 7777;
        r.Streams[at.e[at.n]].SizeProcessed = 5;
      }
      inst_.ClearLog();
      EXPECT_GT(m_.CheckAndRepairTable("test"), 0u);
      const std::string zeroed = std::to_string(2 + !jobs_.empty()) + " free slots zeroed";
      EXPECT_EQ(inst_.LogLinesContaining(zeroed).size(), 1u) << zeroed;
      EXPECT_EQ(m_.CheckAndRepairTable("again"), 0u);
      EXPECT_TRUE(m_.Unlock());
      EXPECT_EQ(t1test::TableViolations(t, {true}), std::vector<std::string>{});
      std::set<uint32_t> used;
      for (auto it = jobs_.begin(); it != jobs_.end();) {
        if (it->second.streams.empty() && it->second.limit == 0) {
          it = jobs_.erase(it);
          continue;
        }
        std::set<uint32_t> streams;
        for (const auto& s : it->second.streams) streams.insert(s.first);
        it->second.at.Rebuild(streams);
        used.insert((it++)->first);
      }
      jobAT_.Rebuild(used);
    }
    Check(step);
  }
  EXPECT_EQ(t1test::TableViolations(*t_), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Seeds, ModelTest, ::testing::Values(1u, 2u, 3u));

}  // namespace
