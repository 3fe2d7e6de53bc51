// The start-up's head steps against real servers, for tests of opening,
// settings, reconciliation and probing: a configuration text names the
// Xvfb displays by placeholder (@0, @1 ...), the rig opens every head,
// applies their blocks, reconciles and probes, and frees all of it again.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "Proxy/config/config.h"
#include "Proxy/heads/screen.h"
#include "support/tempdir.h"
#include "support/xvfb.h"

namespace palvon::test {

class HeadsRig {
 public:
  // Starts one Xvfb per argument list.
  explicit HeadsRig(const std::vector<std::vector<std::string>>& servers);
  ~HeadsRig();
  HeadsRig(const HeadsRig&) = delete;
  HeadsRig& operator=(const HeadsRig&) = delete;

  bool ok() const;
  const Xvfb& server(size_t i) const { return *servers_[i]; }
  std::string display(size_t i) const { return servers_[i]->display(); }

  // Parses the text ("@n" becomes server n's display name) and makes the
  // meta screens. "" or the parse error.
  std::string configure(const std::string& text);
  // The start-up's steps up to `stage`: 1 open heads, 2 apply settings,
  // 3 reconcile, 4 probe. "" or the first error.
  std::string start(int stage = 4);
  // A reset cycle: close the heads, then reconcile and probe again.
  std::string reset();
  // Frees every head, display, meta screen and the configuration.
  void stop();

  // By position: the first meta screen is 0.
  Head* head(u32 screen, u32 index) const;
  MetaScreen* screen(u32 position) const;
  const TempDir& dir() const { return dir_; }

 private:
  std::vector<std::unique_ptr<Xvfb>> servers_;
  TempDir dir_;
  bool running_ = false;
};

// "xwininfo -root -tree" of a display, one line per window: the window's
// id text, its geometry "WxH+X+Y" and its absolute position.
struct TreeWindow {
  unsigned long id;
  std::string line;
  int width, height, x, y;  // relative to the parent
};
std::vector<TreeWindow> windowTree(const std::string& display);
// The entry of the window with that id; null when missing.
const TreeWindow* findWindow(const std::vector<TreeWindow>& tree, unsigned long id);

}  // namespace palvon::test
