#pragma once
// The error-text convention: a failing operation writes one line into the
// caller's optional error string; a null pointer means no text is wanted.

#include <string>

namespace vorn {

inline void setError(std::string* err, const std::string& text) {
  if (err) *err = text;
}

}  // namespace vorn
