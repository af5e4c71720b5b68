#pragma once
// The error-text convention: a failing operation writes one line into the
// caller's optional error string; a null pointer means no text is wanted.

#include <string>

namespace vorn {

// A line break that came in with outside text (a channel name or a path read
// from a manifest) is written as "\n" or "\r", so the text stays one line.
inline void setError(std::string* err, const std::string& text) {
  if (!err) return;
  if (text.find_first_of("\r\n") == std::string::npos) {
    *err = text;
    return;
  }
  err->clear();
  for (char c : text) {
    if (c == '\n') {
      *err += "\\n";
    } else if (c == '\r') {
      *err += "\\r";
    } else {
      *err += c;
    }
  }
}

}  // namespace vorn
