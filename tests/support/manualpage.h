// The pages of the user's manual (README.md, docs/*.md) as tests read them:
// the text under one heading, the words its tables document, and its shell
// examples.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace palvon::test {

// The text under the heading (its text after the #s, exactly), up to the
// next heading of the same or a higher level; "" when the page has none.
std::string pageSection(const std::string& page, const std::string& heading);
// The words in backquotes in the first cell of each table row of the text.
std::set<std::string> tableKeys(const std::string& text);
// The ```sh blocks of the text, in order, without their fences.
std::vector<std::string> shellBlocks(const std::string& text);

}  // namespace palvon::test
