// What the panel tests share: a listener that records what the panels show and lets a test act
// from inside a running command's message pump, and a folder's listing.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "host/panels/panels.h"
#include "tests/support/temp_folder.h"

namespace tf::testing {

using host::testing::FileNames;

struct Recorder : host::PanelListener {
  void OnStatus(const host::Panel&, const std::string& text) override { status.push_back(text); }
  void OnProgress(const std::string& text, int done, int total) override {
    progress.push_back(text + " | " + std::to_string(done) + "/" + std::to_string(total));
  }
  void OnProcessMessages() override {
    ++pumps;
    if (onPump) onPump();
  }
  std::vector<std::string> status, progress;
  int pumps = 0;
  std::function<void()> onPump;
};


}  // namespace tf::testing
