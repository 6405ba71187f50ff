// Environment variables a test changes, put back as they were when the
// holder goes (set to their old value, or unset when they had none).
//
// ScopedEnv    keeps the names given (nothing else changes).
// set, unset   keep the name first, unless kept already, then change it;
//              a null value unsets.
// restore      puts back now what was kept and forgets it.
//
// Example:
//   ScopedEnv env{"QUOR_CFG_FILE_PATH"};
//   env.set("QUOR_NET_FAMILY", "ipv4_only");   // kept, then set
#ifndef TESTS_SUPPORT_SCOPED_ENV_H
#define TESTS_SUPPORT_SCOPED_ENV_H

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct ScopedEnv {
  ScopedEnv() = default;
  ScopedEnv(std::initializer_list<const char*> names);
  ~ScopedEnv() { restore(); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  void keep(const char* name);
  void set(const char* name, const char* value);
  void unset(const char* name) { set(name, nullptr); }
  void restore();

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

#endif
