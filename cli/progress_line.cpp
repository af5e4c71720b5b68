#include "progress_line.hpp"

#include <cstdio>

namespace vorn {
namespace {

// A log that gains a line every five seconds stays readable over hours.
constexpr std::chrono::seconds kLineInterval{5};

void plainLine(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

}  // namespace

bool progressModeFrom(const ScannedArgs& args, bool json, ProgressMode* mode, std::string* err) {
  const std::string text = args.value("--progress", envText("VORN_PROGRESS"));
  if (text.empty()) {
    *mode = json ? ProgressMode::kNone : ProgressMode::kBar;
  } else if (text == "bar") {
    *mode = ProgressMode::kBar;
  } else if (text == "lines") {
    *mode = ProgressMode::kLines;
  } else if (text == "none") {
    *mode = ProgressMode::kNone;
  } else {
    const char* source = args.values.count("--progress") ? "--progress" : "VORN_PROGRESS";
    *err = std::string(source) + ": unknown mode '" + text + "' (use bar, lines or none)";
    return false;
  }
  return true;
}

ProgressLine::ProgressLine(ProgressMode mode)
    : mode_(mode), start_(std::chrono::steady_clock::now()), lastLine_(start_) {}

void ProgressLine::draw(uint64_t done, uint64_t total, int64_t wireBytes) {
  const uint64_t percent = total == 0 ? 0 : done * 100 / total;
  char eta[48] = "";
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  if (done != 0 && done < total && elapsed > 0.5) {
    const int32_t remaining = static_cast<int32_t>(static_cast<double>(total - done) * elapsed /
                                                   static_cast<double>(done));
    std::snprintf(eta, sizeof eta, " ETA %ld:%02ld", static_cast<long>(remaining / 60),
                  static_cast<long>(remaining % 60));
  }
  char text[160];
  std::snprintf(text, sizeof text, "  %3d%% (%zu/%zu chunks, %.1f MB)%s", static_cast<int>(percent),
                static_cast<size_t>(done), static_cast<size_t>(total),
                static_cast<double>(wireBytes) / 1048576.0, eta);
  show(text, true);
}

void ProgressLine::drawWait(const std::string& path, int waited, int allowed) {
  show("  waiting for '" + path + "' to close (" + std::to_string(waited) + "/" +
           std::to_string(allowed) + "s) ...",
       false);
}

void ProgressLine::show(const std::string& text, bool isState) {
  if (mode_ == ProgressMode::kBar) {
    std::fprintf(stderr, "\r%s        ", text.c_str());
    std::fflush(stderr);
    return;
  }
  if (mode_ != ProgressMode::kLines) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - lastLine_ < kLineInterval) {
    if (isState) lastState_ = text;
    return;
  }
  plainLine(text);
  lastLine_ = now;
  if (isState) lastState_.clear();
}

void ProgressLine::finish() {
  if (mode_ == ProgressMode::kBar) {
    std::fprintf(stderr, "\r%64s\r", "");
    std::fflush(stderr);
  } else if (!lastState_.empty()) {  // only lines mode keeps one
    plainLine(lastState_);
    lastState_.clear();
  }
}

std::function<void(const std::string&)> retryPrinterFor(
    ProgressMode mode, std::function<void(const std::string&)> barPrinter) {
  if (mode == ProgressMode::kBar) return barPrinter;
  return plainLine;
}

}  // namespace vorn
