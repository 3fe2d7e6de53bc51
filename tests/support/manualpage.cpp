#include "support/manualpage.h"

#include <sstream>

namespace palvon::test {

namespace {

// The level of a heading line (the number of leading #s), 0 for other lines.
size_t headingLevel(const std::string& line) {
  size_t level = line.find_first_not_of('#');
  return level != std::string::npos && level > 0 && line[level] == ' ' ? level : 0;
}

}  // namespace

std::string pageSection(const std::string& page, const std::string& heading) {
  std::istringstream in(page);
  std::string text;
  size_t level = 0;
  bool fenced = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("```", 0) == 0) fenced = !fenced;
    size_t here = fenced ? 0 : headingLevel(line);
    if (level) {
      if (here && here <= level) break;
      text += line + "\n";
    } else if (here && line.substr(here + 1) == heading) {
      level = here;
    }
  }
  return text;
}

std::set<std::string> tableKeys(const std::string& text) {
  std::set<std::string> keys;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("| `", 0) != 0) continue;
    std::string cell = line.substr(1, line.find('|', 1) - 1);
    for (size_t open = cell.find('`'); open != std::string::npos; open = cell.find('`', open)) {
      size_t close = cell.find('`', open + 1);
      if (close == std::string::npos) break;
      keys.insert(cell.substr(open + 1, close - open - 1));
      open = close + 1;
    }
  }
  return keys;
}

std::vector<std::string> shellBlocks(const std::string& text) {
  std::vector<std::string> blocks;
  std::istringstream in(text);
  bool inside = false;
  for (std::string line; std::getline(in, line);) {
    if (!inside && line == "```sh") {
      inside = true;
      blocks.emplace_back();
    } else if (inside && line == "```") {
      inside = false;
    } else if (inside) {
      blocks.back() += line + "\n";
    }
  }
  return blocks;
}

}  // namespace palvon::test
