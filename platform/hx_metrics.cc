#include "platform/hx_metrics.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/config_store.h"
#include "platform/hx_platform_info.h"

void HxMetricsCollector::DumpStaticData(const char* category, const char* name, const char* text) {
  int savedErrno = errno;
  std::string dir = hxp::LogFilesDirectoryFor(HXPI_Focus::getFocus());
  if (hxp::MakeDirectories(dir, nullptr)) {
    std::string line = std::string(category ? category : "") + "|" + (name ? name : "") + "|" +
                       (text ? text : "") + "\n";
    int fd = open((dir + "/metrics.log").c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ssize_t ignored = write(fd, line.data(), line.size());  // one write: lines never interleave
      (void)ignored;
      close(fd);
    }
  }
  errno = savedErrno;
}

std::string HxJobPerfManager::GetPerfCounterName(unsigned int jobType) {
  switch (jobType) {
    case 1: return "Backup";
    case 2: return "Restore";
    case 3: return "Replication";
    case 4: return "Archive";
    case 5: return "Migration";
    case 6: return "Copy";
    default: return "JobType" + std::to_string(jobType);
  }
}
