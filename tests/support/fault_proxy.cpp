#include "support/fault_proxy.hpp"

#include "support/test_data.hpp"

#include <curl/curl.h>

#include <chrono>
#include <regex>
#include <thread>

namespace vorn_test {
namespace {

size_t appendBody(char* data, size_t size, size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(data, size * count);
  return size * count;
}

// One control request; the answer's body, or "" with *ok false on failure.
std::string control(const std::string& url, const char* method, const std::string& body, bool* ok) {
  std::string answer;
  CURL* curl = curl_easy_init();
  if (!curl) {
    *ok = false;
    return answer;
  }
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
  if (std::string(method) == "PUT") {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  }
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
  long status = 0;
  *ok = curl_easy_perform(curl) == CURLE_OK &&
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
  curl_easy_cleanup(curl);
  return answer;
}

std::string jsonText(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

int statsNumber(const std::string& stats, const std::string& name) {
  std::smatch m;
  if (!std::regex_search(stats, m, std::regex("\"" + name + "\":([0-9]+)"))) return -1;
  return std::stoi(m[1]);
}

}  // namespace

FaultProxy::FaultProxy(const S3Server& upstream) : upstream_(upstream) {
  server_ = std::make_unique<NodeServer>(
      std::vector<std::string>{}, std::string(VORN_SOURCE_DIR) + "/tests/faults/proxy.js",
      std::vector<std::string>{"--port", "0", "--upstream", std::to_string(upstream.port())},
      dir_ / "proxy.log");
}

EnvChanges FaultProxy::env() const {
  EnvChanges env = upstream_.env();
  env["VORN_S3_ENDPOINT"] = endpoint();
  return env;
}

bool FaultProxy::setRules(const std::vector<FaultRule>& rules) {
  std::string json = "[";
  for (const auto& r : rules) {
    if (json.size() > 1) json += ",";
    json += "{\"method\":" + jsonText(r.method) + ",\"path\":" + jsonText(r.path) +
            ",\"fault\":" + jsonText(r.kind) + ",\"skip\":" + std::to_string(r.skip) +
            ",\"status\":" + std::to_string(r.status) + ",\"delayMs\":" + std::to_string(r.delayMs);
    if (r.times >= 0) json += ",\"times\":" + std::to_string(r.times);
    if (r.offset >= 0) json += ",\"offset\":" + std::to_string(r.offset);
    if (r.retryAfter >= 0) json += ",\"retryAfter\":" + std::to_string(r.retryAfter);
    json += "}";
  }
  json += "]";
  bool ok = false;
  control(endpoint() + "/__proxy/rules", "PUT", json, &ok);
  return ok;
}

std::string FaultProxy::stats() const {
  bool ok = false;
  return control(endpoint() + "/__proxy/stats", "GET", "", &ok);
}

int FaultProxy::held() const { return statsNumber(stats(), "held"); }

int FaultProxy::faults() const {
  const std::string text = stats();
  std::smatch m;
  if (!std::regex_search(text, m, std::regex("\"hits\":\\[([0-9,]*)\\]"))) return -1;
  int total = 0;
  const std::string list = m[1];
  const std::regex number("[0-9]+");
  for (std::sregex_iterator it(list.begin(), list.end(), number), end; it != end; ++it)
    total += std::stoi(it->str());
  return total;
}

bool FaultProxy::waitForHeld(int count, int timeoutSeconds) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (held() >= count) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::string FaultProxy::requestLog() const {
  const std::string text = stats();
  std::string lines;
  const std::regex entry("\"([A-Z]+ [^\"]*)\"");
  const size_t logAt = text.find("\"log\":");
  if (logAt == std::string::npos) return lines;
  for (std::sregex_iterator it(text.begin() + static_cast<long>(logAt), text.end(), entry), end;
       it != end; ++it) {
    lines += (*it)[1].str() + "\n";
  }
  return lines;
}

}  // namespace vorn_test
