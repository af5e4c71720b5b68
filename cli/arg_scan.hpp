#pragma once
// The option convention every handler shares: whole-word options, a value
// option takes the next argument only when there is one (otherwise it is a
// positional argument), repeated values keep the last, everything else is
// positional.

#include <map>
#include <set>
#include <string>
#include <vector>

namespace vorn {

struct ScannedArgs {
  std::set<std::string> flags;                // flags that were given
  std::map<std::string, std::string> values;  // value options that were given
  std::vector<std::string> positional;

  bool has(const std::string& flag) const { return flags.count(flag) != 0; }
  // The option's value, or fallback when it was not given.
  std::string value(const std::string& option, const std::string& fallback = "") const;
};

// Scans args[1..count) of a handler view. The verb uses the first
// positionalUsed positional arguments; each later one that begins with "--" (a
// mistyped option, or a value option with nothing after it) is ignored, and
// standard error says so in one warning line.
ScannedArgs scanArgs(int count, char** args, const std::set<std::string>& flagNames,
                     const std::set<std::string>& valueNames, size_t positionalUsed);

// Environment variable, or the empty text when unset.
std::string envText(const char* name);

// A switch's default from the environment: on when the variable is set to
// anything but the empty text or "0".
bool envSwitch(const char* name);

}  // namespace vorn
