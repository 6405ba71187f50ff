#include "journal_text.h"
#include "program_run.h"

#include <sys/stat.h>

#include <stdio.h>

#include <fstream>
#include <sstream>

int countLines(const std::vector<std::string>& lines, const std::string& text,
               const std::string& more) {
  int n = 0;
  for (const auto& l : lines)
    n += l.find(text) != std::string::npos && l.find(more) != std::string::npos;
  return n;
}

std::vector<std::string> linesWith(const std::vector<std::string>& lines, const std::string& text) {
  std::vector<std::string> out;
  for (const auto& l : lines)
    if (l.find(text) != std::string::npos) out.push_back(l);
  return out;
}

std::vector<std::string> linesWithAll(const std::vector<std::string>& lines,
                                      const std::vector<std::string>& texts) {
  std::vector<std::string> out;
  for (const auto& l : lines) {
    bool all = true;
    for (const auto& t : texts) all = all && l.find(t) != std::string::npos;
    if (all) out.push_back(l);
  }
  return out;
}

std::string lineWith(const std::vector<std::string>& lines, const std::string& text) {
  for (const auto& l : lines)
    if (l.find(text) != std::string::npos) return l;
  return "";
}

int countText(const std::string& s, const std::string& text) {
  int n = 0;
  for (size_t p = s.find(text); p != std::string::npos; p = s.find(text, p + 1)) n++;
  return n;
}

std::string sqlOne(const GwsimFixture& gw, const std::string& query) {
  ProgramSpec prog;
  prog.argv = {"sqlite3", "-batch", gw.rootDir() + ".db", query};
  prog.mergeErr = true;
  std::string out = runProgram(prog).out;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

std::string objectColumn(const GwsimFixture& gw, const std::string& column,
                         const std::string& nspath) {
  struct stat st;
  if (lstat((gw.rootDir() + nspath).c_str(), &st) < 0) return "no such object " + nspath;
  return sqlOne(gw, "select " + column + " from objects where obj=" + std::to_string(st.st_ino));
}
