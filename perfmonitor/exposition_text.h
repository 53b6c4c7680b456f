// Building text in the metrics exposition format that Prometheus scrapes and
// node_exporter's textfile collector reads: families of "# HELP" and
// "# TYPE" lines followed by their samples, label values escaped.
#pragma once

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/hx_export.h"

namespace hxmetrics {

// One label: name (a valid label name) and value (any bytes).
typedef std::pair<std::string, std::string> Label;
typedef std::vector<Label> Labels;

// A label value as the format requires it: backslash, double quote and
// newline escaped as \\, \" and \n; bytes that are not valid UTF-8 replaced
// by U+FFFD, so that one hostile name cannot make a reader reject the text.
HX_EXPORT std::string EscapeLabelValue(const std::string& value);

// Bytes that are not valid UTF-8 replaced by U+FFFD; valid text unchanged.
HX_EXPORT std::string ValidUtf8(const std::string& text);

// True when text is a plain decimal number ("-12", "3.50", "1e6"): the only
// value texts passed through as they are. Anything else (empty, "N/A",
// "0x10", "inf", blanks) is not a number here.
HX_EXPORT bool IsDecimalNumber(const std::string& text);

// Lower snake case of a name made of words, acronyms, digits and separators:
// "LogicalDisk1" -> "logical_disk1", "CPU-Usage" -> "cpu_usage". Only
// [a-z0-9_] remain; never empty ("x" when nothing is left).
HX_EXPORT std::string SnakeCase(const std::string& name);

// Collects families in order. A family is written only when it received at
// least one sample; a family name used before, and a sample whose labels
// repeat an earlier sample of its family, are dropped (a reader rejects both).
class HX_EXPORT ExpositionWriter {
 public:
  // Starts family name (a valid metric name) of type "gauge" or "counter";
  // help is free text (backslash and newline are escaped).
  void BeginFamily(const std::string& name, const std::string& help, const char* type);
  // Adds a sample of the current family; value must be a number text.
  void AddSample(const Labels& labels, const std::string& value);
  // The same with labels already rendered by LabelText. REQUIRES: no other
  // sample of the family has the same labels (not checked: for callers that
  // render many families over the same unique rows).
  void AddUniqueSample(const std::string& labelText, const std::string& value);

  // "{name="value",...}" with the values escaped; "" for no labels.
  static std::string LabelText(const Labels& labels);
  // The whole text (ends with a newline when not empty).
  std::string Finish();

 private:
  void FlushFamily();

  std::string out_;
  std::string header_;   // HELP and TYPE lines of the current family
  std::string samples_;  // its sample lines
  std::string name_;
  bool skipping_ = false;
  std::set<std::string> families_;
  std::set<std::string> series_;  // label texts of the current family
};

}  // namespace hxmetrics
