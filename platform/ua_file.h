// Files, directories and paths with POSIX semantics.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/hx_export.h"

// Result of a file operation: Success() or an errno with a printable text.
class HXP_EXPORT CUaError {
 public:
  CUaError() = default;
  static CUaError FromErrno(int err);
  bool Success() const { return errno_ == 0; }
  bool IsError() const { return errno_ != 0; }
  int Errno() const { return errno_; }
  std::string AsString() const;  // "" on success, strerror text otherwise

 private:
  int errno_ = 0;
};

class HXP_EXPORT CUaFile {
 public:
  CUaFile() = default;
  ~CUaFile();  // closes
  CUaFile(const CUaFile&) = delete;
  CUaFile& operator=(const CUaFile&) = delete;

  // open(2) flags; O_CLOEXEC added. An open that writes or creates also gets
  // O_NOFOLLOW and accepts only a regular file with one link.
  CUaError Open(const char* path, int flags, int mode);
  CUaError Size(uint64_t& size);
  CUaError FileStat(struct stat& st);  // fstat of the open file
  CUaError Write(const void* buffer, size_t length, size_t* written);  // writes it all
  CUaError Close();
  bool IsOpen() const { return fd_ >= 0; }
  static CUaError Stat(const char* path, struct stat& st);

 private:
  int fd_ = -1;
};

struct SUaDirEntry {
  std::string name;
};

class HXP_EXPORT CUaDirectory {
 public:
  CUaDirectory() = default;
  ~CUaDirectory();
  CUaDirectory(const CUaDirectory&) = delete;
  CUaDirectory& operator=(const CUaDirectory&) = delete;

  // Creates path and, with parents true, its missing parents, as
  // hxp::MakeSecureDirectory (shared access): 0755, or 0770 with a configured
  // group; refused under a directory other users control.
  static CUaError Create(const char* path, bool parents);
  // Lists directory; pattern is a glob on entry names ("*" = all, hidden
  // names included). "." and ".." are skipped. files true:
  // entries of every kind; false: subdirectories only.
  CUaError Open(const char* directory, const char* pattern, bool files);
  // Next entry into *entry, or end = true when there is none.
  CUaError GetEntry(SUaDirEntry* entry, bool& end);
  void Close();

 private:
  void* dir_ = nullptr;
  std::string pattern_;
  std::string directory_;
  bool files_ = true;
};

class HXP_EXPORT CUaPath {
 public:
  static bool Exists(const char* path);
};

class HXP_EXPORT CUaUTFOSAPI {
 public:
  static CUaError rename(const char* from, const char* to);  // replaces an existing target
  static CUaError remove(const char* path);
};
