// CError: the error record platform objects (the named mutex) fill. In a
// header of its own so that a class holding one by value needs no more.
#pragma once

#include <string>

#include "platform/hx_export.h"

// Code 0 = no error.
class HXP_EXPORT CError {
 public:
  long GetCode() const { return code_; }
  const char* GetText() const { return text_.c_str(); }
  void Set(long code, const std::string& text) {
    code_ = code;
    text_ = text;
  }
  void Clear() { Set(0, ""); }

 private:
  long code_ = 0;
  std::string text_;
};
