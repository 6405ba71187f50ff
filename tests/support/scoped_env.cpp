#include "scoped_env.h"

#include <stdlib.h>

ScopedEnv::ScopedEnv(std::initializer_list<const char*> names) {
  for (const char* n : names) keep(n);
}

void ScopedEnv::restore() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    if (it->second)
      setenv(it->first.c_str(), it->second->c_str(), 1);
    else
      unsetenv(it->first.c_str());
  }
  saved_.clear();
}

void ScopedEnv::keep(const char* name) {
  for (const auto& s : saved_)
    if (s.first == name) return;
  const char* v = getenv(name);
  saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
}

void ScopedEnv::set(const char* name, const char* value) {
  keep(name);
  if (value)
    setenv(name, value, 1);
  else
    unsetenv(name);
}
