// The commands that work from a domain's cache after the bake, as an artist does with the buttons
// of the domain's panel or its scripting interface:
//
//   tolvaris export-vdb SCENE [--domain NAME]
//   tolvaris preview SCENE --frame N [--domain NAME]
//   tolvaris composite SCENE --frame N --background IMG --output OUT.png [--domain NAME]
//
// The preview and the composite render from the domain's preview camera when it has one, else
// from the program's active view: the scene's first camera, or a view from the front that shows
// the whole domain when the scene has no camera.
#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <iostream>

#include "app/command.h"
#include "app/domain_command.h"
#include "app/farm.h"
#include "app/processes.h"
#include "host/core/platform.h"
#include "host/scene/objects.h"
#include "host/scene/param_block.h"
#include "host/plugins/publish.h"
#include "host/scene/scene_view.h"
#include "host/view/viewport.h"

namespace app {

namespace {

namespace fs = std::filesystem;

// --frames A:B of a baked range and the farm's options, shared by export-vdb and preview.
class RangeOptions {
 public:
  void Define(CLI::App& command, const char* what) {
    command.add_option("--frames", frames_, std::string("only these frames of the domain's range, A to B: ") + what)
        ->type_name("A:B");
    command.add_option("--farm", farm_.farm, "split the range into Slurm array tasks")->check(CLI::IsMember({"slurm"}));
    command.add_option("--chunk", chunk_, "with --farm, frames per task")->type_name("N")->check(CLI::Range(1, 100000));
    command.add_option("--partition", farm_.partition, "with --farm, the Slurm partition")->type_name("P");
    command.add_flag("--dry-run", farm_.dryRun, "with --farm, write the job script and submit nothing");
  }
  // The command line's own checks, before the scene is read. False with the reason reported.
  bool CheckLine() const {
    int a = 0, b = 0;
    std::string message;
    if (!frames_.empty() && !ParseFrames(frames_, a, b))
      message = "--frames: expected A:B, two frames from -100000 to 100000, found \"" + frames_ + "\"";
    else if (!farm_.farm.empty() && chunk_ == 0)
      message = "--farm slurm needs --chunk N, the frames of one task";
    else if (farm_.farm.empty() && (chunk_ != 0 || farm_.dryRun || !farm_.partition.empty()))
      message = "--chunk, --partition and --dry-run need --farm slurm";
    if (!message.empty()) Report(message);
    return message.empty();
  }
  bool Given() const { return !frames_.empty(); }
  bool Farm() const { return !farm_.farm.empty(); }
  // The range: --frames, else the domain's; it must lie in the domain's range. False (reported)
  // when it does not.
  bool Resolve(const host::Node& domain, int& from, int& to) const {
    const int start = IntSetting(domain, "startFrame"), end = IntSetting(domain, "endFrame");
    from = start, to = end;
    if (frames_.empty()) return true;
    ParseFrames(frames_, from, to);
    if (from <= to && from >= start && to <= end) return true;
    Report("--frames: " + frames_ + " is not a range within the domain's frames " + std::to_string(start) + " to " +
           std::to_string(end));
    return false;
  }
  // Writes <cache>/farm/<command>.sbatch whose task k runs the command on the k-th chunk of the
  // range, and submits it (unless --dry-run). The exit status.
  int SubmitChunks(Session& session, host::Node* node, const std::string& scene, const std::string& command,
                   const std::vector<std::string>& more, int from, int to) const {
    const fs::path farm = fs::path(OpsText(kOpsCacheFolder, {node})) / "farm";
    std::error_code ec;
    fs::create_directories(farm, ec);
    std::string line = "exec " + ShellQuote(ProgramFile().string()) + " ";
    for (const std::string& a : session.commonArgs) line += ShellQuote(a) + " ";
    line += command + " " + ShellQuote(fs::absolute(scene, ec).string()) + " --domain " + ShellQuote(node->Name());
    for (const std::string& a : more) line += " " + ShellQuote(a);
    int tasks = 0;
    const std::string body = ChunkLines(from, to, chunk_, &tasks) + line + " --frames \"$a:$b\"\n";
    const fs::path script = farm / (command + ".sbatch");
    std::string message;
    if (!WriteScript(script, BatchScript("tolvaris-" + command, tasks, farm_.partition, farm / (command + "_%a.out"), body),
                     &message)) {
      Report(message);
      return kExitFailed;
    }
    if (farm_.dryRun) {
      std::cout << "Wrote " << script.string() << " (" << tasks << " tasks, not submitted)" << std::endl;
      return kExitOk;
    }
    int status = kExitOk;
    const std::string job = Submit(script, "", &status);
    if (!job.empty()) std::cout << "Submitted job " << job << " (" << tasks << " tasks of frames " << from << " to " << to << ")" << std::endl;
    return status;
  }

 private:
  std::string frames_;
  int chunk_ = 0;
  FarmOptions farm_;
};

class ExportVdbCommand : public DomainCommand {
 public:
  const char* Name() const override { return "export-vdb"; }
  const char* Summary() const override { return "write one VDB file per cached frame of a scene's TolvarisFire domain"; }

  void Define(CLI::App& command) override {
    DefineScene(command);
    range_.Define(command, "chunks of one export write the files the whole export writes");
    command.footer(
        "The files go to the domain's vdbPath, else its outPath, else the out folder of its cache, named after the "
        "domain node. Ctrl-C stops after the file in progress; the files written stay.\nExit status: 0 exported, "
        "1 failed or nothing cached (the reason on stderr), 2 wrong command line, 130 stopped by Ctrl-C.");
  }

  int Run(Session& session) override {
    if (!range_.CheckLine()) return kExitUsage;
    int status = kExitOk;
    host::Node* node = OpenDomain(session, "export", &status);
    if (!node) return status;
    int from = 0, to = 0;
    if (!range_.Resolve(*node, from, to)) return kExitUsage;
    if (range_.Farm()) return range_.SubmitChunks(session, node, scene_, "export-vdb", {}, from, to);
    // The export covers the domain's range; for a part of it the range is narrowed in this run
    // only (the scene file is not written).
    if (range_.Given() && !(SetIntSetting(*node, "startFrame", from) && SetIntSetting(*node, "endFrame", to))) {
      Report("the domain has no frame range to narrow");
      return kExitFailed;
    }
    return PressButton(session, node, kExportVdbButton, "Export VDB");
  }

 private:
  RangeOptions range_;
};

// The preview and the composite: SCENE, --domain and --frame; the scene at that frame with a view
// to render from.
class FrameCommand : public DomainCommand {
 protected:
  void DefineFrameScene(CLI::App& command) {
    DefineScene(command);
    DefineFrame(command, frame_);
    DefineDisplayChoice(command);
  }
  host::Node* OpenAtFrame(Session& session, int* status) const {
    host::Node* node = OpenDomain(session, "render", status);
    if (!node || !ShowFrame(session, node, frame_, status)) return nullptr;
    EnsureActiveView(session, *node);
    return node;
  }

  int frame_ = -1000000;  // none given
};

class PreviewCommand : public FrameCommand {
 public:
  const char* Name() const override { return "preview"; }
  const char* Summary() const override { return "render a frame of a scene's TolvarisFire domain to preview_N.png"; }

  void Define(CLI::App& command) override {
    DefineFrameScene(command);
    command.get_option("--frame")->required(false);
    range_.Define(command, "a flipbook of the cached frames in -o DIR");
    command.add_option("-o,--output", output_, "with --frames, the flipbook's folder")->type_name("DIR");
    command.add_option("--width", width_, "render W pixels wide instead of the domain's previewWidth")->type_name("W");
    command.footer(
        "Renders frame N from the domain's preview camera, else the scene's first camera, else a view of the whole "
        "domain from the front, and saves it as preview_N.png in the domain's cache folder. The frame is the one "
        "the domain shows: the cached one with Live off (or --cache), else the live one, the timeline followed up "
        "to N.\nWith --frames A:B -o DIR every cached frame of the range is rendered to DIR, named as the bake names "
        "its previews (Fire_preview_0012.png); --farm slurm --chunk N splits the range into array tasks.\nExit "
        "status: 0 rendered, 1 failed (the reason on stderr), 2 wrong command line, 130 stopped by Ctrl-C.");
  }

  int Run(Session& session) override {
    if (!CheckLine()) return kExitUsage;
    int status = kExitOk;
    if (!range_.Given() && !range_.Farm()) {
      host::Node* node = OpenAtFrame(session, &status);
      if (!node) return status;
      if (!SetWidth(*node)) return kExitFailed;
      return PressButton(session, node, kPreviewButton, "Preview render");
    }
    host::Node* node = OpenDomain(session, "render", &status);
    if (!node) return status;
    int from = 0, to = 0;
    if (!range_.Resolve(*node, from, to)) return kExitUsage;
    if (range_.Farm()) {
      std::vector<std::string> more{"-o", fs::absolute(output_).string()};
      if (width_ != 0) more.insert(more.end(), {"--width", std::to_string(width_)});
      return range_.SubmitChunks(session, node, scene_, "preview", more, from, to);
    }
    if (!SetWidth(*node)) return kExitFailed;
    return Flipbook(session, node, from, to);
  }

 private:
  bool CheckLine() const {
    if (!range_.CheckLine()) return false;
    std::string message;
    const bool range = range_.Given() || range_.Farm();
    if (width_ != 0 && (width_ < 64 || width_ > 8192))
      message = "--width: the renderer draws images 64 to 8192 pixels wide, not " + std::to_string(width_);
    else if (range == (frame_ != kNoFrame))
      message = range ? "--frame and --frames (or --farm): give one of them" : "--frame N or --frames A:B is required";
    else if (range && output_.empty())
      message = "--frames: -o DIR names the flipbook's folder";
    else if (!range && !output_.empty())
      message = "-o: only with --frames; a single preview goes beside the cache";
    else if (range && live_)
      message = "--frames renders the cached frames of a bake; --live shows one frame";
    if (!message.empty()) Report(message);
    return message.empty();
  }

  // --width for this run only: the domain's previewWidth (the scene file is not written).
  bool SetWidth(host::Node& node) const {
    if (width_ == 0) return true;
    if (SetIntSetting(node, "previewWidth", width_)) return true;
    Report("the domain has no previewWidth setting");
    return false;
  }

  // Renders every cached frame of the range to the output folder; frames missing from the
  // cache are skipped, as the export skips them.
  int Flipbook(Session& session, host::Node* node, int from, int to) {
    std::error_code ec;
    fs::create_directories(output_, ec);
    if (!fs::is_directory(output_, ec)) {
      Report("-o: cannot create the folder \"" + output_ + "\"");
      return kExitFailed;
    }
    SetLiveMode(*node, 0);
    EditDomain(session, node);
    EnsureActiveView(session, *node);
    const fs::path cache = OpsText(kOpsCacheFolder, {node});
    ProgressLine progress;
    int written = 0;
    for (int f = from; f <= to; ++f) {
      if (host::StopRequested()) {
        progress.Finish();
        Report("stopped by Ctrl-C after " + std::to_string(written) + " images");
        return kExitInterrupted;
      }
      if (!fs::is_regular_file(cache / FrameFileName("fire", f, "tfc"), ec)) continue;
      session.scene.time.currentTime = session.scene.time.FrameToTicks(f);
      const fs::path file = fs::path(output_) / fs::path(OpsText(kOpsPreviewFile, {node, f})).filename();
      host::Value ok;
      std::string message;
      if (!CallOps(kOpsRenderPreview, {node, file.string()}, ok, &message)) return kExitFailed;
      if (ok.Type() != host::FPType::Bool || !ok.AsBool()) {
        progress.Finish();
        Report(message);
        return kExitFailed;
      }
      ++written;
      progress.OnProgress(message.substr(0, message.find('\n')), f - from + 1, to - from + 1);
    }
    progress.Finish();
    if (written == 0) {
      Report("No cached frames between " + std::to_string(from) + " and " + std::to_string(to) + " - simulate first.");
      return kExitFailed;
    }
    std::cout << written << " preview image" << (written == 1 ? "" : "s") << " in " << output_ << std::endl;
    return kExitOk;
  }

  static constexpr int kNoFrame = -1000000;
  RangeOptions range_;
  std::string output_;
  int width_ = 0;
};

class CompositeCommand : public FrameCommand {
 public:
  const char* Name() const override { return "composite"; }
  const char* Summary() const override { return "render a frame of a scene's TolvarisFire domain over a background image"; }

  void Define(CLI::App& command) override {
    DefineFrameScene(command);
    command.add_option("--background", background_, "the image to composite over (PNG or JPEG); it sets the size")
        ->required()
        ->type_name("IMG");
    command.add_option("--output", output_, "the PNG file to write")->required()->type_name("OUT.png");
    command.footer(
        "Renders frame N as the preview does, at the background's size, and writes it over the "
        "background to OUT.png.\nExit status: 0 written, 1 failed (the reason on stderr), 2 wrong command line.");
  }

  int Run(Session& session) override {
    int status = kExitOk;
    host::Node* node = OpenAtFrame(session, &status);
    if (!node) return status;
    host::Value result;
    std::string message;
    if (!CallOps(kOpsCompositeOver, {node, background_, output_}, result, &message)) return kExitFailed;
    const bool ok = result.Type() == host::FPType::Bool && result.AsBool();
    if (!ok) {
      Report(message.empty() ? std::string("the composite failed") : message);
      return kExitFailed;
    }
    std::cout << message << std::endl;
    return kExitOk;
  }

 private:
  std::string background_;
  std::string output_;
};

}  // namespace

std::unique_ptr<Command> MakeExportVdbCommand() { return std::make_unique<ExportVdbCommand>(); }
std::unique_ptr<Command> MakePreviewCommand() { return std::make_unique<PreviewCommand>(); }
std::unique_ptr<Command> MakeCompositeCommand() { return std::make_unique<CompositeCommand>(); }

}  // namespace app
