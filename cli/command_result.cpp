#include "command_result.hpp"

#include <json/writer.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace vorn {

bool jsonRequested(const ScannedArgs* args) {
  return (args && args->has("--json")) || envSwitch("VORN_JSON");
}

Json::Value percentValue(double percent) {
  // Through the text, so that the document rounds exactly as the summary does.
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", percent);
  return std::strtod(text, nullptr);
}

void CommandResult::text(const char* format, ...) {
  if (json_) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

void CommandResult::flush() {
  if (!json_) std::fflush(stdout);
}

int CommandResult::finish(int status) {
  if (!json_) return status;
  Json::StreamWriterBuilder builder;
  builder["indentation"] = "  ";
  // Percentages have one decimal; 15 significant digits show them as written
  // (59.1, not 59.100000000000001). Integers are always written whole.
  builder["precision"] = 15;
  std::printf("%s\n", Json::writeString(builder, doc_).c_str());
  return status;
}

}  // namespace vorn
