// Reading back what a case left behind: gwsim's journal lines, texts a
// child wrote, files, and values of gwsim's database.
//
// countLines    how many lines hold text, and also more when it is given
//               (a request's note follows its id and flags).
// linesWith     the lines holding text, in order.
// linesWithAll  the lines holding every one of texts, in order.
// lineWith      the first line holding text, or "".
// countText     how many times text stands in s, overlaps counted.
// readFile      the whole file, bytes as they are; "" when it cannot be
//               read.
// sqlOne        the answer of sqlite3 to query on the database beside
//               gwsim's namespace root, without its line end; a failure's
//               message is the answer then.
#ifndef TESTS_SUPPORT_JOURNAL_TEXT_H
#define TESTS_SUPPORT_JOURNAL_TEXT_H

#include <string>
#include <vector>

#include "gwsim_fixture.h"
#include "test_data.h"

int countLines(const std::vector<std::string>& lines, const std::string& text,
               const std::string& more = "");
std::vector<std::string> linesWith(const std::vector<std::string>& lines, const std::string& text);
std::vector<std::string> linesWithAll(const std::vector<std::string>& lines,
                                      const std::vector<std::string>& texts);
std::string lineWith(const std::vector<std::string>& lines, const std::string& text);
int countText(const std::string& s, const std::string& text);
std::string sqlOne(const GwsimFixture& gw, const std::string& query);
// objectColumn  a column of the row of the object at namespace path nspath
//               (rows are keyed by the object's inode under the root).
std::string objectColumn(const GwsimFixture& gw, const std::string& column,
                         const std::string& nspath);

#endif
