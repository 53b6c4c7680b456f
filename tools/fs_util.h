// Small file-system helpers for hxctl. All return false (with *error when
// given) instead of throwing.
#pragma once

#include <string>
#include <vector>

namespace hxctl {

// Creates path and its missing parents (mode 0777 before umask).
bool MakeDirs(const std::string& path, std::string* error);
// Removes path and everything under it; symbolic links are removed, never
// followed. True when nothing is left.
bool RemoveTree(const std::string& path);
// Names in dir (without "." and ".."), sorted; empty when dir cannot be read.
std::vector<std::string> ListDir(const std::string& dir);
bool IsDir(const std::string& path);
bool IsFile(const std::string& path);
bool ReadWholeFile(const std::string& path, std::string* content);
// Writes content to path, replacing it.
bool WriteWholeFile(const std::string& path, const std::string& content, std::string* error);
bool CopyFile(const std::string& from, const std::string& to, std::string* error);
// Sets name to *value in a "name value" properties file (removes its line
// when value is null), keeping other lines. The file is replaced atomically,
// so concurrent readers see old or new.
bool SetProperty(const std::string& path, const std::string& name, const std::string* value,
                 std::string* error);

}  // namespace hxctl
