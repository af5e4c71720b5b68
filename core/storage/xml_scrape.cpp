#include "storage/xml_scrape.hpp"

#include <cstdlib>

namespace vorn {
namespace {

// Reads exactly `digits` decimal digits at text[at]; -1 when they are not there.
int readDigits(const std::string& text, size_t at, size_t digits) {
  if (text.size() < at + digits) return -1;
  int value = 0;
  for (size_t i = at; i < at + digits; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
int64_t daysSinceEpoch(int64_t year, int64_t month, int64_t day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t yearOfEra = year - era * 400;
  const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

// The LastModified time of the Contents element around position at; -1 when
// there is none.
int64_t modifiedAround(const std::string& body, size_t at) {
  const size_t start = body.rfind("<Contents>", at);
  const size_t stop = body.find("</Contents>", at);
  if (start == std::string::npos || stop == std::string::npos) return -1;
  // A Contents element closed before `at` belongs to another key.
  const size_t closed = body.rfind("</Contents>", at);
  if (closed != std::string::npos && closed > start) return -1;
  // Searched within the element only, so a page without times stays linear.
  size_t end = 0;
  const std::string text = extractTag(body.substr(start, stop - start), "LastModified", 0, &end);
  return end == std::string::npos ? -1 : parseIsoTime(text);
}

}  // namespace

int64_t parseIsoTime(const std::string& text) {
  const int year = readDigits(text, 0, 4), month = readDigits(text, 5, 2),
            day = readDigits(text, 8, 2), hour = readDigits(text, 11, 2),
            minute = readDigits(text, 14, 2), second = readDigits(text, 17, 2);
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 60 || text[4] != '-' || text[7] != '-' ||
      text[10] != 'T' || text[13] != ':' || text[16] != ':') {
    return -1;
  }
  size_t at = 19;
  if (at < text.size() && text[at] == '.') {
    const size_t digitsFrom = ++at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    if (at == digitsFrom) return -1;
  }
  if (at + 1 != text.size() || text[at] != 'Z') return -1;
  // A 31st of April or a 29th of February 2023 is no day.
  const int64_t monthDays =
      month == 12 ? 31 : daysSinceEpoch(year, month + 1, 1) - daysSinceEpoch(year, month, 1);
  if (day > monthDays) return -1;
  return ((daysSinceEpoch(year, month, day) * 24 + hour) * 60 + minute) * 60 + second;
}

std::string extractTag(const std::string& body, const std::string& tag, size_t from,
                       size_t* endOut) {
  const std::string open = "<" + tag + ">";
  const std::string close = "</" + tag + ">";
  *endOut = std::string::npos;
  if (from > body.size()) return std::string();
  const size_t start = body.find(open, from);
  if (start == std::string::npos) return std::string();
  const size_t textStart = start + open.size();
  const size_t stop = body.find(close, textStart);
  if (stop == std::string::npos) return std::string();
  *endOut = stop + close.size();
  return body.substr(textStart, stop - textStart);
}

size_t scanListPage(const std::string& body, std::vector<ObjectEntry>* out) {
  size_t appended = 0;
  size_t pos = 0;
  for (;;) {
    size_t keyEnd = 0;
    std::string key = extractTag(body, "Key", pos, &keyEnd);
    if (keyEnd == std::string::npos) break;
    size_t sizeEnd = 0;
    const std::string sizeText = extractTag(body, "Size", keyEnd, &sizeEnd);
    // strtoll semantics: leading digits only, 0 when there are none.
    const int64_t size = sizeText.empty() ? 0 : std::strtoll(sizeText.c_str(), nullptr, 10);
    out->push_back(ObjectEntry{std::move(key), size, modifiedAround(body, keyEnd)});
    ++appended;
    pos = sizeEnd == std::string::npos ? keyEnd : sizeEnd;
  }
  return appended;
}

std::string nextContinuationToken(const std::string& body) {
  size_t end = 0;
  if (extractTag(body, "IsTruncated", 0, &end) != "true") return std::string();
  return extractTag(body, "NextContinuationToken", 0, &end);
}

}  // namespace vorn
