#include "arg_scan.hpp"

#include <cstdio>
#include <cstdlib>

namespace vorn {

std::string ScannedArgs::value(const std::string& option, const std::string& fallback) const {
  auto it = values.find(option);
  return it == values.end() ? fallback : it->second;
}

ScannedArgs scanArgs(int count, char** args, const std::set<std::string>& flagNames,
                     const std::set<std::string>& valueNames, size_t positionalUsed) {
  ScannedArgs out;
  for (int i = 1; i < count; ++i) {
    std::string arg = args[i];
    if (flagNames.count(arg)) {
      out.flags.insert(arg);
    } else if (valueNames.count(arg) && i + 1 < count) {
      out.values[arg] = args[++i];
    } else {
      out.positional.push_back(arg);
    }
  }
  // Such arguments stay positional and change nothing, but a user who typed
  // one meant something by it.
  for (size_t i = positionalUsed; i < out.positional.size(); ++i) {
    const std::string& arg = out.positional[i];
    if (arg.compare(0, 2, "--") != 0) continue;
    if (valueNames.count(arg)) {
      std::fprintf(stderr, "warning: ignoring option '%s' without its value\n", arg.c_str());
    } else {
      std::fprintf(stderr, "warning: ignoring unknown option '%s'\n", arg.c_str());
    }
  }
  return out;
}

std::string envText(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::string(value) : std::string();
}

bool envSwitch(const char* name) {
  const std::string value = envText(name);
  return !value.empty() && value != "0";
}

}  // namespace vorn
