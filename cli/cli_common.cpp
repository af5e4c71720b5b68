#include "cli_common.hpp"

#include "util/huge_pages.hpp"

#include <cstdint>
#include <cstdio>
#include <memory>

#include <sys/stat.h>

namespace vorn {
namespace {

const size_t kReadBlock = 1 << 20;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::string storeKey;

bool readFile(const std::string& path, std::string* out) {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "rb"));
  if (!file) return false;
  // Reads land straight in *out; a stdio buffer would only add a copy.
  std::setvbuf(file.get(), nullptr, _IONBF, 0);
  out->clear();
  // Sized from the file up front so a big object is read in one go instead of
  // regrowing; the loop still takes whatever is there when the size was wrong
  // (a pipe, a file that grew).
  struct stat info;
  size_t want = kReadBlock;
  if (fstat(fileno(file.get()), &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
    want = static_cast<size_t>(info.st_size) + 1;
  }
  size_t have = 0;
  for (;;) {
    if (out->size() < have + want) {
      out->reserve(have + want);
      adviseHugePages(out->data(), out->capacity());
      out->resize(have + want);
    }
    const size_t got = std::fread(&(*out)[have], 1, want, file.get());
    have += got;
    if (got < want) break;
    want = have < kReadBlock ? kReadBlock : have;
  }
  out->resize(have);
  // A file that opens but cannot be read (a directory, an I/O error) has no
  // whole content to hand back.
  return !std::ferror(file.get());
}

bool writeFile(const std::string& path, const std::string& data) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  std::setvbuf(file, nullptr, _IONBF, 0);
  bool ok = data.empty() || std::fwrite(data.data(), 1, data.size(), file) == data.size();
  ok = std::fclose(file) == 0 && ok;
  return ok;
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
