#pragma once
// The progress line on standard error, in one of three modes: "bar" redraws
// one line with carriage returns and erases it at the end (for a terminal),
// "lines" writes plain lines at most every five seconds and the last state
// once at the end (for log files), "none" writes nothing.

#include "arg_scan.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace vorn {

enum class ProgressMode { kBar, kLines, kNone };

// The mode from --progress, else VORN_PROGRESS, else bar (none when the result
// is JSON). False, with one line in *err, for an unknown mode.
bool progressModeFrom(const ScannedArgs& args, bool json, ProgressMode* mode, std::string* err);

// How retry lines are written beside progress of this mode: barPrinter's way
// (over the bar), or as plain lines.
std::function<void(const std::string&)> retryPrinterFor(
    ProgressMode mode, std::function<void(const std::string&)> barPrinter);

class ProgressLine {
 public:
  explicit ProgressLine(ProgressMode mode);

  // Chunk entries done of total, and the object bytes received so far.
  void draw(uint64_t done, uint64_t total, int64_t wireBytes);
  // A target in use: seconds waited so far of those allowed.
  void drawWait(const std::string& path, int waited, int allowed);
  // The command succeeded: bar erases its line, lines writes the last state
  // unless it was the last line written.
  void finish();
  // What precedes an error line: a line feed in bar mode ends the open line.
  const char* errorLead() const { return mode_ == ProgressMode::kBar ? "\n" : ""; }

 private:
  void show(const std::string& text, bool isState);

  ProgressMode mode_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastLine_;
  std::string lastState_;  // lines mode: the newest progress state not yet written
};

}  // namespace vorn
