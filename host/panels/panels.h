// The command panel: what the host shows while the user edits one object.
//
// When the user selects an object for editing, the host calls the object's BeginEditParams with
// the command panel; the object adds its panels (a title, buttons by control id, texts, one of
// them the status line, drop-down lists and edit boxes) and removes them again in EndEditParams,
// which the host calls when the editing ends. Pressing a button runs its handler, which says how
// its command went, so that a script or the command line can end with the right status.
//
// Long commands report progress (a text, frames done, frames total) through the panel, ask for
// window messages to be dispatched, and poll the stop request (host/core/platform.h). What the panels
// show reaches a PanelListener: the command line prints the progress and the status line.
//
// Everything here runs on the main thread.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/core/math.h"

namespace host {

class Node;
class Object;
class CommandPanel;

// How a button's command went.
enum class CommandStatus {
  kSucceeded,
  kFailed,        // the status line says why
  kStopped,       // the user stopped it part way (Escape, Ctrl-C); what was done is kept
  kIgnored,       // another command was still running
  kNoSuchButton,  // no panel has a button with that id
};

const char* CommandStatusName(CommandStatus status);

using ButtonHandler = std::function<CommandStatus()>;

// A control that shows a value held elsewhere (a parameter, say): `get` reads it as JSON each
// time the panel is drawn; `set` writes what the user entered and says why when it cannot.
struct ControlBinding {
  std::function<nlohmann::json()> get;
  std::function<bool(const nlohmann::json& value, std::string* message)> set;
};

class Panel {
 public:
  Panel(CommandPanel& owner, int dialogId, std::string title, bool open);
  Panel(const Panel&) = delete;
  Panel& operator=(const Panel&) = delete;

  int DialogId() const { return dialogId_; }
  const std::string& Title() const { return title_; }
  bool IsOpen() const { return open_; }  // expanded rather than rolled up

  // Controls, by id. Adding an id the panel already has replaces that control.
  void AddButton(int id, std::string label, ButtonHandler handler);
  void AddText(int id, std::string text);
  // A text control that is the panel's status line.
  void AddStatusLine(int id, std::string text);
  // A drop-down list: its entries and the selected one (-1 for none). The user, or the program
  // acting for the user, picks an entry with Select.
  void AddDropDown(int id, std::vector<std::string> items, int selected = 0);
  // An edit box the user types into; Text and SetText read and write what it holds.
  void AddEditBox(int id, std::string text = {});

  // Value controls. A spinner clamps what is entered to [lo, hi] (and rounds it for integers)
  // before its binding sees it; a check box takes true or false; a colour swatch three numbers
  // from 0 to 1; a node picker the name of a scene node or null for none; a node list takes
  // {"add": name} (its "Add..." button) or {"remove": index} (its "Remove" button).
  void AddSpinner(int id, std::string label, double lo, double hi, bool integer, ControlBinding binding);
  void AddCheckBox(int id, std::string label, ControlBinding binding);
  void AddColourSwatch(int id, std::string label, ControlBinding binding);
  void AddRadio(int id, std::string label, std::vector<std::string> choices, ControlBinding binding);
  void AddPathBox(int id, std::string label, ControlBinding binding);
  void AddNodePicker(int id, std::string label, bool list, ControlBinding binding);

  // What the panel shows, for a front end to draw: its title, open state and every control with
  // its kind, id, label and current value.
  nlohmann::json Describe() const;
  // The user's input to control `id`: a button press (the value is ignored), a drop-down index,
  // an edit box's text, or a value control's value. Malformed values are refused with a message
  // and change nothing.
  CommandStatus Input(int id, const nlohmann::json& value, std::string* message);

  bool HasButton(int id) const;
  // The label of a button, the text of a text control or edit box, the selected entry of a
  // drop-down; empty for an unknown id.
  std::string Label(int id) const;
  std::string Text(int id) const { return Label(id); }
  // Sets a text control or edit box; the listener hears of status line changes. False for an
  // unknown id, a button or a drop-down.
  bool SetText(int id, std::string text);
  // The status line's text; empty when the panel has none.
  std::string StatusText() const;
  int StatusId() const { return statusId_; }

  // Button ids in the order they were added.
  std::vector<int> ButtonIds() const;

  // Drop-down lists. SetItems replaces the entries and selects `selected` (-1 when it is out of
  // range); Select picks an entry, false for an index out of range or a control that is no
  // drop-down. Items is empty and Selected -1 for an unknown id.
  bool SetItems(int id, std::vector<std::string> items, int selected = 0);
  bool Select(int id, int index);
  std::vector<std::string> Items(int id) const;
  int Selected(int id) const;

 private:
  friend class CommandPanel;
  enum class Kind { kText, kButton, kDropDown, kEditBox, kSpinner, kCheckBox, kColour, kRadio, kPath, kNode, kNodeList };
  struct Control {
    int id = 0;
    Kind kind = Kind::kText;
    std::string label;  // caption of a value control
    ControlBinding binding;
    double lo = 0.0, hi = 0.0;
    bool integer = false;
    std::string text;  // label, text, or what an edit box holds
    ButtonHandler handler;
    std::vector<std::string> items;  // drop-down entries
    int selected = -1;
  };
  Control* Find(int id);
  const Control* Find(int id) const;
  // A fresh control of that kind under `id`, in the place of any control the id had.
  Control& Put(int id, Kind kind);
  // A value control, with its caption and binding.
  Control& PutValue(int id, Kind kind, std::string label, ControlBinding binding);

  CommandPanel& owner_;
  int dialogId_;
  std::string title_;
  bool open_;
  int statusId_ = -1;
  std::vector<Control> controls_;
};

// What the program hears from the panels. The default does nothing.
class PanelListener {
 public:
  virtual ~PanelListener() = default;
  virtual void OnStatus(const Panel& /*panel*/, const std::string& /*text*/) {}
  // A long command's progress: `done` of `total` steps, with the step's text.
  virtual void OnProgress(const std::string& /*text*/, int /*done*/, int /*total*/) {}
  // A long command lets the program handle its pending events.
  virtual void OnProcessMessages() {}
};

class CommandPanel {
 public:
  CommandPanel();
  ~CommandPanel();
  CommandPanel(const CommandPanel&) = delete;
  CommandPanel& operator=(const CommandPanel&) = delete;

  // Starts editing the node's object: ends any edit in progress, then calls the object's
  // BeginEditParams. False when the node has no object.
  bool BeginEdit(Node* node);
  // Calls the edited object's EndEditParams and removes whatever panels are left.
  void EndEdit();
  // An object going away while edited: its panels go without calling back into it.
  void ForgetObject(const Object* object);
  Object* EditedObject() const { return edited_; }
  Node* EditedNode() const { return editedNode_; }

  Panel* AddPanel(int dialogId, std::string title, bool open = true);
  // False when the panel is not one of ours.
  bool DeletePanel(Panel* panel);
  Panel* FindPanel(int dialogId) const;
  // The panel holding a button or text with this id.
  Panel* FindPanelWithControl(int id) const;
  std::vector<Panel*> Panels() const;

  // Presses the button with this id on whichever panel has it and returns what its handler says.
  CommandStatus Press(int buttonId);
  // Input to the control with this id on whichever panel has it (Panel::Input); kNoSuchButton
  // when no panel has it.
  CommandStatus Input(int id, const nlohmann::json& value, std::string* message);
  // Every panel (Panel::Describe) and the running timers, for a front end.
  nlohmann::json Describe() const;

  // The listener stays the caller's; null removes it.
  void SetListener(PanelListener* listener) { listener_ = listener; }
  PanelListener* Listener() const { return listener_; }
  void ReportProgress(const std::string& text, int done, int total);
  // Dispatches pending window messages; the program's listener does what it has to.
  void ProcessMessages();

  // Timers of the panels, driven by the program's event loop. A started timer calls `onTick`
  // once its period has passed; a loop that comes late fires it once, not once per period missed,
  // as window timers coalesce. Starting a running id restarts it with the new period. Editing
  // ends with every timer stopped.
  void StartTimer(int id, int periodMs, std::function<void()> onTick);
  void StopTimer(int id);
  bool TimerRunning(int id) const;
  // The event loop's clock moved on by `ms`: fires the timers that are due and returns how many.
  int AdvanceTimers(double ms);

 private:
  friend class Panel;
  friend void ObjectGone(const Object* object);
  std::vector<std::unique_ptr<Panel>> panels_;
  Object* edited_ = nullptr;
  Node* editedNode_ = nullptr;
  PanelListener* listener_ = nullptr;
  struct Timer {
    int id = 0;
    int periodMs = 0;
    double elapsedMs = 0.0;
    std::function<void()> onTick;
  };
  std::vector<Timer> timers_;
  CommandPanel* next_ = nullptr;  // every command panel of the process, for ObjectGone
};

// Every command panel editing the object forgets it; the hook Object's destructor calls.
void ObjectGone(const Object* object);

// The program's one command panel.
CommandPanel& TheCommandPanel();

}  // namespace host
