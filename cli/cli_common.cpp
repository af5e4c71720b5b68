#include "cli_common.hpp"

#include "util/huge_pages.hpp"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vorn {
namespace {

const size_t kReadBlock = 1 << 20;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// One unbuffered write of the whole content. A private file is made readable
// by its owner only, also when it existed before.
bool writeBytes(const std::string& path, const std::string& data, bool ownerOnly) {
  const int fd =
      open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, ownerOnly ? 0600 : 0666);
  if (fd < 0) return false;
  bool ok = !ownerOnly || fchmod(fd, 0600) == 0;
  for (size_t done = 0; ok && done < data.size();) {
    const ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  return close(fd) == 0 && ok;
}

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
  return writeBytes(path, data, false);
}

bool writePrivateFile(const std::string& path, const std::string& data) {
  return writeBytes(path, data, true);
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

bool parseWholeNumber(const std::string& text, size_t maxDigits, int64_t* value) {
  if (text.empty() || text.size() > maxDigits ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  int64_t number = 0;
  for (const char c : text) number = number * 10 + (c - '0');
  *value = number;
  return true;
}

}  // namespace vorn
