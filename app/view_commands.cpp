// The commands that show what an artist sees in the viewport:
//
//   tolvaris viewport SCENE --frame N [--size WxH] [--domain NAME] [--cache | --live] -o VIEW.png
//   tolvaris live SCENE --frames A:B [--domain NAME] [--every K -o DIR]
//
// `viewport` draws the scene at frame N: its objects, the domain's box and label and its points,
// from the scene's first camera or a view of the whole scene. `live` plays the time slider from A to
// B as pressing Play would (with liveMode 2 the panel's timer ticks once per frame), prints the live
// text of every frame and, with -o, writes every K-th frame's view as a flipbook.
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <regex>

#include "app/command.h"
#include "app/domain_command.h"
#include "host/core/platform.h"
#include "host/view/raster.h"
#include "host/scene/scene_view.h"

namespace app {

namespace {

namespace fs = std::filesystem;

// "WxH", each side 1 to the rasteriser's largest.
bool ParseSize(const std::string& text, int& width, int& height) {
  static const std::regex pattern(R"((\d{1,5})[xX](\d{1,5}))");
  std::smatch m;
  if (!std::regex_match(text, m, pattern)) return false;
  width = std::stoi(m[1].str());
  height = std::stoi(m[2].str());
  return width >= 1 && height >= 1 && width <= host::kMaxRasterSide && height <= host::kMaxRasterSide;
}

// Draws the scene at its current time and saves it; false with the reason reported.
bool SaveView(host::Scene& scene, int width, int height, const fs::path& file) {
  const host::TimeValue t = scene.time.currentTime;
  host::RgbImage image;
  std::string message;
  if (!host::DrawScene(scene, host::DefaultSceneView(scene, t, width, height), t, image, &message) ||
      !host::SaveRgbPng(image, file, &message)) {
    Report(message);
    return false;
  }
  return true;
}

// The options the view commands share.
class ViewCommandBase : public DomainCommand {
 protected:
  void DefineSize(CLI::App& command) {
    command.add_option("--size", size_, "the image size; default: the scene's render size")->type_name("WxH");
  }
  // The image size; false with the status set for a malformed --size.
  bool ImageSize(const host::Scene& scene, int& width, int& height, int* status) const {
    width = scene.render.width;
    height = scene.render.height;
    if (size_.empty() || ParseSize(size_, width, height)) return true;
    Report("--size: expected WIDTHxHEIGHT, each 1 to " + std::to_string(host::kMaxRasterSide) + ", found \"" + size_ +
           "\"");
    *status = kExitUsage;
    return false;
  }

  std::string size_;
};

class ViewportCommand : public ViewCommandBase {
 public:
  const char* Name() const override { return "viewport"; }
  const char* Summary() const override { return "draw the viewport of a scene at a frame to a PNG image"; }

  void Define(CLI::App& command) override {
    DefineScene(command);
    DefineFrame(command, frame_);
    DefineSize(command);
    DefineDisplayChoice(command);
    command.add_option("-o,--output", output_, "the PNG file to write")->required()->type_name("VIEW.png");
    command.footer(
        "Draws the scene's objects and the TolvarisFire domain (box, label, points of the frame it shows: the "
        "cached one with Live off or --cache, else the live one, the timeline followed up to N) from the scene's "
        "first camera, else a view of the whole scene.\nExit status: 0 drawn, 1 failed (the reason on stderr), 2 "
        "wrong command line, 130 stopped by Ctrl-C.");
  }

  int Run(Session& session) override {
    int status = kExitOk;
    if (!LoadScene(session, &status)) return status;
    // A scene without a domain is drawn all the same.
    host::Node* node = nullptr;
    if (!domain_.empty() || HasDomain(session.scene)) {
      node = ChooseDomain(session, "show", &status);
      if (!node) return status;
    }
    int width = 0, height = 0;
    if (!ImageSize(session.scene, width, height, &status)) return status;
    host::TimeSettings& time = session.scene.time;
    if (node) {
      if (!ShowFrame(session, node, frame_, &status)) return status;
    } else {
      time.currentTime = time.FrameToTicks(frame_);
    }
    if (!SaveView(session.scene, width, height, output_)) return kExitFailed;
    std::cout << "drew " << output_ << " at frame " << frame_ << std::endl;
    return kExitOk;
  }

 private:
  int frame_ = 0;
  std::string output_;
};

class LiveCommand : public ViewCommandBase {
 public:
  const char* Name() const override { return "live"; }
  const char* Summary() const override { return "play the timeline with a TolvarisFire domain's live mode"; }

  void Define(CLI::App& command) override {
    DefineScene(command);
    command.add_option("--frames", frames_, "the frames to play, A to B (backwards when B < A)")
        ->required()
        ->type_name("A:B");
    command.add_option("--every", every_, "with -o, draw every K-th frame")->type_name("K")->check(CLI::Range(1, 100000));
    command.add_option("-o,--output", output_, "write the views as DIR/view_NNNN.png")->type_name("DIR");
    DefineSize(command);
    command.footer(
        "Plays the time slider from A to B as pressing Play would, with the domain's live mode on (a domain with "
        "Live off follows the timeline). With liveMode 2 the panel's timer ticks once per frame instead. Prints the "
        "live text of every frame.\nExit status: 0 played, 1 failed (the reason on stderr), 2 wrong command line, "
        "130 stopped by Ctrl-C.");
  }

  int Run(Session& session) override {
    int from = 0, to = 0;
    if (!ParseFrames(frames_, from, to)) {
      Report("--frames: expected A:B, two frames from -100000 to 100000, found \"" + frames_ + "\"");
      return kExitUsage;
    }
    int status = kExitOk;
    host::Node* node = OpenDomain(session, "play", &status);
    if (!node) return status;
    int width = 0, height = 0;
    if (!ImageSize(session.scene, width, height, &status)) return status;
    if (!output_.empty() && !MakeFolder(output_)) return kExitFailed;

    const host::TimeSettings& time = session.scene.time;
    if (LiveModeOf(*node, time.FrameToTicks(from)) == 0) {
      Report("the domain \"" + node->Name() + "\" has Live off; following the timeline for this run");
      SetLiveMode(*node, 1);
    }
    EditDomain(session, node);

    bool failed = false;
    const bool played = PlayFrames(session, from, to, [&](int f) {
      std::cout << "frame " << f << ": " << LiveText() << std::endl;
      if (output_.empty() || std::abs(f - from) % every_ != 0) return true;
      char name[32];
      std::snprintf(name, sizeof name, f < 0 ? "view_m%04d.png" : "view_%04d.png", std::abs(f));
      failed = !SaveView(session.scene, width, height, fs::path(output_) / name);
      return !failed;
    });
    host::TheCommandPanel().EndEdit();
    if (failed) return kExitFailed;
    if (!played) {
      Report("stopped by Ctrl-C");
      return kExitInterrupted;
    }
    return kExitOk;
  }

 private:
  static bool MakeFolder(const std::string& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    if (fs::is_directory(folder, ec)) return true;
    Report("-o: cannot create the folder \"" + folder + "\"");
    return false;
  }

  std::string frames_;
  int every_ = 1;
  std::string output_;
};

}  // namespace

std::unique_ptr<Command> MakeViewportCommand() { return std::make_unique<ViewportCommand>(); }
std::unique_ptr<Command> MakeLiveCommand() { return std::make_unique<LiveCommand>(); }

}  // namespace app
