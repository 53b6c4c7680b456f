// A private platform instance for one benchmark (see PrivateInstance), with
// the debug log at the level given.
#pragma once

#include <string>

#include "tools/private_instance.h"

namespace hxbench {

class BenchInstance : public hxctl::PrivateInstance {
 public:
  explicit BenchInstance(int debugLevel = 1) {
    Options options;
    options.tempPrefix = "/tmp/hxbench";
    options.namePrefix = "Bench";
    std::string error;
    ok_ = Create(options, &error) && SetConfig("Platform", "PhysicalMachine", "benchhost") &&
          SetConfig("Platform", "DebugLevel", std::to_string(debugLevel));
  }

  bool ok() const { return ok_; }
  const char* focus() const { return PrivateInstance::focus().c_str(); }
  const std::string& root() const { return stateDir(); }

 private:
  bool ok_ = false;
};

}  // namespace hxbench
