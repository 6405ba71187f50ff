#include "gwsim_config.h"

GwsimBlock& GwsimBlock::set(const std::string& key, const std::string& value) {
  lines_.push_back(key + " = " + value);
  return *this;
}

GwsimBlock& GwsimBlock::flag(const std::string& word) {
  lines_.push_back(word);
  return *this;
}

GwsimBlock& GwsimBlock::block(const std::string& childName) {
  lines_.push_back("");
  blocks_.push_back(GwsimBlock(childName));
  return blocks_.back();
}

GwsimBlock& GwsimBlock::child(const std::string& childName) {
  for (GwsimBlock& b : blocks_)
    if (b.name == childName) return b;
  return block(childName);
}

void GwsimBlock::render(std::string& out, int depth) const {
  std::string indent(size_t(depth) * 2, ' ');
  out += indent + name + " = {\n";
  size_t next = 0;
  for (const std::string& l : lines_) {
    if (l.empty())
      blocks_[next++].render(out, depth + 1);
    else
      out += indent + "  " + l + "\n";
  }
  out += indent + "}\n";
}

GwsimBlock& GwsimConfig::section(const std::string& name) {
  for (GwsimBlock& b : sections_)
    if (b.name == name) return b;
  sections_.push_back(GwsimBlock(name));
  return sections_.back();
}

GwsimConfig& GwsimConfig::runMode(int mode) {
  server().set("server_runmode", mode);
  return *this;
}

GwsimBlock& GwsimConfig::user(const std::string& name, const std::string& password) {
  GwsimBlock& u = section("Users").child(name);
  if (!password.empty()) u.set("Password", password);
  return u;
}

GwsimBlock& GwsimConfig::file(const std::string& path) {
  return section("Files").child("\"" + path + "\"");
}

GwsimBlock& GwsimConfig::dir(const std::string& path) { return file(path).set("Type", "directory"); }

GwsimConfig& GwsimConfig::fault(const std::string& kind, const std::string& rule) {
  section("Faults").set(kind, rule);
  return *this;
}

GwsimBlock& GwsimConfig::cos(int id) { return section("COS").child(std::to_string(id)); }

GwsimConfig& GwsimConfig::group(const std::string& name, long long gid) {
  section("Groups").set(name, gid);
  return *this;
}

GwsimConfig& GwsimConfig::account(const std::string& name, long long code) {
  section("Accounts").set(name, code);
  return *this;
}

std::string GwsimConfig::text() const {
  std::string out;
  for (const GwsimBlock& b : sections_) b.render(out, 0);
  return out;
}

GwsimConfig aliceConfig() {
  GwsimConfig c;
  c.user("alice", "wonderland").set("Uid", 1001).set("Gid", 100).set("Home", "/home/alice");
  c.dir("/home");
  c.dir("/home/alice").set("Uid", 1001);
  return c;
}
