#include "perfmonitor/exposition_text.h"

#include <cctype>

namespace hxmetrics {
namespace {

const char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the valid UTF-8 sequence starting at s[i], or 0 when invalid.
size_t Utf8SequenceLength(const std::string& s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return 1;
  size_t len;
  unsigned int cp;
  if (c >= 0xC2 && c <= 0xDF) {
    len = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    len = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    len = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const unsigned char cc = static_cast<unsigned char>(s[i + k]);
    if ((cc & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (cc & 0x3F);
  }
  // Overlong forms, surrogates and code points past U+10FFFF are invalid.
  if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return len;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string EscapeHelp(const std::string& help) {
  std::string out;
  for (char c : ValidUtf8(help)) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string ValidUtf8(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const size_t len = Utf8SequenceLength(text, i);
    if (len == 0) {
      out += kReplacement;
      ++i;
    } else {
      out.append(text, i, len);
      i += len;
    }
  }
  return out;
}

std::string EscapeLabelValue(const std::string& value) {
  std::string out;
  out.reserve(value.size() + 2);
  for (char c : ValidUtf8(value)) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

bool IsDecimalNumber(const std::string& text) {
  size_t i = 0;
  const size_t n = text.size();
  if (i < n && text[i] == '-') ++i;
  const size_t intStart = i;
  while (i < n && IsDigit(text[i])) ++i;
  bool digits = i > intStart;
  if (i < n && text[i] == '.') {
    ++i;
    const size_t fracStart = i;
    while (i < n && IsDigit(text[i])) ++i;
    digits = digits || i > fracStart;
  }
  if (!digits) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    const size_t expStart = i;
    while (i < n && IsDigit(text[i])) ++i;
    if (i == expStart) return false;
  }
  return i == n;
}

std::string SnakeCase(const std::string& name) {
  std::string out;
  const size_t n = name.size();
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    if (!std::isalnum(c) || c >= 0x80) {
      if (!out.empty() && out.back() != '_') out += '_';
      continue;
    }
    if (std::isupper(c) && i > 0 && !out.empty() && out.back() != '_') {
      const unsigned char prev = static_cast<unsigned char>(name[i - 1]);
      const bool nextLower =
          i + 1 < n && std::islower(static_cast<unsigned char>(name[i + 1])) != 0;
      // A new word starts after a lower-case letter or a digit, and at the
      // last capital of an acronym followed by a lower-case word ("HTTPServer").
      if (std::islower(prev) || std::isdigit(prev) || (std::isupper(prev) && nextLower)) out += '_';
    }
    out += static_cast<char>(std::tolower(c));
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  if (out.empty()) return "x";
  return out;
}

void ExpositionWriter::BeginFamily(const std::string& name, const std::string& help,
                                   const char* type) {
  FlushFamily();
  name_ = name;
  skipping_ = !families_.insert(name).second;
  header_ = "# HELP " + name + " " + EscapeHelp(help) + "\n# TYPE " + name + " " + type + "\n";
}

std::string ExpositionWriter::LabelText(const Labels& labels) {
  std::string text;
  if (labels.empty()) return text;
  text += '{';
  for (size_t i = 0; i < labels.size(); ++i) {
    if (i > 0) text += ',';
    text += labels[i].first;
    text += "=\"";
    text += EscapeLabelValue(labels[i].second);
    text += '"';
  }
  text += '}';
  return text;
}

void ExpositionWriter::AddSample(const Labels& labels, const std::string& value) {
  if (skipping_ || name_.empty()) return;
  const std::string text = LabelText(labels);
  if (!series_.insert(text).second) return;
  AddUniqueSample(text, value);
}

void ExpositionWriter::AddUniqueSample(const std::string& labelText, const std::string& value) {
  if (skipping_ || name_.empty()) return;
  samples_ += name_;
  samples_ += labelText;
  samples_ += ' ';
  samples_ += value;
  samples_ += '\n';
}

void ExpositionWriter::FlushFamily() {
  if (!skipping_ && !samples_.empty()) {
    out_ += header_;
    out_ += samples_;
  }
  header_.clear();
  samples_.clear();
  series_.clear();
  name_.clear();
  skipping_ = false;
}

std::string ExpositionWriter::Finish() {
  FlushFamily();
  std::string out;
  out.swap(out_);
  return out;
}

}  // namespace hxmetrics
