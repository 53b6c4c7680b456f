#include "tools/commands.h"

namespace hxctl {
namespace {

const char kTableHelp[] =
    "usage: hxctl table [--focus NAME] [--kind out|in|cloud-out|cloud-in]\n"
    "                   [--dump | --watch [--plain] | --json] [--registry DIR]\n"
    "\n"
    "Shows one throttle table of an instance: the machine limit, every job (id,\n"
    "own limit, rate allotted to each of its streams, streams, bytes moved) and\n"
    "every stream (handle, RCID, flags, seconds since its last rate query,\n"
    "bytes, computer name, process).\n"
    "\n"
    "  --focus NAME    instance (default: $HXFOCUS, else Instance001)\n"
    "  --kind KIND     out (default), in, cloud-out or cloud-in\n"
    "  --dump          also write the table's diagnostic dump to the instance's\n"
    "                  debug log, and print it\n"
    "  --watch         redraw every second until interrupted (Ctrl-C)\n"
    "  --plain         with --watch: plain lines even on a terminal\n"
    "  --json          print the table as one JSON object instead (for scripts):\n"
    "                  instance, table, taken_at, machine_limit_mbph, job_count,\n"
    "                  stream_count, unresponsive_streams, processed_bytes_total\n"
    "                  and jobs (job, limit_mbph, per_stream_mbph, stream_count,\n"
    "                  processed_bytes, start_time, streams)\n"
    "  --registry DIR  configuration store root (default: $HXREG)\n"
    "\n"
    "Stream flags: U = unresponsive (no rate query for over 600 s), L = not\n"
    "throttled (LAN-free); the hexadecimal value shows every bit.\n"
    "The table is never created: when it does not exist the command reports\n"
    "\"table absent\" and exits with status 3. While it runs, the command is\n"
    "counted as a user of the table; the jobs are read without side effects\n"
    "(no clean-up pass, no statistics reset, no visit time recorded).\n";

const char kLimitHelp[] =
    "usage: hxctl limit (--machine MBPH | --job ID MBPH) [--kind KIND]\n"
    "                   [--focus NAME] [--registry DIR]\n"
    "       hxctl limit --schedule-check TEXT\n"
    "\n"
    "Sets a limit on a live throttle table, in MB per hour; the rates of all\n"
    "streams are recomputed at once.\n"
    "\n"
    "  --machine MBPH  the machine's throughput for the table; 0 = no limit\n"
    "  --job ID MBPH   the own limit of job ID; 0 = none. A job that is not in\n"
    "                  the table gets a slot that holds the limit for it.\n"
    "  --kind KIND     out (default), in, cloud-out or cloud-in\n"
    "  --focus NAME    instance (default: $HXFOCUS, else Instance001)\n"
    "  --registry DIR  configuration store root (default: $HXREG)\n"
    "\n"
    "  --schedule-check TEXT  check a ThroughputSchedule timetable without\n"
    "                  applying it: prints its next seven changes (local time),\n"
    "                  or the error and its position (exit status 2)\n"
    "\n"
    "On the outbound and inbound tables the machine limit comes from the\n"
    "configuration (section \"Hxd\": ThroughputSchedule when set, else\n"
    "ComputerThroughputMBPH). A machine limit set here lasts until the next\n"
    "scheduled change or clean-up pass, or until that configuration changes.\n";

const char kMonitorHelp[] =
    "usage: hxctl monitor --once [--focus NAME] [--registry DIR]\n"
    "\n"
    "Runs every perf provider of the instance once, appends their rows to the\n"
    "CSV perf logs (folder ResourceMonitor of the instance's log directory)\n"
    "and prints the rows. The providers are those the daemon runs: the jobs\n"
    "provider when \"Hxd\" CollectStreamStats is set, then system, network,\n"
    "disk and process; none when \"Hxd\" HX_PERF_LOG_DISABLE is set.\n"
    "\n"
    "  --once          required: the continuous monitor runs inside the daemon\n"
    "  --focus NAME    instance (default: $HXFOCUS, else Instance001)\n"
    "  --registry DIR  configuration store root (default: $HXREG)\n";

const char kMetricsHelp[] =
    "usage: hxctl metrics [--focus NAME] [--registry DIR]\n"
    "\n"
    "Prints the current state of every existing throttle table of an instance in\n"
    "the Prometheus text format, for node_exporter's textfile collector or any\n"
    "scraper. Per table (labels instance, table): machine limit, jobs, streams,\n"
    "unresponsive streams and bytes processed (a counter); per job (labels\n"
    "instance, table, job): own limit, per-stream rate, streams and bytes\n"
    "processed (a counter). The tables are only read: nothing in them changes.\n"
    "\n"
    "  --focus NAME    instance (default: $HXFOCUS, else Instance001)\n"
    "  --registry DIR  configuration store root (default: $HXREG)\n"
    "\n"
    "When the instance has no table the command says so (\"table absent\") and\n"
    "exits with status 3; when a table exists but cannot be read, with status 1\n"
    "(the other tables are still printed).\n";

const char kDemoHelp[] =
    "usage: hxctl demo [--seconds N] [--jobs N] [--streams N] [--machine-mbph N]\n"
    "                  [--state-dir DIR] [--registry DIR] [--plain]\n"
    "\n"
    "Runs a self-contained scenario on a private instance (no root, no\n"
    "configuration): the daemon side re-initialises the outbound and inbound\n"
    "throttle tables and starts the resource monitor with a one-second tick;\n"
    "job processes register streams with and without job limits, move\n"
    "simulated data at the rate they are allotted and report statistics.\n"
    "Halfway the machine limit is halved; then one job's controlling process\n"
    "is killed with SIGKILL and its streams are cleaned up by the next\n"
    "registration. A live table shows every job; at the end a summary says\n"
    "where the perf-log CSV files are. Nothing is left behind: no segment,\n"
    "process or lock file.\n"
    "\n"
    "  --seconds N       length of the scenario (default 30; 5..3600)\n"
    "  --jobs N          jobs started at the beginning (default 4; 2..16);\n"
    "                    one more joins later\n"
    "  --streams N       streams per job (default 3; 1..64)\n"
    "  --machine-mbph N  machine throughput at the start, MB per hour\n"
    "                    (default 36000, 10 MiB/s; 100..100000000)\n"
    "  --state-dir DIR   keep the instance's files (logs, perf logs, registry)\n"
    "                    in DIR instead of a temporary directory\n"
    "  --registry DIR    configuration store root for the demo instance\n"
    "                    (default: inside the state directory)\n"
    "  --plain           plain lines even on a terminal\n"
    "\n"
    "Without --state-dir the perf logs are copied to a new folder\n"
    "/tmp/hxctl-demo-logs.XXXXXX, whose path is printed, and the temporary\n"
    "state directory is removed.\n";

const char kRunHelp[] =
    "usage: hxctl run --job ID [--limit MBPH] [--direction out|in|both] [--kind lan|cloud]\n"
    "                 [--focus NAME] [--registry DIR] -- COMMAND [ARGS...]\n"
    "\n"
    "Runs an unmodified, dynamically linked program as job ID on the throttle\n"
    "tables of an instance. Every TCP connection the program (and any process it\n"
    "starts) sends on becomes a stream of the job: it is registered on its first\n"
    "write, paced to the rate the table allots it, and unregistered when closed\n"
    "or when the process ends. i386 and x86-64 programs are both served.\n"
    "\n"
    "  --job ID         the job the program's streams belong to\n"
    "  --limit MBPH     the job's own limit when its first stream creates it\n"
    "                   (default 0 = none; change it later with hxctl limit)\n"
    "  --direction DIR  out (default): pace sending; in: pace receiving on the\n"
    "                   inbound table; both\n"
    "  --kind KIND      lan (default): the outbound/inbound tables; cloud: the\n"
    "                   cloud outbound/inbound tables\n"
    "  --focus NAME     instance (default: $HXFOCUS, else Instance001)\n"
    "  --registry DIR   configuration store root (default: $HXREG)\n"
    "\n"
    "Signals sent to hxctl are passed on to the program; the exit status is the\n"
    "program's (128+N when signal N ended it). Statically linked, setuid, setgid\n"
    "and file-capability programs are refused (status 126): the loader would not\n"
    "preload into them. Status 127: no such program. Data moved by raw system\n"
    "calls or on descriptors above 16383 is not seen by the throttle.\n";

}  // namespace

const std::vector<Command>& AllCommands() {
  static const std::vector<Command> kCommands = {
      {"demo", "run the self-contained demo scenario (about 30 seconds)", kDemoHelp,
       {{"seconds", 1, "N"},
        {"jobs", 1, "N"},
        {"streams", 1, "N"},
        {"machine-mbph", 1, "N"},
        {"state-dir", 1, "DIR"},
        {"plain", 0, ""}},
       RunDemo},
      {"table", "show the throttle table of an instance", kTableHelp,
       {{"focus", 1, "NAME"}, {"kind", 1, "KIND"}, {"dump", 0, ""}, {"watch", 0, ""},
        {"plain", 0, ""}, {"json", 0, ""}},
       RunTable},
      {"limit", "set the machine's or a job's limit on a live table", kLimitHelp,
       {{"machine", 1, "MBPH"},
        {"job", 2, "ID MBPH"},
        {"schedule-check", 1, "TEXT"},
        {"kind", 1, "KIND"},
        {"focus", 1, "NAME"}},
       RunLimit},
      {"monitor", "run every perf provider once and print the rows", kMonitorHelp,
       {{"once", 0, ""}, {"focus", 1, "NAME"}},
       RunMonitor},
      {"metrics", "print every throttle table of an instance as metrics text", kMetricsHelp,
       {{"focus", 1, "NAME"}},
       RunMetrics},
      {"run", "run an unmodified program as a throttled job", kRunHelp,
       {{"job", 1, "ID"},
        {"limit", 1, "MBPH"},
        {"direction", 1, "out|in|both"},
        {"kind", 1, "lan|cloud"},
        {"focus", 1, "NAME"}},
       RunRun,
       true},
  };
  return kCommands;
}

}  // namespace hxctl
