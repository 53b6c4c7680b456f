// How a site's budget is divided: weighted max-min fairness above floors.
// Every machine first has its floor; what is left is divided in proportion to
// weight, except that no machine gets more than its demand (or its floor, when
// that is higher), and what a machine leaves goes to the others by weight.
// Budget held for machines that take part no longer (a dead machine's safe
// share or floor) is set aside first.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace hxfleet {

struct Claim {
  std::string machine;
  double weight = 1;   // > 0
  uint64_t demand = 0; // MB per hour it can use
  uint64_t floor = 1;  // never less
};

// Shares in the order of claims. reserved is taken off the budget first; when
// the floors alone do not fit what is left, each machine gets its floor (a
// floor is never cut; the caller keeps floors small enough to fit).
std::vector<uint64_t> MaxMinShares(uint64_t budget, uint64_t reserved,
                                   const std::vector<Claim>& claims);

}  // namespace hxfleet
