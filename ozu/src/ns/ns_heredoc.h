// Names from a here-document ("<<MARKER" as the last word) for the
// namespace commands.
#ifndef OZU_NS_HEREDOC_H
#define OZU_NS_HEREDOC_H

#include <string>
#include <vector>

struct ozu_cmd_t;

// Replaces a trailing "<<MARKER" (or "<< MARKER") among the command's names
// by the names read up to the marker line; store keeps them for the
// command. 0, or -1 after the message (exit result 64) when the marker is
// missing or not the last word, or when reading was interrupted.
int ns_HereDocNames(ozu_cmd_t *cmd, std::vector<std::string> *store);

#endif
