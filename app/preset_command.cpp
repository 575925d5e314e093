// tolvaris preset list | apply | save: the presets of a TolvarisFire domain, worked as a user works
// the domain's Simulate panel.
//
//   tolvaris preset list                                       the drop-down's entries
//   tolvaris preset apply SCENE NAME|INDEX [--domain NAME] [-o OUT.json]
//   tolvaris preset save SCENE NAME [--domain NAME]            Save mine under NAME
//
// `apply` picks the drop-down entry (by index, or by its text: NAME or "[my] NAME"), presses
// Apply and saves the scene, in place or to OUT.json. `save` types NAME into the name box and
// presses Save mine; the preset file goes to the presets folder of the documents folder.
#include <iostream>
#include <vector>

#include "app/command.h"
#include "app/domain_command.h"
#include "host/objects/class_registry.h"
#include "host/scene/objects.h"
#include "host/scene_file/scene_file.h"

namespace app {

namespace {

// The preset controls of the domain's panel, as a user sees them.
constexpr int kPresetList = 7502;
constexpr int kApplyButton = 7503;
constexpr int kSaveMineButton = 7510;
constexpr int kPresetNameBox = 7511;

// The drop-down entry that `preset` names: a whole number is an index, anything else the entry's
// text, with or without the "[my] " of a user preset. -1 when there is none.
int FindEntry(const std::vector<std::string>& items, const std::string& preset) {
  if (!preset.empty() && preset.size() < 10 && preset.find_first_not_of("0123456789") == std::string::npos) {
    const int index = std::stoi(preset);
    return index < int(items.size()) ? index : -1;
  }
  for (size_t k = 0; k < items.size(); ++k)
    if (items[k] == preset || items[k] == "[my] " + preset) return int(k);
  return -1;
}

class PresetCommand : public DomainCommand {
 public:
  const char* Name() const override { return "preset"; }
  const char* Summary() const override { return "list, apply and save the presets of a TolvarisFire domain"; }

  void Define(CLI::App& command) override {
    command.require_subcommand(1, 1);
    // Set first: the subcommands take it over.
    command.footer(
        "Presets of yours are NAME.tfp files in TolvarisFire/presets of the documents folder (--documents).\n"
        "Exit status: 0 done, 1 failed (the reason on stderr), 2 wrong command line (also: an unknown preset "
        "or domain).");
    list_ = command.add_subcommand("list", "print the presets with their indices, as the drop-down shows them");
    apply_ = command.add_subcommand("apply", "apply a preset to the scene's domain and save the scene");
    DefineScene(*apply_);
    apply_->add_option("PRESET", preset_, "the preset: its index, or its name as 'preset list' shows it")
        ->required()
        ->type_name("NAME|INDEX");
    apply_->add_option("-o,--output", output_, "save the scene here instead of over SCENE")->type_name("OUT.json");
    save_ = command.add_subcommand("save", "save the domain's settings as a preset of yours");
    DefineScene(*save_);
    save_->add_option("NAME", preset_, "the preset's name")->required();
    for (CLI::App* sub : {list_, apply_, save_}) sub->fallthrough();
  }

  int Run(Session& session) override {
    if (list_->parsed()) return List(session);
    int status = kExitOk;
    host::Node* node = OpenDomain(session, apply_->parsed() ? "apply a preset to" : "save a preset from", &status);
    if (!node) return status;
    host::Panel* panel = EditPresets(session, node);
    if (!panel) return kExitFailed;
    if (save_->parsed()) {
      panel->SetText(kPresetNameBox, preset_);
      return PressButton(session, node, kSaveMineButton, "Save mine");
    }
    const int index = FindEntry(panel->Items(kPresetList), preset_);
    if (index < 0) {
      host::TheCommandPanel().EndEdit();
      Report("no preset \"" + preset_ + "\"; 'tolvaris preset list' lists them");
      return kExitUsage;
    }
    panel->Select(kPresetList, index);
    status = PressButton(session, node, kApplyButton, "Apply");
    if (status != kExitOk) return status;
    std::string error;
    if (!host::SaveScene(session.scene, output_.empty() ? scene_ : output_, &error)) {
      Report(error);
      return kExitFailed;
    }
    return kExitOk;
  }

 private:
  // Selects and edits the domain; its panel with the presets, or null (reported).
  static host::Panel* EditPresets(Session& session, host::Node* node) {
    EditDomain(session, node);
    host::CommandPanel& panel = host::TheCommandPanel();
    host::Panel* presets = panel.FindPanelWithControl(kPresetList);
    if (!presets) {
      panel.EndEdit();
      Report("the domain \"" + node->Name() + "\" has no presets (is the TolvarisFire plug-in loaded?)");
    }
    return presets;
  }

  // The list comes from the panel of a new domain in the empty scene.
  static int List(Session& session) {
    std::string why;
    std::unique_ptr<host::Object> object = host::CreateObject(kDomainClass, &why);
    if (!object) {
      Report("cannot make a TolvarisFire domain (is the plug-in loaded?): " + why);
      return kExitFailed;
    }
    host::Node* node = session.scene.CreateNode("Fire", std::move(object));
    const host::Panel* panel = EditPresets(session, node);
    if (!panel) return kExitFailed;
    const std::vector<std::string> items = panel->Items(kPresetList);
    host::TheCommandPanel().EndEdit();
    for (size_t k = 0; k < items.size(); ++k) std::cout << k << " " << items[k] << "\n";
    std::cout << std::flush;
    return kExitOk;
  }

  CLI::App* list_ = nullptr;
  CLI::App* apply_ = nullptr;
  CLI::App* save_ = nullptr;
  std::string preset_;
  std::string output_;
};

}  // namespace

std::unique_ptr<Command> MakePresetCommand() { return std::make_unique<PresetCommand>(); }

}  // namespace app
