#include "fleet/share.h"

#include <algorithm>
#include <cmath>

namespace hxfleet {

std::vector<uint64_t> MaxMinShares(uint64_t budget, uint64_t reserved,
                                   const std::vector<Claim>& claims) {
  const size_t n = claims.size();
  std::vector<uint64_t> share(n);
  uint64_t floors = 0;
  for (size_t i = 0; i < n; ++i) {
    share[i] = claims[i].floor;
    floors += claims[i].floor;
  }
  const uint64_t avail = budget > reserved ? budget - reserved : 0;
  if (floors >= avail) return share;
  // Water-filling of what is above the floors: at each round the machines
  // still open get the same amount per unit of weight; one whose room (demand
  // above its floor) is smaller takes just its room and leaves the round.
  double left = static_cast<double>(avail - floors);
  std::vector<double> extra(n, 0);
  std::vector<bool> open(n);
  for (size_t i = 0; i < n; ++i) open[i] = claims[i].demand > claims[i].floor;
  for (bool changed = true; changed && left > 0;) {
    changed = false;
    double weights = 0;
    for (size_t i = 0; i < n; ++i) {
      if (open[i]) weights += claims[i].weight;
    }
    if (weights <= 0) break;
    const double level = left / weights;
    for (size_t i = 0; i < n; ++i) {
      if (!open[i]) continue;
      const double room = static_cast<double>(claims[i].demand - claims[i].floor);
      if (room <= level * claims[i].weight) {
        extra[i] = room;
        left -= room;
        open[i] = false;
        changed = true;
      }
    }
    if (!changed) {
      for (size_t i = 0; i < n; ++i) {
        if (open[i]) extra[i] = level * claims[i].weight;
      }
    }
  }
  // Rounded down so that the shares never add up to more than the budget.
  for (size_t i = 0; i < n; ++i) share[i] += static_cast<uint64_t>(std::floor(extra[i]));
  return share;
}

}  // namespace hxfleet
