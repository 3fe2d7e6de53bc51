// A minimal reader of the protocol's own description (the XML of the
// xcb-proto package): the fixed part of every request, reply and event, as
// fields with offsets and widths. The oracle of the layout and reply tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace palvon::test {

// A minimal reader of the protocol description: tags with attributes.
struct Tag {
  std::string name;
  std::map<std::string, std::string> attrs;
  bool closing = false;
  bool selfClosing = false;
};

inline std::vector<Tag> readTags(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::string s = text.str();
  std::vector<Tag> tags;
  for (size_t at = s.find('<'); at != std::string::npos; at = s.find('<', at + 1)) {
    size_t end = s.find('>', at);
    if (end == std::string::npos) break;
    std::string body = s.substr(at + 1, end - at - 1);
    if (body.empty() || body[0] == '?' || body[0] == '!') continue;
    Tag tag;
    tag.closing = body[0] == '/';
    tag.selfClosing = body.back() == '/';
    std::istringstream words(body.substr(tag.closing ? 1 : 0));
    words >> tag.name;
    if (!tag.name.empty() && tag.name.back() == '/') tag.name.pop_back();
    for (size_t q = body.find('='); q != std::string::npos; q = body.find('=', q + 1)) {
      size_t keyStart = body.rfind(' ', q) + 1;
      size_t open = body.find('"', q);
      size_t close = open == std::string::npos ? open : body.find('"', open + 1);
      if (close == std::string::npos) break;
      tag.attrs[body.substr(keyStart, q - keyStart)] = body.substr(open + 1, close - open - 1);
      q = close;
    }
    tags.push_back(tag);
  }
  return tags;
}

struct Field {
  uint32_t offset;
  uint32_t width;
  std::string type = "";  // as the description names it (a struct's members: their own)
  std::string name = "";
};

struct FixedPart {
  std::vector<Field> fields;  // fixed part, 1-, 2-, 4- and 8-byte fields
  uint32_t size = 0;          // end of the fixed part
};

class Protocol {
 public:
  // The last file's messages; types come from all files.
  explicit Protocol(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
      std::vector<Tag> more = readTags(path);
      tags_.insert(tags_.end(), more.begin(), more.end());
      requests_.clear();
      events_.clear();
      scan(tags_.size() - more.size());
    }
  }
  bool ok() const { return !tags_.empty(); }
  const std::map<int, size_t>& requests() const { return requests_; }
  const std::map<int, size_t>& events() const { return events_; }

 private:
  void scan(size_t from) {
    for (const char* t : {"CARD8", "INT8", "BYTE", "BOOL", "char", "void"}) sizes_[t] = 1;
    for (const char* t : {"CARD16", "INT16"}) sizes_[t] = 2;
    for (const char* t : {"CARD32", "INT32", "float"}) sizes_[t] = 4;
    for (size_t k = from; k < tags_.size(); k++) {
      const Tag& t = tags_[k];
      if (t.closing) continue;
      if (t.name == "xidtype" || t.name == "xidunion") sizes_[t.attrs.at("name")] = 4;
      if (t.name == "typedef") sizes_[t.attrs.at("newname")] = sizes_[t.attrs.at("oldname")];
      if (t.name == "struct") structs_[t.attrs.at("name")] = k;
      // The one union (ClientMessage data) fills an event's 20 data bytes.
      if (t.name == "union") sizes_[t.attrs.at("name")] = 20;
      if (t.name == "request") requests_[std::stoi(t.attrs.at("opcode"))] = k;
      if (t.name == "event") events_[std::stoi(t.attrs.at("number"))] = k;
      if (t.name == "eventcopy") events_[std::stoi(t.attrs.at("number"))] = eventByName(t.attrs.at("ref"));
      if (t.name == "event" || t.name == "eventcopy") eventNames_[std::stoi(t.attrs.at("number"))] = t.attrs.at("name");
    }
  }

 public:
  // The fixed part of a request, of its reply (or none) and of an event.
  FixedPart request(size_t at) const {
    if (tags_[at].selfClosing) return FixedPart{{}, 4};
    return fixedPart(at + 1, 4, true);
  }
  // An extension's request: byte 1 is the minor opcode, fields start at 4.
  FixedPart extensionRequest(size_t at) const {
    if (tags_[at].selfClosing) return FixedPart{{}, 4};
    FixedPart m = fixedPart(at + 1, 0, false);
    for (Field& f : m.fields) f.offset += 4;
    m.size += 4;
    return m;
  }
  bool hasReply(size_t at) const { return !tags_[at].selfClosing && replyTag(at) != 0; }
  std::string name(size_t at) const { return tags_[at].attrs.at("name"); }
  // By number: an event copied from another carries its own name.
  std::string eventName(int number) const { return eventNames_.at(number); }
  FixedPart reply(size_t at) const { return fixedPart(replyTag(at) + 1, 8, true); }
  FixedPart event(size_t at) const {
    bool sequence = tags_[at].attrs.count("no-sequence-number") == 0;
    return fixedPart(at + 1, sequence ? 4 : 1, sequence);
  }

 private:
  size_t eventByName(const std::string& name) const {
    for (size_t k = 0; k < tags_.size(); k++) {
      if (tags_[k].name == "event" && !tags_[k].closing && tags_[k].attrs.at("name") == name) return k;
    }
    return 0;
  }
  size_t replyTag(size_t at) const {
    for (size_t k = at + 1; k < tags_.size() && !(tags_[k].closing && tags_[k].name == "request"); k++) {
      if (tags_[k].name == "reply" && !tags_[k].closing) return k;
    }
    return 0;
  }
  // Fields from tag `from` until the first variable element or the end of
  // the enclosing element. The first 1-byte field takes byte 1; the header
  // (of `header` bytes) continues after it.
  FixedPart fixedPart(size_t from, uint32_t header, bool headerByte1) const {
    FixedPart m;
    m.size = headerByte1 ? 1 : 0;
    bool first = true;
    for (size_t k = from; k < tags_.size(); k++) {
      const Tag& t = tags_[k];
      if (t.closing || t.name == "list" || t.name == "switch" || t.name == "valueparam" ||
          t.name == "exprfield" || t.name == "reply" || t.name == "doc" || (t.name == "pad" && t.attrs.count("align"))) {
        break;
      }
      if (t.name != "field" && t.name != "pad") continue;
      uint32_t width = t.name == "pad" ? std::stoul(t.attrs.at("bytes")) : sizeOf(t.attrs.at("type"));
      if (first && headerByte1) {
        first = false;
        if (width == 1) {
          if (t.name == "field") m.fields.push_back({1, 1, t.attrs.at("type"), t.attrs.at("name")});
          m.size = header;
          continue;
        }
        m.size = header;
      }
      first = false;
      if (t.name == "field") {
        addField(&m, m.size, t.attrs.at("type"));
        if (!m.fields.empty() && m.fields.back().offset == m.size) m.fields.back().name = t.attrs.at("name");
      }
      m.size += width;
    }
    if (m.size < header) m.size = header;
    return m;
  }
  // Adds the field (a struct's fields one by one) at `offset`; returns its size.
  uint32_t addField(FixedPart* m, uint32_t offset, const std::string& type) const {
    auto s = structs_.find(type);
    if (s == structs_.end()) {
      auto it = sizes_.find(type);
      if (it == sizes_.end()) ADD_FAILURE() << "unknown type " << type;
      uint32_t size = it == sizes_.end() ? 0 : it->second;
      if (m) m->fields.push_back({offset, size, type});
      return size;
    }
    uint32_t size = 0;
    for (size_t k = s->second + 1; !(tags_[k].closing && tags_[k].name == "struct") && tags_[k].name != "doc"; k++) {
      if (tags_[k].name == "field") size += addField(m, offset + size, tags_[k].attrs.at("type"));
      if (tags_[k].name == "pad" && tags_[k].attrs.count("bytes")) size += std::stoul(tags_[k].attrs.at("bytes"));
    }
    return size;
  }
  uint32_t sizeOf(const std::string& type) const { return addField(nullptr, 0, type); }

  std::vector<Tag> tags_;
  std::map<std::string, uint32_t> sizes_;
  std::map<std::string, size_t> structs_;
  std::map<int, size_t> requests_;
  std::map<int, size_t> events_;
  std::map<int, std::string> eventNames_;
};


// Zeroes the bytes of a reply that its description leaves unused (pads,
// and the unused data byte): servers fill them with whatever they had.
void clearUnusedReplyBytes(const FixedPart& reply, std::vector<uint8_t>* message);

}  // namespace palvon::test
