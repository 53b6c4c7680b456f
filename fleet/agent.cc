#include "fleet/agent.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include "fleet/share.h"
#include "perfmonitor/exposition_text.h"
#include "perfmonitor/metrics_textfile.h"
#include "platform/hx_mutex.h"
#include "platform/hx_platform_info.h"
#include "throttling/table_kinds.h"
#include "throttling/throttling_manager.h"
#include "throttling/throughput_schedule.h"

namespace hxfleet {

std::string SitePrefix(const std::string& site) { return "/hxfleet/" + site + "/"; }
std::string BudgetKey(const std::string& site) { return SitePrefix(site) + "budget"; }
std::string MemberKey(const std::string& site, const std::string& machine) {
  return SitePrefix(site) + "members/" + machine;
}
std::string ReserveKey(const std::string& site, const std::string& machine) {
  return SitePrefix(site) + "reserve/" + machine;
}

uint64_t FloorOf(uint64_t budget) { return std::max<uint64_t>(1, budget / 50); }

uint64_t Budget::At(uint32_t now) const {
  if (schedule.empty()) return mbph;
  hx::ThroughputSchedule s;
  std::string error;
  if (!s.Parse(schedule, &error)) return mbph;
  int64_t next = 0;
  return s.At(now, &next).out;
}

namespace {

bool GetU64(const Json& j, const char* name, uint64_t* out, std::string* error) {
  if (!j.contains(name) || !j[name].is_number_unsigned()) {
    *error = std::string("\"") + name + "\" is missing or not a number of 0 or more";
    return false;
  }
  *out = j[name].get<uint64_t>();
  return true;
}

}  // namespace

bool ParseBudget(const std::string& text, Budget* out, std::string* error) {
  const Json j = Json::parse(text, nullptr, false);
  Budget b;
  if (!j.is_object()) {
    *error = "the budget is not a JSON object";
    return false;
  }
  if (!GetU64(j, "mbph", &b.mbph, error)) return false;
  if (b.mbph == 0 || b.mbph > kMaxBudgetMbph) {
    *error = "a budget must be 1 to 4294967295 MBPH";
    return false;
  }
  if (j.contains("schedule")) {
    if (!j["schedule"].is_string()) {
      *error = "\"schedule\" is not a string";
      return false;
    }
    b.schedule = j["schedule"].get<std::string>();
    hx::ThroughputSchedule s;
    if (!s.Parse(b.schedule, error)) {
      *error = "timetable: " + *error;
      return false;
    }
    for (const auto& e : s.entries()) {
      if (e.limits.out == 0) {
        *error = "timetable: a site budget cannot be 'off'";
        return false;
      }
    }
  }
  *out = b;
  return true;
}

std::string FormatBudget(const Budget& b) {
  Json j = {{"mbph", b.mbph}};
  if (!b.schedule.empty()) j["schedule"] = b.schedule;
  return j.dump();
}

bool ParseMember(const std::string& text, Member* out, std::string* error) {
  const Json j = Json::parse(text, nullptr, false);
  Member m;
  if (!j.is_object() || !j.contains("weight") || !j["weight"].is_number() ||
      !(j["weight"].get<double>() > 0) || !(j["weight"].get<double>() < 1e9)) {
    *error = "not a member record with a weight above 0";
    return false;
  }
  m.weight = j["weight"].get<double>();
  uint64_t streams = 0, time = 0;
  if (!GetU64(j, "streams", &streams, error) || !GetU64(j, "demand", &m.demand, error) ||
      !GetU64(j, "target", &m.target, error) || !GetU64(j, "applied", &m.applied, error) ||
      !GetU64(j, "floor", &m.floor, error) || !GetU64(j, "safe", &m.safe, error) ||
      !GetU64(j, "time", &time, error)) {
    return false;
  }
  m.streams = static_cast<uint32_t>(std::min<uint64_t>(streams, UINT32_MAX));
  m.time = static_cast<uint32_t>(time);
  // Records of older agents carry neither the run nor the safe period.
  uint64_t safeSeconds = 0;
  if (j.contains("agent") && !GetU64(j, "agent", &m.agent, error)) return false;
  if (j.contains("safe_seconds") && !GetU64(j, "safe_seconds", &safeSeconds, error)) return false;
  m.safeSeconds = static_cast<uint32_t>(std::min<uint64_t>(safeSeconds, 3600));
  *out = m;
  return true;
}

std::string FormatMember(const Member& m) {
  return Json({{"weight", m.weight}, {"streams", m.streams}, {"demand", m.demand},
               {"target", m.target}, {"applied", m.applied}, {"floor", m.floor},
               {"safe", m.safe}, {"time", m.time}, {"safe_seconds", m.safeSeconds},
               {"agent", m.agent}})
      .dump();
}

namespace {

uint32_t Now() { return static_cast<uint32_t>(time(nullptr)); }

// The instance's outbound or inbound table, attached for reading its jobs
// and for applying a lowered share at once.
class Table : public CHxThrottlingManager {
 public:
  // Re-reads the limit settings and applies them now, recomputing the shares.
  bool ApplyNow() {
    if (!Lock()) return false;
    ConfigureComputerThroughput();
    RecomputeThroughputs();
    return Unlock();
  }
  // Under the table lock: the pass rewrites the shared table.
  void CleanUpNow() {
    if (!Lock()) return;
    CheckAndCleanupStreams(true);
    Unlock();
  }
};

struct Usage {
  uint32_t streams = 0;
  bool allLimited = true;    // every stream held by a job limit
  uint64_t jobLimits = 0;    // what those limits add up to
  uint64_t bytes = 0;        // bytes processed, all streams and jobs
};

class JobCollector : public IEnumerateJobInfoCallback {
 public:
  explicit JobCollector(Usage* u) : u_(u) {}
  int OnThrottelingInfo(void*, _TMJobInfo* job, _TMStreamInfo* streams,
                        unsigned int count) override {
    u_->streams += job->ActiveStreamCount;
    if (job->ActiveStreamCount > 0) {
      if (job->ThrottleMBPH == 0) u_->allLimited = false;
      u_->jobLimits += job->ThrottleMBPH;
    }
    u_->bytes += job->JobSizeProcessed;
    for (unsigned int i = 0; i < count; ++i) u_->bytes += streams[i].SizeProcessed;
    return 0;
  }

 private:
  Usage* u_;
};

// The members, reserves and budget of the site as last listed or watched.
struct SiteView {
  hx::Mutex mu;
  int64_t revision GUARDED_BY(mu) = 0;
  bool haveBudget GUARDED_BY(mu) = false;
  Budget budget GUARDED_BY(mu);
  std::map<std::string, Member> members GUARDED_BY(mu);
  // Safe share and floor held for each machine.
  std::map<std::string, Member> reserves GUARDED_BY(mu);
  bool listed GUARDED_BY(mu) = false;
};

// A copy of the view taken under its lock, to work on without it.
struct SiteSnapshot {
  int64_t revision = 0;
  bool haveBudget = false;
  Budget budget;
  std::map<std::string, Member> members, reserves;
};

void ApplyKv(SiteView* v, const std::string& site, const std::string& key,
             const std::string* value) REQUIRES(v->mu) {
  const std::string prefix = SitePrefix(site);
  if (key.compare(0, prefix.size(), prefix) != 0) return;
  const std::string rest = key.substr(prefix.size());
  std::string error;
  if (rest == "budget") {
    Budget b;
    v->haveBudget = value != nullptr && ParseBudget(*value, &b, &error);
    if (v->haveBudget) v->budget = b;
    return;
  }
  for (const auto& part : {std::make_pair("members/", &v->members),
                     std::make_pair("reserve/", &v->reserves)}) {
    const std::string p = part.first;
    if (rest.compare(0, p.size(), p) != 0) continue;
    const std::string machine = rest.substr(p.size());
    Member m;
    // A record that does not parse is left out, as a member and as a reserve:
    // no agent writes one, and what a reserve would hold cannot be read from it.
    if (value != nullptr && ParseMember(*value, &m, &error)) {
      (*part.second)[machine] = m;
    } else {
      part.second->erase(machine);
    }
  }
}

// Lists the site, then watches it from the listed revision; lists again when
// the watch is compacted, fails or stays quiet.
void FollowSite(const std::vector<std::string>& endpoints, const std::string& site,
                SiteView* view, const std::atomic<bool>& stop) {
  EtcdClient etcd(endpoints, 1500);
  const std::string prefix = SitePrefix(site), end = PrefixEnd(prefix);
  while (!stop.load()) {
    std::vector<KeyValue> kvs;
    int64_t rev = 0;
    std::string error;
    if (!etcd.Range(prefix, end, &kvs, &rev, &error)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      continue;
    }
    {
      hx::MutexLock lock(&view->mu);
      view->members.clear();
      view->reserves.clear();
      view->haveBudget = false;
      for (const KeyValue& kv : kvs) ApplyKv(view, site, kv.key, &kv.value);
      view->revision = rev;
      view->listed = true;
    }
    bool compacted = false;
    etcd.Watch(
        prefix, end, rev + 1,
        [&](const Json& events, int64_t revision) {
          hx::MutexLock lock(&view->mu);
          (void)revision;  // a header may be ahead of the events delivered yet
          for (const Json& e : events) {
            const Json kv = e.value("kv", Json::object());
            // The view is as new as the last event it holds.
            view->revision = std::max(view->revision, JsonInt(kv, "mod_revision"));
            std::string key, value;
            if (!Base64Decode(kv.value("key", ""), &key)) continue;
            const bool del = e.value("type", "PUT") == "DELETE";
            if (!del && !Base64Decode(kv.value("value", ""), &value)) continue;
            ApplyKv(view, site, key, del ? nullptr : &value);
          }
          return !stop.load();
        },
        stop, 30, &compacted, &error);
  }
}

// The record the tables follow: share until leaseEnd, then safe, then floor.
bool WriteShareRecord(const std::string& focus, const hx::FleetShare& s, std::string* error) {
  const std::string dir = HxRegistryRoot() + focus + "/HxFleet";
  if (access(dir.c_str(), F_OK) != 0 && mkdir(dir.c_str(), 0755) != 0) {
    *error = "cannot create " + dir;
    return false;
  }
  return hxmetrics::ReplaceFileAtomically(dir, ".properties",
                                          "Share " + hx::FormatFleetShare(s) + "\n", error);
}

// What the tables of a machine follow once the site holds nothing for it (its
// floor given back): a job that starts before the agent is back moves, but
// at no rate the budget would notice.
constexpr uint32_t kNothingHeldMbph = 1;

bool ReadShareRecord(const std::string& focus, hx::FleetShare* s) {
  HxPlatformInfo config;
  config.setFocus(focus.c_str());
  std::string text, error;
  return config.getString("HxFleet", "Share", &text) != 0 && hx::ParseFleetShare(text, s, &error);
}

}  // namespace

namespace {

struct Tables {
  Table out, in;
  bool attached = false;
  bool Attach(const std::string& focus) {
    if (attached) return true;
    const unsigned int tag = static_cast<unsigned int>(getpid());
    if (out.Initialize(focus.c_str(), tag, kTMKindOutbound) != 0) return false;
    if (in.Initialize(focus.c_str(), tag, kTMKindInbound) != 0) {
      out.Uninitialize();
      return false;
    }
    attached = true;
    return true;
  }
  ~Tables() {
    if (attached) {
      out.Uninitialize();
      in.Uninitialize();
    }
  }
  // A clean-up pass on both tables, so that the streams of jobs that died
  // stop counting at once.
  void CleanUp() {
    for (Table* t : {&out, &in}) {
      if (t->Lock()) {
        t->CleanUpNow();
        t->Unlock();
      }
    }
  }
  Usage Read() {
    Usage both, u[2];
    Table* t[2] = {&out, &in};
    for (int i = 0; i < 2; ++i) {
      JobCollector c(&u[i]);
      t[i]->SnapshotJobsInfo(nullptr, &c);
    }
    both.streams = u[0].streams + u[1].streams;
    both.allLimited = u[0].allLimited && u[1].allLimited;
    both.jobLimits = std::max(u[0].jobLimits, u[1].jobLimits);
    both.bytes = u[0].bytes + u[1].bytes;
    return both;
  }
  uint32_t Limit() {
    _TMMachineLimitInfo info;
    return out.GetMachineLimitInfo(info) == 0 ? info.LimitMBPH : 0;
  }
};

// The agent's keeper. While the agent runs it waits on the pipe; "q" (a clean
// stop that gave everything back) ends it. Once the agent is gone otherwise
// it keeps looking at the tables, and when no stream has been active for the
// grace period and the share record is at its floor, it puts the tables at
// kNothingHeldMbph and deletes the machine's reserve, provided the record
// there is still this agent run's: a restarted agent's record is its own. Nothing
// else releases a reserve, so a machine cut off from etcd keeps its floor
// held. When the instance's tables are gone no job can move: it tries once to
// give the floor back, and ends. It ignores SIGTERM and SIGINT: a stop of the
// agent is not a stop of the jobs.
void Keep(int fd, const AgentOptions& o, const std::string& machine, uint64_t agent) {
  signal(SIGTERM, SIG_IGN);
  signal(SIGINT, SIG_IGN);
  char said = 0;
  while (read(fd, &said, 1) < 0 && errno == EINTR) {
  }
  close(fd);
  if (said == 'q') return;
  HxPlatformInfo config;
  config.setFocus(o.focus.c_str());
  HXPI_CommClient client;
  client.setFocus(o.focus.c_str());
  const char* dir = client.getJobResultsDirectory(config.getPhysicalMachine());
  const std::string keyFile = hx::TableKeyFile(dir ? dir : "", o.focus, kTMKindOutbound);
  const std::string key = ReserveKey(o.site, machine);
  EtcdClient etcd(o.endpoints, 1500);
  Tables tables;
  uint32_t quietSince = 0, lastLook = 0;
  for (;; std::this_thread::sleep_for(std::chrono::seconds(1))) {
    const bool gone = access(keyFile.c_str(), F_OK) != 0 || !tables.Attach(o.focus);
    const uint32_t now = Now();
    if (!gone) tables.CleanUp();
    if (!gone && tables.Read().streams > 0) {
      quietSince = 0;
    } else if (quietSince == 0) {
      quietSince = now;
    }
    // The floor goes back only once the tables follow it: until the share
    // record's last deadline they may still apply more.
    hx::FleetShare record;
    uint32_t next = 0;
    const bool atFloor = !ReadShareRecord(o.focus, &record) ||
                         (hx::FleetLimitAt(record, now, &next) == record.floor && next == 0);
    const bool due = gone || (atFloor && quietSince != 0 && now - quietSince >= o.graceSeconds);
    if (!due && now - lastLook < o.leaseSeconds) continue;
    lastLook = now;
    std::vector<KeyValue> kvs;
    std::string error;
    Member m;
    if (!etcd.Range(key, "", &kvs, nullptr, &error)) {
      if (gone) return;
      continue;
    }
    if (kvs.empty() || !ParseMember(kvs[0].value, &m, &error) || m.agent != agent) return;
    if (!due) continue;
    // Deleted only if nobody wrote it since it was read.
    const Json compare = {{"key", Base64Encode(key)}, {"target", "MOD"}, {"result", "EQUAL"},
                          {"mod_revision", std::to_string(kvs[0].modRevision)}};
    const Json del = {{"request_delete_range", {{"key", Base64Encode(key)}}}};
    Json reply;
    // The tables first, then the site may take the floor.
    const hx::FleetShare none{kNothingHeldMbph, now, kNothingHeldMbph, now, kNothingHeldMbph};
    if (!WriteShareRecord(o.focus, none, &error)) {
      if (gone) return;
      continue;
    }
    if (!gone) {
      tables.out.ApplyNow();
      tables.in.ApplyNow();
    }
    if (etcd.Call("/v3/kv/txn", {{"compare", Json::array({compare})}, {"success", Json::array({del})}},
                  &reply, &error) &&
        reply.value("succeeded", false)) {
      printf("hxfleet: machine %s: no job for %u s, its floor given back\n", machine.c_str(),
             now - quietSince);
      fflush(stdout);
      return;
    }
    if (gone) return;
  }
}

bool Near(uint64_t a, uint64_t b, double fraction) {
  const double d = std::fabs(static_cast<double>(a) - static_cast<double>(b));
  return d <= fraction * static_cast<double>(std::max(a, b));
}

class Agent {
 public:
  Agent(const AgentOptions& o, const std::atomic<bool>& stop)
      : o_(o), stop_(stop), etcd_(o.endpoints, 1500) {}

  int Run() {
    HxPlatformInfo config;
    config.setFocus(o_.focus.c_str());
    const char* name = config.getPhysicalMachine();
    machine_ = name ? name : "";
    if (machine_.empty() || machine_.find('/') != std::string::npos) {
      fprintf(stderr, "hxfleet: the machine name \"%s\" cannot name a key\n", machine_.c_str());
      return 1;
    }
    std::vector<KeyValue> kvs;
    std::string error;
    if (!etcd_.Range(BudgetKey(o_.site), "", &kvs, nullptr, &error)) {
      fprintf(stderr, "hxfleet: cannot reach etcd: %s\n", error.c_str());
      return 1;
    }
    reachable_ = true;
    std::random_device random;
    me_.agent = (static_cast<uint64_t>(random()) << 32) ^ random() ^ static_cast<uint64_t>(getpid());
    me_.safeSeconds = o_.safeSeconds;
    StartKeeper();  // before any thread: the keeper is a fork of this process
    // A restart goes on from what the tables follow now, never above it.
    haveRecord_ = ReadShareRecord(o_.focus, &record_);
    if (haveRecord_) applied_ = hx::FleetLimitAt(record_, Now(), &dummy_);
    std::thread follower(FollowSite, o_.endpoints, o_.site, &view_, std::cref(stop_));
    printf("hxfleet: machine %s in site %s (instance %s, keeper %d)\n", machine_.c_str(),
           o_.site.c_str(), o_.focus.c_str(), static_cast<int>(keeper_));
    fflush(stdout);
    while (!stop_.load()) {
      Tick();
      for (int i = 0; i < 5 && !stop_.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
    Leave();
    follower.join();
    return 0;
  }

 private:
  // One round; the metrics are written whatever the round got to, so that
  // they never go stale (with a budget of 0 while the site has none).
  void Tick() {
    const uint32_t now = Now();
    uint64_t budget = 0;
    Round(now, &budget);
    if (!waiting_) WriteTextfile(now, budget);  // the live agent's file, not this one's
  }

  void Round(uint32_t now, uint64_t* budgetNow) {
    std::string error;
    if (memberLease_ != 0 && now - lastKeepAlive_ >= std::max<uint32_t>(1, o_.leaseSeconds / 3)) {
      int64_t ttl = 0;
      lastKeepAlive_ = now;
      if (etcd_.KeepAlive(memberLease_, &ttl, &error)) {
        reachable_ = true;
        ++keepAlives_;
        if (ttl > 0) {
          leaseEnd_ = now + static_cast<uint32_t>(ttl) - 1;
        } else {
          memberLease_ = 0;  // expired: join again
        }
      } else {
        reachable_ = false;
      }
    }
    if (!tables_.Attach(o_.focus)) return;
    SiteSnapshot view;
    {
      hx::MutexLock lock(&view_.mu);
      if (!view_.listed) return;
      view.revision = view_.revision;
      view.haveBudget = view_.haveBudget;
      view.budget = view_.budget;
      view.members = view_.members;
      view.reserves = view_.reserves;
    }
    if (!view.haveBudget) return;
    const uint64_t budget = view.budget.At(now);
    *budgetNow = budget;
    const uint64_t floor = FloorOf(budget);
    if (!haveRecord_) {
      // Jobs start at the floor, never unlimited.
      applied_ = floor;
      SetRecord(floor, now, floor);
    }
    // Past the lease end the tables follow the safe share, then the floor.
    if (static_cast<int32_t>(now - leaseEnd_) >= 0) {
      applied_ = std::min<uint64_t>(applied_, hx::FleetLimitAt(record_, now, &dummy_));
    }
    if (memberLease_ == 0) {
      // A machine name that another live agent holds (a second agent for this
      // machine or instance, or a run that died and whose lease has not run
      // out yet) is waited for, never taken over.
      const auto holder = view.members.find(machine_);
      waiting_ = holder != view.members.end() && holder->second.agent != me_.agent;
      if (waiting_) {
        if (!saidWaiting_) {
          fprintf(stderr, "hxfleet: machine %s has a live agent already (run %llu); waiting until its record goes\n",
                  machine_.c_str(), static_cast<unsigned long long>(holder->second.agent));
        }
        saidWaiting_ = true;
        return;
      }
      if (!Join(now, floor)) return;
    }

    // Weight and demand.
    if (now - lastCleanUp_ >= 2) {
      tables_.CleanUp();
      lastCleanUp_ = now;
    }
    const Usage u = tables_.Read();
    const double seconds = lastBytesAt_ != 0 ? static_cast<double>(now - lastBytesAt_) : 0;
    double usedMbph = -1;
    if (seconds >= 2) {
      if (u.bytes > lastBytes_) usedMbph = (u.bytes - lastBytes_) / seconds * 3600.0 / 1e6;
      lastBytes_ = u.bytes;
      lastBytesAt_ = now;
    } else if (lastBytesAt_ == 0) {
      lastBytes_ = u.bytes;
      lastBytesAt_ = now;
    }
    uint64_t demand = budget;
    if (u.streams == 0) {
      demand = floor;
    } else if (u.allLimited) {
      demand = std::max<uint64_t>(floor, u.jobLimits);
    } else if (usedMbph >= 0 && usedMbph < 0.9 * applied_) {
      demand = std::max<uint64_t>(floor, static_cast<uint64_t>(usedMbph / 0.8));
    }
    // Small moves of demand are not published: shares stay put.
    if (!Near(demand, me_.demand, 0.1) || (demand == budget) != (me_.demand == budget)) {
      me_.demand = demand;
    }
    me_.weight = o_.weight * std::max<uint32_t>(1, u.streams);
    me_.streams = u.streams;
    me_.floor = floor;

    // Shares from what every member published; this machine from its own
    // figures. A machine without a member record holds its safe share for
    // the safe period after it was seen missing, then its floor.
    std::vector<Claim> claims;
    uint64_t othersApplied = 0, reserved = 0;
    size_t mine = 0;
    for (const auto& m : view.members) {
      if (m.first == machine_) continue;
      claims.push_back({m.first, m.second.weight, m.second.demand, m.second.floor});
      othersApplied += m.second.applied;
    }
    for (const auto& r : view.reserves) {
      if (r.first == machine_ || view.members.count(r.first)) {
        missingSince_.erase(r.first);
        continue;
      }
      const uint32_t since = missingSince_.emplace(r.first, now).first->second;
      // Its safe share for its own safe period (or this one's, if longer):
      // its tables follow its own.
      const uint32_t hold = std::max(o_.safeSeconds, r.second.safeSeconds);
      reserved += now - since < hold ? r.second.safe : r.second.floor;
    }
    mine = claims.size();
    claims.push_back({machine_, me_.weight, me_.demand, floor});
    // One floor more is kept free: a machine that joins starts at its floor
    // at once, before anyone has seen it, and must find that floor unused.
    const std::vector<uint64_t> shares = MaxMinShares(budget, reserved + floor, claims);
    uint64_t target = shares[mine];
    if (me_.target != 0 && target > me_.target && Near(target, me_.target, 0.02)) {
      target = me_.target;  // no churn for a rise within 2 %
    }
    me_.target = target;
    const uint64_t machines = claims.size() + reserved / std::max<uint64_t>(1, floor);
    const uint64_t safe = std::max<uint64_t>(floor, std::min<uint64_t>(applied_, budget / std::max<uint64_t>(1, machines)));

    bool publish = !Near(published_.demand, me_.demand, 0.0) || published_.weight != me_.weight ||
                   !Near(published_.target, me_.target, 0.02) || published_.floor != floor ||
                   !Near(published_.safe, std::min(safe, applied_), 0.05) ||
                   published_.applied > applied_;  // a fall by the deadlines, told late
    if (target < applied_) {
      // Lower at once: the tables first, then the others may take it.
      applied_ = target;
      SetRecord(applied_, leaseEnd_, std::min(safe, published_.safe));
      tables_.out.ApplyNow();
      tables_.in.ApplyNow();
      publish = true;
      lastChange_ = now;
    } else if (target > applied_ && reachable_) {
      const uint64_t room = budget > othersApplied + reserved ? budget - othersApplied - reserved : 0;
      const uint64_t allowed = std::min(target, room);
      if (allowed > applied_) {
        // Raised only when nobody changed the site since the view was read.
        Member next = me_;
        next.applied = allowed;
        next.safe = safe;
        next.time = now;
        if (PublishIf(next, view.revision)) {
          applied_ = allowed;
          SetRecord(applied_, leaseEnd_, std::min(safe, published_.safe));
          tables_.out.ApplyNow();
          tables_.in.ApplyNow();
          lastChange_ = now;
          publish = false;
        }
      }
    }
    // The tables' safe share is never above the one the others hold for
    // this machine. The record is this agent's alone: anything else found
    // there (an edit, the keeper of an earlier run) is put right.
    hx::FleetShare onDisk;
    const bool intact = ReadShareRecord(o_.focus, &onDisk) &&
                        hx::FormatFleetShare(onDisk) == hx::FormatFleetShare(record_);
    if (!intact || record_.leaseEnd != leaseEnd_ || record_.share != applied_ ||
        record_.safe != std::min(published_.safe, applied_)) {
      SetRecord(applied_, leaseEnd_, published_.safe);
    }
    if (publish && reachable_) {
      Member next = me_;
      next.applied = applied_;
      next.safe = std::min(safe, applied_);
      next.time = now;
      Publish(next);
    }
  }

  void SetRecord(uint64_t share, uint32_t leaseEnd, uint64_t safe) {
    hx::FleetShare r;
    r.share = static_cast<uint32_t>(std::max<uint64_t>(1, share));
    r.leaseEnd = leaseEnd;
    r.safe = static_cast<uint32_t>(std::max<uint64_t>(1, std::min(safe, share)));
    r.safeEnd = leaseEnd + o_.safeSeconds;
    r.floor = static_cast<uint32_t>(std::max<uint64_t>(1, std::min(me_.floor ? me_.floor : share, share)));
    std::string error;
    if (WriteShareRecord(o_.focus, r, &error)) {
      record_ = r;
      haveRecord_ = true;
    } else {
      fprintf(stderr, "hxfleet: %s\n", error.c_str());
    }
  }

  bool Join(uint32_t now, uint64_t floor) {
    std::string error;
    int64_t lease = 0;
    if (!etcd_.Grant(o_.leaseSeconds, &lease, &error)) {
      reachable_ = false;
      return false;
    }
    memberLease_ = lease;
    lastKeepAlive_ = now;
    leaseEnd_ = now + o_.leaseSeconds - 1;
    me_.floor = floor;
    Member m = me_;
    m.applied = applied_;
    m.safe = std::min<uint64_t>(applied_, std::max<uint64_t>(floor, record_.safe));
    m.time = now;
    reachable_ = true;
    return Publish(m);
  }

  bool Publish(const Member& m) {
    std::string error;
    const bool ok = etcd_.Put(ReserveKey(o_.site, machine_), FormatMember(m), 0, &error) &&
                    etcd_.Put(MemberKey(o_.site, machine_), FormatMember(m), memberLease_, &error);
    if (ok) {
      published_ = m;
      writes_ += 2;
    } else {
      reachable_ = false;
    }
    return ok;
  }

  bool PublishIf(const Member& m, int64_t viewRevision) {
    const std::string prefix = SitePrefix(o_.site);
    Json compare = {{"key", Base64Encode(prefix)}, {"range_end", Base64Encode(PrefixEnd(prefix))},
                    {"target", "MOD"}, {"result", "LESS"},
                    {"mod_revision", std::to_string(viewRevision + 1)}};
    auto put = [&](const std::string& key, int64_t lease) {
      Json put = {{"key", Base64Encode(key)}, {"value", Base64Encode(FormatMember(m))}};
      if (lease != 0) put["lease"] = std::to_string(lease);
      return Json({{"request_put", put}});
    };
    Json body = {{"compare", Json::array({compare})},
                 {"success", Json::array({put(ReserveKey(o_.site, machine_), 0),
                                          put(MemberKey(o_.site, machine_), memberLease_)})}};
    Json reply;
    std::string error;
    if (!etcd_.Call("/v3/kv/txn", body, &reply, &error)) {
      reachable_ = false;
      return false;
    }
    writes_ += 1;
    if (!reply.value("succeeded", false)) return false;
    published_ = m;
    return true;
  }

  void Leave() {
    if (waiting_) {
      StopKeeper(false);  // the machine is another agent's: nothing here to give back
      return;
    }
    std::string error;
    if (tables_.attached) tables_.CleanUp();
    const bool jobs = tables_.attached && tables_.Read().streams > 0;
    // The tables go down first; then the share is given back. Running jobs
    // keep the floor (as the safe share too: nothing below it, not even for
    // a moment); without one the floor goes back as well.
    if (haveRecord_) {
      const uint64_t floor = std::min<uint64_t>(applied_, me_.floor ? me_.floor : applied_);
      const uint64_t keep = jobs ? floor : kNothingHeldMbph;
      SetRecord(keep, Now(), keep);
      if (tables_.attached) {
        tables_.out.ApplyNow();
        tables_.in.ApplyNow();
      }
    }
    bool held = jobs;
    if (jobs) {
      // Jobs go on at the floor: only the floor stays held for them, until
      // the keeper sees them end.
      Member m = published_;
      m.applied = m.safe = m.target = m.floor = std::max<uint64_t>(1, record_.floor);
      m.agent = me_.agent;
      etcd_.Put(ReserveKey(o_.site, machine_), FormatMember(m), 0, &error);
    } else if (!etcd_.Delete(ReserveKey(o_.site, machine_), "", &error)) {
      fprintf(stderr, "hxfleet: the floor of %s stays reserved: %s\n", machine_.c_str(), error.c_str());
      held = true;
    }
    if (memberLease_ != 0) etcd_.Revoke(memberLease_, &error);
    StopKeeper(held);
  }

  void StartKeeper() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
      fprintf(stderr, "hxfleet: no keeper (pipe: %s)\n", strerror(errno));
      return;
    }
    fflush(stdout);
    fflush(stderr);
    const pid_t pid = fork();
    if (pid == 0) {
      close(fds[1]);
      Keep(fds[0], o_, machine_, me_.agent);
      _exit(0);
    }
    close(fds[0]);
    if (pid < 0) {
      fprintf(stderr, "hxfleet: no keeper (fork: %s)\n", strerror(errno));
      close(fds[1]);
      return;
    }
    keeper_ = pid;
    keeperFd_ = fds[1];
  }

  // needed: the keeper stays to give the floor back once the jobs end;
  // otherwise it is told to go, and waited for.
  void StopKeeper(bool needed) {
    if (keeper_ <= 0) return;
    if (!needed && write(keeperFd_, "q", 1) != 1) needed = true;
    close(keeperFd_);
    waitpid(keeper_, nullptr, needed ? WNOHANG : 0);  // one already ended is reaped too
  }

  void WriteTextfile(uint32_t now, uint64_t budget) {
    if (o_.textfileDir.empty()) return;
    hxmetrics::ExpositionWriter w;
    const hxmetrics::Labels labels = {{"instance", o_.focus}, {"machine", machine_}, {"site", o_.site}};
    auto gauge = [&](const char* name, const char* help, double value) {
      w.BeginFamily(name, help, "gauge");
      char text[32];
      snprintf(text, sizeof(text), "%.17g", value);
      w.AddSample(labels, text);
    };
    gauge("hxfleet_share_mbph", "This machine's share of the site budget", static_cast<double>(me_.target));
    gauge("hxfleet_demand_mbph", "The demand this machine publishes", static_cast<double>(me_.demand));
    gauge("hxfleet_weight", "The weight this machine publishes", me_.weight);
    gauge("hxfleet_applied_limit_mbph", "The machine limit the outbound table applies", tables_.Limit());
    gauge("hxfleet_budget_mbph", "The site budget now", static_cast<double>(budget));
    gauge("hxfleet_lease_seconds_left", "Seconds until the member lease would expire",
          static_cast<int32_t>(leaseEnd_ - now) > 0 ? leaseEnd_ - now : 0);
    gauge("hxfleet_etcd_up", "1 when the last etcd call succeeded", reachable_ ? 1 : 0);
    gauge("hxfleet_etcd_writes_total", "Puts and transactions sent", static_cast<double>(writes_));
    gauge("hxfleet_keepalives_total", "Lease keep-alives that succeeded", static_cast<double>(keepAlives_));
    gauge("hxfleet_last_change_timestamp_seconds", "When the applied share last changed", lastChange_);
    std::string error;
    hxmetrics::ReplaceFileAtomically(o_.textfileDir, "hxfleet_" + hxmetrics::TextfileName(o_.focus),
                                     w.Finish(), &error);
  }

  const AgentOptions& o_;
  const std::atomic<bool>& stop_;
  EtcdClient etcd_;
  std::string machine_;
  SiteView view_;
  Tables tables_;
  hx::FleetShare record_;
  bool haveRecord_ = false;
  uint32_t dummy_ = 0;
  uint64_t applied_ = 0;
  Member me_, published_;
  int64_t memberLease_ = 0;
  pid_t keeper_ = -1;
  int keeperFd_ = -1;
  uint32_t lastKeepAlive_ = 0, leaseEnd_ = 0, lastChange_ = 0, lastBytesAt_ = 0, lastCleanUp_ = 0;
  uint64_t lastBytes_ = 0, writes_ = 0, keepAlives_ = 0;
  bool reachable_ = false;
  bool waiting_ = false, saidWaiting_ = false;
  std::map<std::string, uint32_t> missingSince_;
};

}  // namespace

int RunAgent(const AgentOptions& options, const std::atomic<bool>& stop) {
  Agent agent(options, stop);
  return agent.Run();
}

}  // namespace hxfleet
