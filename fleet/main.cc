// hxfleet: machines behind one link share one budget through etcd.
//   hxfleet agent  --etcd URL[,URL...] --site NAME [--focus INSTANCE] [--weight W]
//   hxfleet budget --etcd URL[,URL...] --site NAME [--schedule TIMETABLE] MBPH
//   hxfleet status --etcd URL[,URL...] --site NAME [--json]
// Exit status: 0 done, 1 the operation failed (etcd unreachable, bad record),
// 2 bad command line.
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "fleet/agent.h"
#include "platform/hx_platform_info.h"
#include "tools/args.h"

namespace {

using hxfleet::Json;

std::atomic<bool> g_stop{false};
void OnSignal(int) { g_stop = true; }

const char kUsage[] =
    "usage: hxfleet agent  --etcd URL[,URL...] --site NAME [--focus INSTANCE] [--weight W]\n"
    "                      [--textfile-dir DIR] [--lease-seconds N] [--safe-seconds N]\n"
    "                      [--grace-seconds N]\n"
    "       hxfleet budget --etcd URL[,URL...] --site NAME [--schedule TIMETABLE] MBPH\n"
    "       hxfleet status --etcd URL[,URL...] --site NAME [--json]\n";

int Fail(const std::string& command, int status, const std::string& message) {
  fprintf(stderr, "hxfleet %s: %s\n", command.c_str(), message.c_str());
  return status;
}

bool SiteName(const std::string& site, std::string* error) {
  if (site.empty() || site.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                             "0123456789._-") != std::string::npos) {
    *error = "--site: expected a name of letters, digits, '.', '_' and '-'";
    return false;
  }
  return true;
}

int Main(const std::vector<std::string>& argv) {
  if (argv.empty() || argv[0] == "--help") {
    fputs(kUsage, argv.empty() ? stderr : stdout);
    return argv.empty() ? 2 : 0;
  }
  const std::string command = argv[0];
  hxctl::ParsedArgs args({{"etcd", 1, "URL[,URL...]"}, {"site", 1, "NAME"},
                          {"focus", 1, "INSTANCE"}, {"weight", 1, "W"},
                          {"textfile-dir", 1, "DIR"}, {"lease-seconds", 1, "N"},
                          {"safe-seconds", 1, "N"}, {"grace-seconds", 1, "N"},
                          {"schedule", 1, "TIMETABLE"}, {"json", 0, ""}});
  std::vector<std::string> rest(argv.begin() + 1, argv.end()), words;
  // The budget's MBPH is the one word that is not an option.
  if (command == "budget" && !rest.empty() && rest.back().rfind("--", 0) != 0 &&
      (rest.size() < 2 || rest[rest.size() - 2] != "--schedule")) {
    words.push_back(rest.back());
    rest.pop_back();
  }
  std::string error;
  if (!args.Parse(rest, &error)) return Fail(command, 2, error);
  std::vector<std::string> endpoints;
  if (!args.Has("etcd") || !args.Has("site")) return Fail(command, 2, "--etcd and --site are required");
  if (!hxfleet::ParseEndpoints(args.Value("etcd"), &endpoints, &error) ||
      !SiteName(args.Value("site"), &error)) {
    return Fail(command, 2, error);
  }
  const std::string site = args.Value("site");
  hxfleet::EtcdClient etcd(endpoints);
  if (command == "agent") {
    hxfleet::AgentOptions o;
    o.endpoints = endpoints;
    o.site = site;
    o.focus = args.Value("focus", HXPI_Focus::getFocus());
    o.textfileDir = args.Value("textfile-dir");
    uint64_t n = 0;
    if (args.Has("weight")) {
      if (!hxctl::ParseNumber("--weight", args.Value("weight"), 1, 1000, &n, &error)) {
        return Fail(command, 2, error);
      }
      o.weight = static_cast<double>(n);
    }
    struct {
      const char* name;
      uint32_t* value;
    } spans[] = {{"lease-seconds", &o.leaseSeconds}, {"safe-seconds", &o.safeSeconds},
                 {"grace-seconds", &o.graceSeconds}};
    for (auto& s : spans) {
      if (!args.Has(s.name)) continue;
      if (!hxctl::ParseNumber32(std::string("--") + s.name, args.Value(s.name), 2, 3600, s.value,
                                &error)) {
        return Fail(command, 2, error);
      }
    }
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    return hxfleet::RunAgent(o, g_stop);
  }
  if (command == "budget") {
    if (words.size() != 1) return Fail(command, 2, "expected the budget in MBPH");
    hxfleet::Budget b;
    uint64_t mbph = 0;
    if (!hxctl::ParseNumber("budget", words[0], 1, hxfleet::kMaxBudgetMbph, &mbph, &error)) {
      return Fail(command, 2, error);
    }
    b.mbph = mbph;
    b.schedule = args.Value("schedule");
    const std::string text = hxfleet::FormatBudget(b);
    if (!hxfleet::ParseBudget(text, &b, &error)) return Fail(command, 2, error);
    if (!etcd.Put(hxfleet::BudgetKey(site), text, 0, &error)) {
      return Fail(command, 1, "cannot reach etcd: " + error);
    }
    printf("site %s: budget %s\n", site.c_str(), text.c_str());
    return 0;
  }
  if (command == "status") {
    std::vector<hxfleet::KeyValue> kvs;
    const std::string prefix = hxfleet::SitePrefix(site);
    if (!etcd.Range(prefix, hxfleet::PrefixEnd(prefix), &kvs, nullptr, &error)) {
      return Fail(command, 1, "cannot reach etcd: " + error);
    }
    Json out = {{"site", site}, {"budget_mbph", nullptr}, {"machines", Json::array()},
                {"held", Json::array()}};
    std::map<std::string, hxfleet::Member> held;
    std::set<std::string> members;
    const uint32_t now = static_cast<uint32_t>(time(nullptr));
    std::string table;
    for (const auto& kv : kvs) {
      const std::string rest = kv.key.substr(prefix.size());
      hxfleet::Budget b;
      if (rest == "budget" && hxfleet::ParseBudget(kv.value, &b, &error)) {
        out["budget_mbph"] = b.At(now);
        if (!b.schedule.empty()) out["budget_schedule"] = b.schedule;
        continue;
      }
      hxfleet::Member m;
      if (rest.rfind("reserve/", 0) == 0 && hxfleet::ParseMember(kv.value, &m, &error)) {
        held[rest.substr(8)] = m;
      }
      if (rest.rfind("members/", 0) != 0) continue;
      const std::string machine = rest.substr(8);
      if (!hxfleet::ParseMember(kv.value, &m, &error)) {
        fprintf(stderr, "hxfleet status: the record of %s is not used: %s\n", machine.c_str(),
                error.c_str());
        continue;
      }
      members.insert(machine);
      Json ttl;
      int64_t left = -1;
      if (etcd.Call("/v3/lease/timetolive", {{"ID", std::to_string(kv.lease)}}, &ttl, &error)) {
        left = hxfleet::JsonInt(ttl, "TTL");
      }
      out["machines"].push_back({{"machine", machine}, {"weight", m.weight}, {"streams", m.streams},
                                 {"demand_mbph", m.demand}, {"share_mbph", m.target},
                                 {"applied_mbph", m.applied}, {"floor_mbph", m.floor},
                                 {"lease_seconds_left", left}});
      char line[256];
      snprintf(line, sizeof(line), "%-20s %8g %12llu %12llu %12llu %8lld\n", machine.c_str(),
               m.weight, static_cast<unsigned long long>(m.demand),
               static_cast<unsigned long long>(m.target), static_cast<unsigned long long>(m.applied),
               static_cast<long long>(left));
      table += line;
    }
    // Reserves of machines without a member record: what the others hold for
    // a machine whose agent is gone or cut off, until its jobs are over.
    std::string heldText;
    for (const auto& h : held) {
      if (members.count(h.first)) continue;
      out["held"].push_back({{"machine", h.first}, {"safe_mbph", h.second.safe},
                             {"floor_mbph", h.second.floor}});
      heldText += "held for " + h.first + " (no agent): safe share " + std::to_string(h.second.safe) +
                  ", then floor " + std::to_string(h.second.floor) + " MBPH\n";
    }
    if (args.Has("json")) {
      printf("%s\n", out.dump(2).c_str());
      return 0;
    }
    printf("site %s, budget %s MBPH\n", site.c_str(),
           out["budget_mbph"].is_null() ? "(none)" : out["budget_mbph"].dump().c_str());
    printf("%-20s %8s %12s %12s %12s %8s\n", "MACHINE", "WEIGHT", "DEMAND", "SHARE", "APPLIED",
           "LEASE_S");
    fputs(table.c_str(), stdout);
    fputs(heldText.c_str(), stdout);
    return 0;
  }
  return Fail(command, 2, "unknown command (expected agent, budget or status)");
}

}  // namespace

int main(int argc, char** argv) { return Main(std::vector<std::string>(argv + 1, argv + argc)); }
