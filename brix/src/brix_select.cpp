// Member selection: whether an index entry is named by the command line's
// member list, by whole name (and everything below it) or by pattern,
// component by component.
#include <string.h>

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "brix_filespec.h"
#include "brix_index.h"

namespace {

std::vector<std::string> splitPath(const std::string& s) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t slash = s.find('/', start);
    if (slash == std::string::npos) {
      parts.push_back(s.substr(start));
      return parts;
    }
    parts.push_back(s.substr(start, slash - start));
    start = slash + 1;
  }
}

// A pattern, component by component, against the components of a path.
bool selectedBy(const std::vector<std::string>& pat, const std::vector<std::string>& comp, bool recurse) {
  size_t i = 0;
  for (; i < pat.size(); i++) {
    if (i >= comp.size()) return false;
    if (!brix_Match(comp[i].c_str(), pat[i].c_str())) return false;
  }
  return i == comp.size() || recurse;
}

// The member list split once: plain names in a set, so a member is looked
// up by its path and the paths above it, not against every name; patterns
// are tried one by one.
struct selectionTable {
  uint64_t generation = ~0ull;
  const brix_FileSpec_t* list = nullptr;
  int64_t entries = -1;
  std::unordered_set<std::string_view> names;
  std::vector<std::vector<std::string>> patterns;  // split at the slashes
};
selectionTable table;

const selectionTable& currentTable() {
  if (table.generation == brix_FileListGeneration && table.list == brix_FileList &&
      table.entries == brix_FileListEntries)
    return table;
  table.names.clear();
  table.patterns.clear();
  for (int64_t i = 0; i < brix_FileListEntries; i++) {
    const brix_FileSpec_t& member = brix_FileList[i];
    const char* name = member.filename ? member.filename : "";
    if (member.hasWildcards) table.patterns.push_back(splitPath(std::string(name, strnlen(name, 4096))));
    else table.names.insert(name);
  }
  table.generation = brix_FileListGeneration;
  table.list = brix_FileList;
  table.entries = brix_FileListEntries;
  return table;
}

bool selectedByName(const selectionTable& t, const char* path, bool recurse) {
  std::string_view p(path);
  if (t.names.count(p)) return true;
  if (!recurse) return false;
  // A name selects everything below it; one ending in '/' ("/", "dir/")
  // everything that begins with it.
  for (size_t slash = p.find('/'); slash != std::string_view::npos; slash = p.find('/', slash + 1)) {
    if (t.names.count(p.substr(0, slash + 1))) return true;
    if (t.names.count(p.substr(0, slash))) return true;
  }
  return false;
}

}  // namespace

int brix_IndexEntryWasSelected(const bif_entry_t* entry) {
  bool recurse = !(brix_option_flags & BRIX_OPT_NORECURSE);
  if (brix_FileListEntries == 0 && recurse) return 1;
  char path[300];
  brix_FormIxEntryPathname(entry, path);
  if (brix_FileListEntries == 0) return strchr(path, '/') ? 0 : 1;
  const selectionTable& t = currentTable();
  if (selectedByName(t, path, recurse)) return 1;
  if (t.patterns.empty()) return 0;
  std::vector<std::string> comp = splitPath(path);
  for (const std::vector<std::string>& pat : t.patterns)
    if (selectedBy(pat, comp, recurse)) return 1;
  return 0;
}
