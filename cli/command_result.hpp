#pragma once
// What a command says on standard output: its text lines, written as they
// come, or (--json, VORN_JSON) one JSON document with the same figures and
// names, written whole once the command has its result. A command that ends
// with an error line writes no document, so standard output never holds half
// of one. Handlers fill the document in both modes; a new figure is one more
// member.

#include "arg_scan.hpp"

#include <json/value.h>

#include <string>

namespace vorn {

// --json was given (args may be null: the verbs that scan no options), or
// VORN_JSON is switched on.
bool jsonRequested(const ScannedArgs* args);

// A percentage as the text shows it ("%.1f"), as a JSON number.
Json::Value percentValue(double percent);

class CommandResult {
 public:
  explicit CommandResult(bool json) : json_(json) {}
  bool json() const { return json_; }

  // Text mode: printf to standard output now. JSON mode: nothing.
  void text(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Text mode: flushes standard output, before a line goes to standard error.
  void flush();

  // A member of the document (lower_snake_case names).
  Json::Value& operator[](const char* name) { return doc_[name]; }
  // Appends item to the array member name.
  void append(const char* name, Json::Value item) { doc_[name].append(std::move(item)); }

  // The command has its result: in JSON mode the document goes to standard
  // output. Returns status.
  int finish(int status);

 private:
  bool json_;
  Json::Value doc_{Json::objectValue};
};

}  // namespace vorn
