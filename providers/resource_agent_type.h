// The kinds of monitored object (agent types) and of policy property. Both
// are plain enumerations stored and passed as 32-bit integers; the numeric
// values appear in logs and policy records, so they never change.
#pragma once

#include <cstdint>

enum ResourceAgentType : int32_t {
  RSRC_AGENT_NONE = 0,  // no provider
  RSRC_AGENT_HBA_FC = 1,
  RSRC_AGENT_LOGICAL_DISK = 2,
  RSRC_AGENT_PROCESS = 3,
  RSRC_AGENT_JOBS_STREAM_READER = 4,
  // 5 is unused: no provider serves it.
  RSRC_AGENT_JOBS_STREAM_WRITER = 6,
  RSRC_AGENT_SYSTEM = 7,
  RSRC_AGENT_TCPIP = 8,
  RSRC_AGENT_JOBS_STATS = 9,
  RSRC_AGENT_LOGICAL_DISK1 = 10,
};

// A property a policy engine pushes to the providers of one agent type
// (through SetAgentProp); each carries a list of strings.
enum ResourceAgentPropType : int32_t {
  RSRC_PROP_PROCESS_NAMES = 1,  // names of processes to monitor
  RSRC_PROP_PROCESS_PATHS = 2,  // executable path prefixes of processes to monitor
};

static_assert(sizeof(ResourceAgentType) == 4, "agent types are 32-bit");
static_assert(sizeof(ResourceAgentPropType) == 4, "property types are 32-bit");
