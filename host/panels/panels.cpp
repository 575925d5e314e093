#include "host/panels/panels.h"

#include <algorithm>

#include "host/scene/objects.h"
#include "host/scene/scene.h"

namespace host {

const char* CommandStatusName(CommandStatus status) {
  switch (status) {
    case CommandStatus::kSucceeded: return "succeeded";
    case CommandStatus::kFailed: return "failed";
    case CommandStatus::kStopped: return "stopped";
    case CommandStatus::kIgnored: return "ignored";
    case CommandStatus::kNoSuchButton: return "no such button";
  }
  return "unknown";
}

// ---- Panel -----------------------------------------------------------------------------------

Panel::Panel(CommandPanel& owner, int dialogId, std::string title, bool open)
    : owner_(owner), dialogId_(dialogId), title_(std::move(title)), open_(open) {}

Panel::Control* Panel::Find(int id) {
  for (Control& c : controls_)
    if (c.id == id) return &c;
  return nullptr;
}

const Panel::Control* Panel::Find(int id) const {
  for (const Control& c : controls_)
    if (c.id == id) return &c;
  return nullptr;
}

Panel::Control& Panel::Put(int id, Kind kind) {
  Control* c = Find(id);
  if (c) {
    if (statusId_ == id) statusId_ = -1;
    *c = Control{};
  } else {
    c = &controls_.emplace_back();
  }
  c->id = id;
  c->kind = kind;
  return *c;
}

void Panel::AddButton(int id, std::string label, ButtonHandler handler) {
  Control& c = Put(id, Kind::kButton);
  c.text = std::move(label);
  c.handler = std::move(handler);
}

void Panel::AddText(int id, std::string text) { Put(id, Kind::kText).text = std::move(text); }

void Panel::AddStatusLine(int id, std::string text) {
  AddText(id, {});
  statusId_ = id;
  SetText(id, std::move(text));
}

void Panel::AddDropDown(int id, std::vector<std::string> items, int selected) {
  Put(id, Kind::kDropDown);
  SetItems(id, std::move(items), selected);
}

void Panel::AddEditBox(int id, std::string text) { Put(id, Kind::kEditBox).text = std::move(text); }

bool Panel::SetItems(int id, std::vector<std::string> items, int selected) {
  Control* c = Find(id);
  if (!c || c->kind != Kind::kDropDown) return false;
  c->items = std::move(items);
  c->selected = selected >= 0 && size_t(selected) < c->items.size() ? selected : -1;
  return true;
}

bool Panel::Select(int id, int index) {
  Control* c = Find(id);
  if (!c || c->kind != Kind::kDropDown || index < 0 || size_t(index) >= c->items.size()) return false;
  c->selected = index;
  return true;
}

std::vector<std::string> Panel::Items(int id) const {
  const Control* c = Find(id);
  return c && c->kind == Kind::kDropDown ? c->items : std::vector<std::string>{};
}

int Panel::Selected(int id) const {
  const Control* c = Find(id);
  return c && c->kind == Kind::kDropDown ? c->selected : -1;
}

bool Panel::HasButton(int id) const {
  const Control* c = Find(id);
  return c && c->kind == Kind::kButton;
}

std::string Panel::Label(int id) const {
  const Control* c = Find(id);
  if (c && c->kind == Kind::kDropDown) return c->selected >= 0 ? c->items[size_t(c->selected)] : std::string();
  return c ? c->text : std::string();
}

bool Panel::SetText(int id, std::string text) {
  Control* c = Find(id);
  if (!c || c->kind == Kind::kButton || c->kind == Kind::kDropDown) return false;
  c->text = std::move(text);
  if (id == statusId_ && owner_.listener_) owner_.listener_->OnStatus(*this, c->text);
  return true;
}

std::string Panel::StatusText() const { return statusId_ >= 0 ? Label(statusId_) : std::string(); }

std::vector<int> Panel::ButtonIds() const {
  std::vector<int> ids;
  for (const Control& c : controls_)
    if (c.kind == Kind::kButton) ids.push_back(c.id);
  return ids;
}

// ---- CommandPanel ----------------------------------------------------------------------------

namespace {
// A plain pointer, not a container: objects may be destroyed during static destruction.
CommandPanel* gFirstPanel = nullptr;
}  // namespace

CommandPanel::CommandPanel() : next_(gFirstPanel) {
  gFirstPanel = this;
  SetObjectGoneHook(&ObjectGone);
}

CommandPanel::~CommandPanel() {
  for (CommandPanel** p = &gFirstPanel; *p; p = &(*p)->next_) {
    if (*p == this) {
      *p = next_;
      break;
    }
  }
}

void ObjectGone(const Object* object) {
  for (CommandPanel* p = gFirstPanel; p; p = p->next_) p->ForgetObject(object);
}

bool CommandPanel::BeginEdit(Node* node) {
  EndEdit();
  Object* object = node ? node->GetObject() : nullptr;
  if (!object) return false;
  edited_ = object;
  editedNode_ = node;
  object->BeginEditParams(*this);
  return true;
}

void CommandPanel::EndEdit() {
  Object* object = edited_;
  if (object) object->EndEditParams(*this);
  edited_ = nullptr;
  editedNode_ = nullptr;
  panels_.clear();
  timers_.clear();
}

void CommandPanel::StartTimer(int id, int periodMs, std::function<void()> onTick) {
  StopTimer(id);
  timers_.push_back(Timer{id, std::max(periodMs, 1), 0.0, std::move(onTick)});
}

void CommandPanel::StopTimer(int id) {
  std::erase_if(timers_, [id](const Timer& timer) { return timer.id == id; });
}

bool CommandPanel::TimerRunning(int id) const {
  return std::any_of(timers_.begin(), timers_.end(), [id](const Timer& timer) { return timer.id == id; });
}

int CommandPanel::AdvanceTimers(double ms) {
  std::vector<int> due;
  for (Timer& timer : timers_) {
    timer.elapsedMs += std::max(ms, 0.0);
    if (timer.elapsedMs < double(timer.periodMs)) continue;
    timer.elapsedMs = 0.0;
    due.push_back(timer.id);
  }
  // A tick may start or stop timers (or end the edit), so each is looked up again before it fires.
  int fired = 0;
  for (int id : due) {
    const auto it = std::find_if(timers_.begin(), timers_.end(), [id](const Timer& timer) { return timer.id == id; });
    if (it == timers_.end()) continue;
    const std::function<void()> onTick = it->onTick;
    if (onTick) onTick();
    ++fired;
  }
  return fired;
}

void CommandPanel::ForgetObject(const Object* object) {
  if (!object || object != edited_) return;
  edited_ = nullptr;
  editedNode_ = nullptr;
  panels_.clear();
  timers_.clear();
}

Panel* CommandPanel::AddPanel(int dialogId, std::string title, bool open) {
  panels_.push_back(std::make_unique<Panel>(*this, dialogId, std::move(title), open));
  return panels_.back().get();
}

bool CommandPanel::DeletePanel(Panel* panel) {
  const auto it = std::find_if(panels_.begin(), panels_.end(), [&](const auto& p) { return p.get() == panel; });
  if (it == panels_.end()) return false;
  panels_.erase(it);
  return true;
}

Panel* CommandPanel::FindPanel(int dialogId) const {
  for (const auto& p : panels_)
    if (p->DialogId() == dialogId) return p.get();
  return nullptr;
}

Panel* CommandPanel::FindPanelWithControl(int id) const {
  for (const auto& p : panels_)
    if (p->Find(id)) return p.get();
  return nullptr;
}

std::vector<Panel*> CommandPanel::Panels() const {
  std::vector<Panel*> all;
  for (const auto& p : panels_) all.push_back(p.get());
  return all;
}

CommandStatus CommandPanel::Press(int buttonId) {
  for (const auto& p : panels_) {
    const Panel::Control* c = p->Find(buttonId);
    if (!c || c->kind != Panel::Kind::kButton || !c->handler) continue;
    // A copy: the command may remove the panel that holds the button.
    const ButtonHandler handler = c->handler;
    return handler();
  }
  return CommandStatus::kNoSuchButton;
}

void CommandPanel::ReportProgress(const std::string& text, int done, int total) {
  if (listener_) listener_->OnProgress(text, done, total);
}

void CommandPanel::ProcessMessages() {
  if (listener_) listener_->OnProcessMessages();
}

CommandPanel& TheCommandPanel() {
  static CommandPanel panel;
  return panel;
}

}  // namespace host
