#include "cli_common.hpp"

#include <fstream>
#include <iterator>

namespace vorn {

std::string storeKey;

bool readFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  out->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool writeFile(const std::string& path, const std::string& data) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file) return false;
  file.write(data.data(), static_cast<std::streamsize>(data.size()));
  file.close();
  return !file.fail();
}

std::string keyTextFromArg(const std::string& arg) {
  std::string text;
  if (!readFile(arg, &text)) text = arg;
  const char* blanks = " \t\r\n";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(blanks);
  return text.substr(first, last - first + 1);
}

double savedPercent(double before, double after) {
  return before != 0 ? (1.0 - after / before) * 100.0 : 0.0;
}

}  // namespace vorn
