// The agent of one machine in a site: keeps its member record in etcd under a
// lease, publishes its demand, follows every member of the site, computes its
// share and applies it to the instance's outbound and inbound tables through
// the "HxFleet" "Share" record.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "fleet/etcd_client.h"
#include "throttling/fleet_share.h"

namespace hxfleet {

struct AgentOptions {
  std::vector<std::string> endpoints;
  std::string site, focus, textfileDir;
  double weight = 1;
  uint32_t leaseSeconds = 6;   // the member lease's TTL
  uint32_t safeSeconds = 12;   // how long a machine cut off stays at its safe share
  uint32_t graceSeconds = 60;  // how long a machine's floor stays reserved after its jobs ended
};

// The site's keys in etcd.
std::string SitePrefix(const std::string& site);  // "/hxfleet/<site>/"
std::string BudgetKey(const std::string& site);
std::string MemberKey(const std::string& site, const std::string& machine);
std::string ReserveKey(const std::string& site, const std::string& machine);

// The site budget as stored: MBPH, or a timetable in the schedule syntax.
struct Budget {
  uint64_t mbph = 0;
  std::string schedule;
  // The budget at now (the outbound column of the timetable; "off" reads as 0).
  uint64_t At(uint32_t now) const;
};
// The largest budget accepted: what a table's 32-bit limit can hold.
constexpr uint64_t kMaxBudgetMbph = 4294967295ull;
bool ParseBudget(const std::string& json, Budget* out, std::string* error);
std::string FormatBudget(const Budget& b);

// What a member publishes about itself.
struct Member {
  double weight = 1;
  uint32_t streams = 0;
  uint64_t demand = 0, target = 0, applied = 0, floor = 1, safe = 1;
  uint32_t time = 0;
  // The writer's safe period (--safe-seconds): how long the others hold its
  // safe share once it is gone; 0 in records of older agents.
  uint32_t safeSeconds = 0;
  // The agent run that wrote the record (random), so that a keeper gives
  // back only the reserve its own agent wrote.
  uint64_t agent = 0;
};
bool ParseMember(const std::string& json, Member* out, std::string* error);
std::string FormatMember(const Member& m);

// A machine's floor: a fiftieth of the budget, at least 1 MBPH.
uint64_t FloorOf(uint64_t budget);

// Runs until stop turns true; a clean stop gives the share back. 0, or 1 when
// it could not start (the reason on stderr). Forks the agent's keeper first: a
// process that outlives the agent and, once the agent is gone, gives the
// machine's reserved floor back when its jobs have been over for the grace
// period.
int RunAgent(const AgentOptions& options, const std::atomic<bool>& stop);

}  // namespace hxfleet
