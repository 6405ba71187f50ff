// Configuration values shared by gwsim's modules; see config_values.h.
#include "config_values.h"

#include <errno.h>
#include <stdlib.h>

#include <string>

int gw_ParseNumber(const char* text, int64_t lo, int64_t hi, int64_t* val) {
  if (!text || !*text) return -22;
  errno = 0;
  char* end = nullptr;
  long long v = strtoll(text, &end, 0);
  if (errno || end == text || *end != '\0' || v < lo || v > hi) return -22;
  *val = v;
  return 0;
}

int gw_ParseDotted(const char* text, uint32_t* parts, int count) {
  const char* p = text;
  for (int i = 0; i < count; i++) {
    if (*p < '0' || *p > '9') return -22;
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(p, &end, 10);
    if (errno || v > 0xffffffffUL) return -22;
    parts[i] = uint32_t(v);
    p = end;
    if (i + 1 < count) {
      if (*p != '.') return -22;
      p++;
    }
  }
  return *p == '\0' ? 0 : -22;
}

int gw_ParseIdList(const char* text, std::vector<uint32_t>* out) {
  out->clear();
  std::string s(text ? text : "");
  for (char& c : s)
    if (c == ',' || c == '\t') c = ' ';
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && s[i] == ' ') i++;
    if (i == s.size()) break;
    size_t j = s.find(' ', i);
    if (j == std::string::npos) j = s.size();
    int64_t v;
    if (gw_ParseNumber(s.substr(i, j - i).c_str(), 0, 0xffffffffLL, &v) < 0) return -22;
    out->push_back(uint32_t(v));
    i = j;
  }
  return 0;
}

const gw_user_t* gw_FindUser(const gw_config_t* cfg, const char* name) {
  if (!name) return nullptr;
  for (const gw_user_t& u : cfg->users)
    if (u.name == name) return &u;
  return nullptr;
}
