// PrivateInstance: a platform instance of one's own, for the demo, the tests
// and the benchmarks. It has a state directory (a fresh temporary one unless
// given) holding the registry (unless another is given), the job-results and
// log directories, and an instance name no other instance in that registry
// has, made current for this process and its children (HXREG, HXFOCUS and
// the platform focus). Remove() leaves nothing of it behind: every throttle
// table segment keyed by a file of its job-results directory, every named
// mutex lock (file and segment) and, when temporary, its registry entry and
// the state directory; HXREG and HXFOCUS get back their earlier values.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace hxctl {

class PrivateInstance {
 public:
  struct Options {
    std::string tempPrefix = "/tmp/hxinstance";  // temporary state: <tempPrefix>.XXXXXX
    std::string stateDir;                        // given: created when missing, kept
    std::string registry;                        // default: <state>/registry
    std::string namePrefix = "Hx";               // instance name: <prefix><pid>[_<n>]
  };

  PrivateInstance() = default;
  ~PrivateInstance() { Remove(); }
  PrivateInstance(const PrivateInstance&) = delete;
  PrivateInstance& operator=(const PrivateInstance&) = delete;

  // False with *error when any of it fails; nothing is left behind then.
  bool Create(const Options& options, std::string* error);

  // Writes "name value" into <registry>/Halvex/<instance>/<section>/.properties
  // (replacing an earlier line of that name, atomically for readers), or takes
  // the line out; this process's debug log sees the change at once.
  bool SetConfig(const std::string& section, const std::string& name, const std::string& value,
                 std::string* error = nullptr);
  bool RemoveConfig(const std::string& section, const std::string& name);

  // Segments of this instance's tables that still exist. With remove, those
  // no process is attached to are removed (*removed counts them).
  int CountSegments(bool remove, int* removed) const;
  // Lock files of this instance's named mutexes.
  std::vector<std::string> LockFiles() const;

  // Safe to call more than once, and on an instance never created; does
  // nothing in a process other than the one that created the instance.
  void Remove();

  const std::string& stateDir() const { return stateDir_; }
  const std::string& registry() const { return registry_; }
  const std::string& focus() const { return focus_; }
  const std::string& jobResultsDir() const { return jobResultsDir_; }
  const std::string& logDir() const { return logDir_; }
  bool temporary() const { return temporary_; }

 private:
  std::string stateDir_, registry_, focus_, jobResultsDir_, logDir_;
  bool created_ = false;
  int owner_ = 0;  // pid of the creating process
  bool temporary_ = false;
  bool hadRegistryRoot_ = true;  // <registry>/Halvex existed before Create
  std::map<std::string, std::string> savedEnv_;  // HXREG, HXFOCUS as they were ("\1": unset)
};

}  // namespace hxctl
