// The Simulate panel the domain shows while it is edited: the presets drop-down with Apply, the
// preset name box with Save mine, SIMULATE, Clear cache, the info text (grid size, memory
// estimate, cached frames), the live text and the status line, plus the About panel.
//
// Only one domain is edited at a time; the edited domain, the command panel and the panel are kept
// in process-wide slots from edit begin to edit end. A busy flag keeps a second command from
// starting while one runs (a button pressed from the message pump of a running bake).
#pragma once

#include <string>

#include "host/panels/panels.h"
#include "export/vdb_export.h"
#include "bake/simulate.h"

namespace tf {

class FireObject;

// Control ids of the panels.
inline constexpr int kSimulateDialog = 7500;
inline constexpr int kPresetList = 7502;
inline constexpr int kApplyButton = 7503;
inline constexpr int kSimulateButton = 7504;
inline constexpr int kClearCacheButton = 7505;
inline constexpr int kStatusText = 7506;
inline constexpr int kExportVdbButton = 7507;
inline constexpr int kPreviewButton = 7508;
inline constexpr int kInfoText = 7509;
inline constexpr int kSaveMineButton = 7510;
inline constexpr int kPresetNameBox = 7511;
inline constexpr int kLiveText = 7512;
inline constexpr int kRestartButton = 7513;
inline constexpr int kOpenOutputButton = 7514;
inline constexpr int kResumeButton = 7515;
inline constexpr int kLiveTimer = 24350;
inline constexpr int kLiveTimerPeriodMs = 33;
inline constexpr int kAboutDialog = 7701;
inline constexpr int kAboutText = 7706;

inline constexpr const char* kSimulateTitle = "Tolvaris Fire - Simulate";
inline constexpr const char* kAboutTitle = "Tolvaris Fire - About";
inline constexpr const char* kPluginVersion = "1.1.3";
inline constexpr int kPluginBuild = 20261030;

// Edit begin and end for `domain` (FireObject's BeginEditParams and EndEditParams).
void BeginEditDomain(FireObject& domain, host::CommandPanel& panel);
void EndEditDomain(FireObject& domain, host::CommandPanel& panel);
// A domain going away: the slots forget it if it is the edited one.
void ForgetEditedDomain(const FireObject* domain);

// The edited domain, or null.
FireObject* EditedDomain();
// True while a panel command runs.
bool PanelBusy();

// Apply: the preset chosen in the drop-down onto the edited domain. Save mine: the domain's
// settings as a preset named by the name box (its first 128 characters), then the drop-down is
// filled again.
host::CommandStatus ApplyPresetCommand();
host::CommandStatus SaveMinePresetCommand();

// The SIMULATE, Resume bake and Clear cache commands of the edited domain, as the buttons run them.
// Resume bake goes on from the newest restart point of a stopped or killed bake.
host::CommandStatus SimulateCommand();
host::CommandStatus ResumeCommand();
host::CommandStatus ClearCacheCommand();
// Export VDB: one VDB file per cached frame (export/vdb_export.h) with the panel's progress.
host::CommandStatus ExportVdbCommand();
// Preview render: the display frame of the host's current time, rendered and saved beside the
// cache (export/preview.h).
host::CommandStatus PreviewCommand();

// The panel's progress callback for long commands: shows the text and the count in the status
// line, drops the display frame, asks for a redraw, lets the host dispatch its messages, and asks
// the command to stop while the host's stop request (Escape held) is set.
bool PanelProgress(int done, int total, const std::string& text);

// Shows `text` as the live text when `domain` is the edited one.
void ShowLiveText(const FireObject& domain, const std::string& text);
// After a change of a domain's settings: the info text is refreshed and, while the domain is
// edited, the live timer runs exactly when its liveMode is 2.
void DomainSettingsChanged(FireObject& domain);
// Restart: marks the live run for a restart and has the domain evaluated again.
host::CommandStatus RestartCommand();
// Open output folder: makes the domain's output folder when missing and shows it in the file browser.
host::CommandStatus OpenOutputFolderCommand();

// The info text of a domain: grid, memory estimate and cached frames.
std::string DomainInfoText(FireObject& domain);

}  // namespace tf
