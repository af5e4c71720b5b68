#include "transfer_args.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace vorn {
namespace {

namespace fs = std::filesystem;

int nonNegative(const std::string& text) { return std::max(0, std::atoi(text.c_str())); }

void printRetry(const std::string& line) {
  // A progress line may be on the terminal; this one replaces it and stays.
  std::fprintf(stderr, "\r%-72s\n", line.c_str());
  std::fflush(stderr);
}

bool holdsPemCertificate(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  for (std::string line; std::getline(file, line);)
    if (line.rfind("-----BEGIN CERTIFICATE-----", 0) == 0) return true;
  return false;
}

// A name OpenSSL looks certificates up by: 8 hex digits of the subject hash,
// ".", a sequence number.
bool isHashedName(const std::string& name) {
  const size_t dot = name.find('.');
  return dot == 8 && name.size() > 9 &&
         std::all_of(name.begin(), name.begin() + 8,
                     [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }) &&
         std::all_of(name.begin() + 9, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool holdsHashedCertificate(const std::string& path) {
  std::error_code ec;
  for (fs::directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec))
    if (isHashedName(it->path().filename().string())) return true;
  return false;
}

enum class CaKind { kFile, kDirectory, kEither };

// Empty when libcurl can take certificates from path as kind (kEither: what
// it is), else why not; *isDirectory says which it is.
std::string caProblem(const std::string& path, CaKind kind, bool* isDirectory) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status)) return "cannot open " + path;
  *isDirectory = fs::is_directory(status);
  if (*isDirectory) {
    if (kind == CaKind::kFile) return "not a file: " + path;
    return holdsHashedCertificate(path) ? "" : "no hashed certificate (like 1a2b3c4d.0) in " + path;
  }
  if (kind == CaKind::kDirectory) return "not a directory: " + path;
  if (!fs::is_regular_file(status)) return "not a file: " + path;
  return holdsPemCertificate(path) ? "" : "no PEM certificate in " + path;
}

bool reportCaProblem(const std::string& problem, const char* from) {
  if (problem.empty()) return true;
  std::fprintf(stderr, "ca-bundle: %s (from %s)\n", problem.c_str(), from);
  return false;
}

bool caSettingsFrom(const ScannedArgs* args, TransferSettings* settings) {
  const char* from = "VORN_CA_BUNDLE";
  std::string bundle = envText(from);
  if (args && args->values.count("--ca-bundle")) {
    from = "--ca-bundle";
    bundle = args->value(from);
  }
  bool isDirectory = false;
  if (!bundle.empty()) {
    if (!reportCaProblem(caProblem(bundle, CaKind::kEither, &isDirectory), from)) return false;
    (isDirectory ? settings->caDirectory : settings->caFile) = bundle;
    return true;
  }
  // OpenSSL's variables, which Debian's libcurl does not read by itself.
  const std::string file = envText("SSL_CERT_FILE"), directories = envText("SSL_CERT_DIR");
  if (!file.empty()) {
    if (!reportCaProblem(caProblem(file, CaKind::kFile, &isDirectory), "SSL_CERT_FILE"))
      return false;
    settings->caFile = file;
  }
  if (!directories.empty()) {
    // A list, as OpenSSL reads it: directories joined by ":", each of them
    // there and one at least with a certificate.
    bool found = false;
    std::string problem = "no hashed certificate (like 1a2b3c4d.0) in " + directories;
    for (size_t start = 0, end = 0; start < directories.size(); start = end + 1) {
      end = std::min(directories.find(':', start), directories.size());
      if (end == start) continue;
      isDirectory = false;
      const std::string one = directories.substr(start, end - start);
      const std::string why = caProblem(one, CaKind::kDirectory, &isDirectory);
      if (!isDirectory) return reportCaProblem(why, "SSL_CERT_DIR");
      if (why.empty())
        found = true;
      else
        problem = why;
    }
    if (!found) return reportCaProblem(problem, "SSL_CERT_DIR");
    settings->caDirectory = directories;
  }
  return true;
}

}  // namespace

std::set<std::string> withTransferOptions(std::set<std::string> valueNames) {
  valueNames.insert({"--jobs", "--timeout", "--retries", "--ca-bundle"});
  return valueNames;
}

bool transferSettingsFrom(const ScannedArgs* args, TransferSettings* settings) {
  const auto setting = [args](const char* option, const char* variable) {
    const std::string fromEnv = envText(variable);
    return args ? args->value(option, fromEnv) : fromEnv;
  };
  *settings = TransferSettings();
  settings->jobs =
      std::min(std::max(std::atoi(setting("--jobs", "VORN_JOBS").c_str()), 1), kMaxJobs);
  settings->timeoutSeconds = nonNegative(setting("--timeout", "VORN_TIMEOUT"));
  settings->retries = nonNegative(setting("--retries", "VORN_RETRIES"));
  settings->onRetry = printRetry;
  return caSettingsFrom(args, settings);
}

}  // namespace vorn
