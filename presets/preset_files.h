// The user's presets: one text file per preset in the presets folder, listed after the built-in
// presets in the combined list the drop-down and scripts use.
//
//   ; Tolvaris Fire preset. Lengths in metres.
//   sizeX = 2 m                  a world value, in metres whatever the scene's unit
//   fuelRate = 4                 a float value
//   resolution = 128             int and bool values
//   smokeColor = 0.3 0.3 0.32    a colour
//
// Every float, world, int, bool and colour setting of the domain is written, in the order of the
// block's description, except liveMode; nodes, node lists and file names never are. Reading is
// forgiving: names in any case, lines up to 512 characters, up to three numbers and a unit word
// after the first; other lines (comments, unknown names, malformed or longer lines) are skipped
// and values outside a setting's range are clamped.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "host/core/status.h"

namespace host {
class Object;
}

namespace tf {

// <documents>/TolvarisFire/presets.
std::filesystem::path PresetsFolder();

// Saves the domain's settings at the current time as <name>.tfp, replacing a preset of that name,
// and rebuilds the user list. The message says what happened: "Saved preset ..." or why not (no
// name, a name that could leave the presets folder, a file that cannot be written). A failed
// save leaves the old file of that name as it was and no partial file behind.
host::Status SavePreset(host::Object* domain, const std::string& name);
// Loads <name>.tfp onto the domain at the current time as one undo step. False, with nothing
// changed, when the file cannot be read, the name is not a preset name or the object is no domain.
bool LoadPreset(host::Object* domain, const std::string& name);

// The names of the preset files, sorted; built on first use, after every save and whenever the
// documents folder has changed since.
const std::vector<std::string>& UserPresets();
void RefreshUserPresets();

// The combined list: the built-in rows (placeholder included) and then the user presets.
int PresetCount();
// The display name of an index ("Candle", "[my] mine"); empty outside the list.
std::string PresetName(int index);
// The first index whose display name is `name` or "[my] " + `name`; -1 when there is none.
int PresetIndex(std::string_view name);

// Applies preset `index` of the combined list to the domain: a built-in row (ApplyBuiltInPreset),
// or, past them, that user preset file. False, with nothing changed, for index 0, an index outside
// the list, a user preset that cannot be read, or an object that is not a TolvarisFire domain.
bool ApplyPreset(host::Object* domain, int index);

}  // namespace tf
