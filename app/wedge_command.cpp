// tolvaris wedge SCENE --set NAME=V1,V2 [--set ...] [--pairs] -o DIR: bakes one scene several times
// with a few settings of its domain varied, then makes a contact sheet and an index of the
// variants. Each variant is a scene file of its own in DIR (named after its settings, with a
// cache id of its own) baked by a copy of this program, `--jobs K` of them at once here, or one
// Slurm array task each with --farm slurm. `tolvaris wedge-sheet DIR` makes the sheet and the
// index of what the bakes left: the wedge runs it itself here, the farm as a follow-up job.
#include <filesystem>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <thread>

#include "app/command.h"
#include "app/domain_command.h"
#include "app/farm.h"
#include "app/processes.h"
#include "app/wedge_plan.h"
#include "host/core/platform.h"
#include "host/core/text.h"
#include "host/plugins/publish.h"
#include "host/scene/objects.h"
#include "host/scene/param_block.h"
#include "host/scene_file/scene_file.h"

namespace app {

namespace {

namespace fs = std::filesystem;

constexpr size_t kMaxVariants = 1000;
// The common options for copies of this program: the documents folder pinned even when it is
// the default, so that every bake (and every farm node) uses the one this run uses.
std::vector<std::string> ProgramArgs(const Session& session) {
  std::vector<std::string> args{ProgramFile().string()};
  bool documents = false;
  for (const std::string& a : session.commonArgs) documents = documents || a == "--documents";
  std::error_code ec;
  if (!documents && fs::is_directory(host::DocumentsFolder(), ec))
    args.insert(args.end(), {"--documents", host::DocumentsFolder().string()});
  args.insert(args.end(), session.commonArgs.begin(), session.commonArgs.end());
  return args;
}

// A cache id of the variant's own, from its scene file's path (FNV-1a, then mixed).
std::string VariantCacheId(const fs::path& scene) {
  uint64_t h = 0xcbf29ce484222325ull;
  for (const char c : scene.string()) h = (h ^ uint8_t(c)) * 0x100000001b3ull;
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdull;
  h ^= h >> 33;
  return host::Format("0x%016llx", static_cast<unsigned long long>(h));
}

// File settings written relative to the scene's folder would point elsewhere from the wedge's
// folder: every node's file settings become absolute. The domain's events file, when left to its
// default beside the scene, is named explicitly if it is there.
void AnchorFileSettings(host::Scene& scene, host::Node& domain) {
  for (const auto& node : scene.Nodes()) {
    host::Object* obj = node->GetObject();
    for (int b = 0; obj && b < obj->NumParamBlocks(); ++b) {
      host::ParamBlock& block = *obj->GetParamBlock(b);
      for (const host::ParamDef& def : block.Desc().params) {
        if (def.type != host::ParamType::Filename) continue;
        const std::string value = block.GetString(def.id, 0).value_or("");
        if (!value.empty()) block.SetString(def.id, 0, scene.ResolvePath(value).lexically_normal().string());
      }
    }
  }
  const host::ParamRef events = host::FindParam(*domain.GetObject(), "eventsFile");
  if (!events || !events.block->GetString(events.id, 0).value_or("").empty()) return;
  const fs::path file = scene.FilePath().parent_path() / (scene.FilePath().stem().string() + "_cyclone/events.txt");
  std::error_code ec;
  if (fs::is_regular_file(file, ec)) events.block->SetString(events.id, 0, file.string());
}

// Variants sharing a set cache or output folder would overwrite each other: each gets a
// subfolder of it named after the variant.
void SeparateFolders(host::Object& domain, const std::string& variant) {
  for (const char* name : {"cachePath", "outPath", "vdbPath"}) {
    const host::ParamRef p = host::FindParam(domain, name);
    const std::string value = p ? p.block->GetString(p.id, 0).value_or("") : "";
    if (!value.empty()) p.block->SetString(p.id, 0, (fs::path(value) / variant).string());
  }
}

// "30,60,90": frames of the domain's range, each once.
bool ParseFrameList(const std::string& text, int start, int end, std::vector<int>& frames, std::string* message) {
  std::stringstream items(text);
  std::string item;
  while (std::getline(items, item, ',')) {
    int f = 0, unused = 0;
    if (!ParseFrames(item + ":0", f, unused) || f < start || f > end) {
      *message = "--sheet-frames: \"" + item + "\" is not a frame of the domain's range " + std::to_string(start) +
                 " to " + std::to_string(end);
      return false;
    }
    frames.push_back(f);
  }
  if (frames.empty()) *message = "--sheet-frames: no frames given";
  return !frames.empty();
}

// Four frames spread over the range, its last among them.
std::vector<int> DefaultSheetFrames(int start, int end) {
  std::set<int> frames;
  for (int i = 1; i <= 4; ++i) frames.insert(start + int(int64_t(end - start) * i / 4));
  return {frames.begin(), frames.end()};
}

class WedgeCommand : public DomainCommand {
 public:
  const char* Name() const override { return "wedge"; }
  const char* Summary() const override { return "bake a scene with a few settings of its domain varied, and a contact sheet"; }

  void Define(CLI::App& command) override {
    DefineScene(command);
    command.add_option("--set", sets_, "a setting of the domain and its values, NAME=V1,V2,... (repeatable)")
        ->required()
        ->type_name("NAME=V1,V2");
    command.add_flag("--pairs", pairs_, "take the lists side by side instead of every combination");
    command.add_option("-o,--output", output_, "the wedge's folder: scene files, logs, sheet and index")
        ->required()
        ->type_name("DIR");
    command.add_option("--sheet-frames", sheetFrames_, "the frames the contact sheet shows (default: four spread over the range)")
        ->type_name("F1,F2");
    command.add_option("--jobs", jobs_, "bake K variants at once here (the threads divided among them)")
        ->type_name("K")
        ->check(CLI::Range(1, 64));
    command.add_option("--farm", farm_.farm, "hand the bakes to a job scheduler")->check(CLI::IsMember({"slurm"}));
    command.add_option("--partition", farm_.partition, "with --farm, the Slurm partition")->type_name("P");
    command.add_flag("--dry-run", farm_.dryRun, "with --farm, write the job scripts and submit nothing");
    command.footer(
        "Each variant is DIR/<scene>_<name>-<value>....json with a cache of its own, baked with the domain's "
        "outputs. DIR/sheet.png shows the --sheet-frames of every variant, "
        "DIR/index.json lists settings, cache folder, frames baked, ms per frame and result.\nWith --farm slurm, "
        "DIR and the caches must be on a folder every node sees.\nExit status: 0 every variant baked, 1 a variant "
        "failed (the others still bake) or a file could not be written, 2 wrong command line, 3 sbatch not found, "
        "4 sbatch refused a job, 130 stopped by Ctrl-C.");
  }

  int Run(Session& session) override;

 private:
  bool CheckOptions(host::Node& domain, int* status);
  bool WriteVariants(Session& session, WedgePlan& plan, int* status);
  int RunHere(Session& session, const WedgePlan& plan) const;
  int Submit(Session& session, const WedgePlan& plan) const;

  std::vector<std::string> sets_;
  bool pairs_ = false;
  std::string output_;
  std::string sheetFrames_;
  int jobs_ = 1;
  FarmOptions farm_;
  std::vector<WedgeSetting> settings_;
  std::vector<WedgeVariant> variants_;
  std::vector<int> frames_;
};

// Everything about the command line that can be checked before anything runs. False with the
// reason reported and the status set.
bool WedgeCommand::CheckOptions(host::Node& domain, int* status) {
  std::string message;
  std::vector<std::string> notes;
  std::set<std::string> names;
  *status = kExitUsage;
  if (!farm_.farm.empty() && jobs_ != 1) message = "--jobs: bakes here only; with --farm each variant is a task";
  if (farm_.farm.empty() && (farm_.dryRun || !farm_.partition.empty()))
    message = std::string(farm_.dryRun ? "--dry-run" : "--partition") + " needs --farm slurm";
  for (const std::string& text : sets_) {
    if (!message.empty()) break;
    WedgeSetting s;
    if (ParseSetOption(text, s, &message) && CheckSetting(*domain.GetObject(), s, &notes, &message) &&
        !names.insert(s.name).second)
      message = "--set " + s.name + ": given twice";
    settings_.push_back(std::move(s));
  }
  const int start = IntSetting(domain, "startFrame"), end = IntSetting(domain, "endFrame");
  if (message.empty())
    MakeVariants(fs::path(scene_).stem().string(), settings_, pairs_, kMaxVariants, variants_, &message);
  if (message.empty()) {
    if (sheetFrames_.empty())
      frames_ = DefaultSheetFrames(start, end);
    else
      ParseFrameList(sheetFrames_, start, end, frames_, &message);
  }
  if (!message.empty()) {
    Report(message);
    return false;
  }
  for (const std::string& n : notes) Report(n);
  *status = kExitOk;
  return true;
}

// Writes one scene file per variant (from a fresh load of the scene each) and the plan.
bool WedgeCommand::WriteVariants(Session& session, WedgePlan& plan, int* status) {
  for (const WedgeVariant& v : variants_) {
    host::Node* node = nullptr;
    if (!LoadScene(session, status) || !(node = ChooseDomain(session, "wedge", status))) return false;
    host::Object& domain = *node->GetObject();
    const fs::path file = fs::path(plan.folder) / (v.name + ".json");
    // A result left by an earlier wedge into this folder must not stand for this one's bake.
    std::error_code ec;
    fs::remove(fs::path(plan.folder) / (v.name + ".result"), ec);
    AnchorFileSettings(session.scene, *node);
    SeparateFolders(domain, v.name);
    std::string error;
    if (!ApplyVariant(domain, v, session.scene.time.currentTime)) error = "a value of " + v.name + " did not take";
    if (error.empty() && !domain.LoadData(nlohmann::json{{"cacheId", VariantCacheId(file)}}, &error))
      error = "the domain refused its cache id: " + error;
    if (error.empty() && !host::SaveScene(session.scene, file, &error)) error = "cannot write " + file.string() + ": " + error;
    if (!error.empty()) {
      Report(error);
      *status = kExitFailed;
      return false;
    }
    plan.variants.push_back({v, file.string(), OpsText(kOpsCacheFolder, {node}), IntSetting(*node, "startFrame"),
                             IntSetting(*node, "endFrame")});
  }
  plan.domain = domain_;
  std::string error;
  if (!WritePlan(plan, &error)) {
    Report(error);
    *status = kExitFailed;
    return false;
  }
  return true;
}

int WedgeCommand::Run(Session& session) {
  int status = kExitOk;
  host::Node* node = OpenDomain(session, "wedge", &status);
  if (!node || !CheckOptions(*node, &status)) return status;
  const std::string domainName = node->Name();
  std::error_code ec;
  fs::create_directories(output_, ec);
  if (!fs::is_directory(output_, ec)) {
    Report("-o: cannot create the folder \"" + output_ + "\"");
    return kExitFailed;
  }
  WedgePlan plan;
  plan.folder = fs::absolute(output_, ec).lexically_normal().string();
  plan.sheetFrames = frames_;
  if (domain_.empty()) domain_ = domainName;
  if (!WriteVariants(session, plan, &status)) return status;
  std::cout << "Wedge of " << plan.variants.size() << " variants in " << plan.folder << std::endl;
  return farm_.farm.empty() ? RunHere(session, plan) : Submit(session, plan);
}

// Bakes the variants here, `jobs_` at a time, each with its share of the threads; then the sheet.
int WedgeCommand::RunHere(Session& session, const WedgePlan& plan) const {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const std::string threads = "OMP_NUM_THREADS=" + std::to_string(std::max(1u, cores / unsigned(jobs_)));
  std::map<pid_t, std::pair<size_t, double>> running;  // pid -> variant, start
  size_t next = 0, done = 0;
  auto finish = [&](size_t index, int code, double start) {
    const PlannedVariant& v = plan.variants[index];
    std::string message;
    if (!WriteResult(ResultFile(plan, v), code, (host::HighResSeconds() - start) * 1000.0, &message)) Report(message);
    std::cerr << "wedge: " << v.variant.name << (code == 0 ? " baked" : " failed (exit " + std::to_string(code) + ")")
              << " [" << ++done << " of " << plan.variants.size() << "]" << std::endl;
  };
  while (next < plan.variants.size() || !running.empty()) {
    while (next < plan.variants.size() && running.size() < size_t(jobs_) && !host::StopRequested()) {
      std::vector<std::string> args = ProgramArgs(session);
      args.insert(args.end(), {"simulate", plan.variants[next].scene, "--domain", plan.domain});
      std::string message;
      const double start = host::HighResSeconds();
      const pid_t pid = StartLogged(args, LogFile(plan, plan.variants[next]), {threads}, &message);
      if (pid < 0) {
        Report(message);
        finish(next, kExitFailed, start);
      } else {
        running[pid] = {next, start};
      }
      ++next;
    }
    if (running.empty()) break;  // stopped before the rest started
    int code = 0;
    const pid_t pid = WaitAny(&code);
    const auto it = running.find(pid);
    if (it == running.end()) continue;
    finish(it->second.first, code, it->second.second);
    running.erase(it);
  }
  const int sheet = MakeSheetAndIndex(session, plan);
  return host::StopRequested() ? kExitInterrupted : sheet;
}

// Writes the array of bakes and the follow-up job that makes the sheet, and submits them.
int WedgeCommand::Submit(Session& session, const WedgePlan& plan) const {
  const fs::path farm = fs::path(plan.folder) / "farm";
  std::error_code ec;
  fs::create_directories(farm, ec);
  std::vector<std::string> program = ProgramArgs(session);
  std::string command;
  for (const std::string& a : program) command += ShellQuote(a) + " ";
  std::string names = "names=(";
  for (const PlannedVariant& v : plan.variants) names += ShellQuote(v.variant.name) + " ";
  names.back() = ')';
  const std::string dir = ShellQuote(plan.folder);
  const std::string bake = names + "\nname=${names[${SLURM_ARRAY_TASK_ID:?not started as a job array task}]}\n" +
      "start=$(date +%s%N)\n" + command + "simulate " + dir + "/\"$name.json\" --domain " + ShellQuote(plan.domain) +
      " > " + dir + "/\"$name.log\" 2>&1\nstatus=$?\nend=$(date +%s%N)\n" +
      "printf '%d %d\\n' \"$status\" \"$(( (end - start) / 1000000 ))\" > " + dir + "/\"$name.result.part\" && mv -f " +
      dir + "/\"$name.result.part\" " + dir + "/\"$name.result\"\nexit \"$status\"\n";
  const std::string sheet = "exec " + command + "wedge-sheet " + dir + "\n";
  const fs::path bakeScript = farm / "bake.sbatch", sheetScript = farm / "sheet.sbatch";
  std::string message;
  if (!WriteScript(bakeScript, BatchScript("tolvaris-wedge", int(plan.variants.size()), farm_.partition,
                                           farm / "bake_%a.out", bake), &message) ||
      !WriteScript(sheetScript, BatchScript("tolvaris-wedge-sheet", 0, farm_.partition, farm / "sheet.out", sheet),
                   &message)) {
    Report(message);
    return kExitFailed;
  }
  if (farm_.dryRun) {
    std::cout << "Wrote " << bakeScript.string() << " and " << sheetScript.string() << " (not submitted)" << std::endl;
    return kExitOk;
  }
  int status = kExitOk;
  const std::string bakes = app::Submit(bakeScript, "", &status);
  if (bakes.empty()) return status;
  const std::string after = app::Submit(sheetScript, bakes, &status);
  if (after.empty()) return status;
  std::cout << "Submitted job " << bakes << " (" << plan.variants.size() << " bakes) and job " << after
            << " (the sheet and the index, after them)" << std::endl;
  return kExitOk;
}

class WedgeSheetCommand : public Command {
 public:
  const char* Name() const override { return "wedge-sheet"; }
  const char* Summary() const override { return "make the contact sheet and the index of a wedge's bakes"; }
  void Define(CLI::App& command) override {
    command.add_option("DIR", folder_, "the wedge's folder (-o of tolvaris wedge)")->required()->type_name("DIR");
    command.footer("Exit status: 0 every variant baked, 1 a variant failed or a file could not be written, 2 wrong "
                   "command line.");
  }
  int Run(Session& session) override {
    WedgePlan plan;
    std::string message;
    if (!ReadPlan(folder_, plan, &message)) {
      Report(message);
      return kExitFailed;
    }
    return MakeSheetAndIndex(session, plan);
  }

 private:
  std::string folder_;
};

}  // namespace

std::unique_ptr<Command> MakeWedgeCommand() { return std::make_unique<WedgeCommand>(); }
std::unique_ptr<Command> MakeWedgeSheetCommand() { return std::make_unique<WedgeSheetCommand>(); }

}  // namespace app
