#include "tools/fs_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "platform/ua_file.h"

namespace hxctl {

bool MakeDirs(const std::string& path, std::string* error) {
  if (path.empty()) {
    if (error) *error = "empty directory name";
    return false;
  }
  const CUaError made = CUaDirectory::Create(path.c_str(), true);
  if (made.IsError()) {
    if (error) *error = "cannot create " + path + ": " + made.AsString();
    return false;
  }
  if (!IsDir(path)) {
    if (error) *error = path + " is not a directory";
    return false;
  }
  return true;
}

bool RemoveTree(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) {
    for (const std::string& name : ListDir(path)) RemoveTree(path + "/" + name);
    return rmdir(path.c_str()) == 0;
  }
  return unlink(path.c_str()) == 0;
}

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (!d) return names;
  while (dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(d);
  std::sort(names.begin(), names.end());
  return names;
}

bool IsDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ReadWholeFile(const std::string& path, std::string* content) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  content->clear();
  char buf[65536];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      close(fd);
      return n == 0;
    }
    content->append(buf, static_cast<size_t>(n));
  }
}

bool WriteWholeFile(const std::string& path, const std::string& content, std::string* error) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (error) *error = "cannot write " + path + ": " + strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (error) *error = "cannot write " + path + ": " + strerror(errno);
      close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0) {
    if (error) *error = "cannot write " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool CopyFile(const std::string& from, const std::string& to, std::string* error) {
  std::string content;
  if (!ReadWholeFile(from, &content)) {
    if (error) *error = "cannot read " + from + ": " + strerror(errno);
    return false;
  }
  return WriteWholeFile(to, content, error);
}

bool SetProperty(const std::string& path, const std::string& name, const std::string* value,
                 std::string* error) {
  std::string content, kept;
  ReadWholeFile(path, &content);
  std::istringstream in(content);
  std::string line;
  while (std::getline(in, line)) {
    if (line.substr(0, line.find_first_of(" \t")) != name) kept += line + "\n";
  }
  if (value != nullptr) kept += name + " " + *value + "\n";
  // Readers in other processes must never see a half-written file: write a
  // sibling and rename it over the original.
  std::string tmp = path + ".tmp." + std::to_string(getpid());
  if (!WriteWholeFile(tmp, kept, error)) return false;
  if (rename(tmp.c_str(), path.c_str()) != 0) {
    if (error) *error = "cannot replace " + path + ": " + strerror(errno);
    unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace hxctl
