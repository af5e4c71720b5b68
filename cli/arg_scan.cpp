#include "arg_scan.hpp"

#include <cstdlib>

namespace vorn {

std::string ScannedArgs::value(const std::string& option, const std::string& fallback) const {
  auto it = values.find(option);
  return it == values.end() ? fallback : it->second;
}

ScannedArgs scanArgs(int count, char** args, const std::set<std::string>& flagNames,
                     const std::set<std::string>& valueNames) {
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
