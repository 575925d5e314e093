// The command panel: edit begin and end reach the object, which adds and removes its panels;
// buttons pressed by id report how their command went; the status line, progress and message pump
// reach the program's listener; an object deleted while edited takes its panels with it.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/scene/objects.h"
#include "host/panels/panels.h"
#include "host/scene/scene.h"

namespace host {
namespace {

class Editable : public Object {
 public:
  using Object::Object;
  void BeginEditParams(CommandPanel& panel) override {
    events.push_back("begin");
    Panel* p = panel.AddPanel(100, "Editable", true);
    p->AddButton(1, "Run", [this, p] {
      ++runs;
      p->SetText(3, "ran " + std::to_string(runs));
      return runs == 1 ? CommandStatus::kSucceeded : CommandStatus::kFailed;
    });
    p->AddText(2, "info");
    p->AddStatusLine(3, "ready");
    mine = p;
  }
  void EndEditParams(CommandPanel& panel) override {
    events.push_back("end");
    EXPECT_TRUE(panel.DeletePanel(mine));
    mine = nullptr;
  }
  std::vector<std::string> events;
  Panel* mine = nullptr;
  int runs = 0;
};

class EditableDesc : public ClassDesc {
 public:
  ClassId ClassID() const override { return {0x7e57b001, 0x7e57b002}; }
  SuperClassId SuperClassID() const override { return kGeomObjectSuperClass; }
  std::string_view ClassName() const override { return "Editable"; }
  std::string_view Category() const override { return "Tests"; }
  std::unique_ptr<Object> Create() const override { return std::make_unique<Editable>(*this); }
};
const EditableDesc gDesc;

struct Recorder : PanelListener {
  void OnStatus(const Panel& panel, const std::string& text) override {
    status.push_back(std::to_string(panel.DialogId()) + ": " + text);
  }
  void OnProgress(const std::string& text, int done, int total) override {
    progress.push_back(text + " " + std::to_string(done) + "/" + std::to_string(total));
  }
  void OnProcessMessages() override { ++pumps; }
  std::vector<std::string> status, progress;
  int pumps = 0;
};

class Panels : public ::testing::Test {
 protected:
  Editable* AddEditable(const std::string& name) {
    auto object = std::make_unique<Editable>(gDesc);
    Editable* e = object.get();
    scene.CreateNode(name, std::move(object));
    return e;
  }
  Scene scene;
  CommandPanel panel;
  Recorder recorder;
};

TEST_F(Panels, EditingAddsTheObjectsPanelsAndEndingRemovesThem) {
  Editable* a = AddEditable("A");
  Editable* b = AddEditable("B");
  panel.SetListener(&recorder);
  ASSERT_TRUE(panel.BeginEdit(scene.FindNode("A")));
  EXPECT_EQ(panel.EditedObject(), a);
  EXPECT_EQ(panel.EditedNode(), scene.FindNode("A"));
  ASSERT_EQ(panel.Panels().size(), 1u);
  const Panel* p = panel.FindPanel(100);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->Title(), "Editable");
  EXPECT_TRUE(p->IsOpen());
  EXPECT_EQ(p->ButtonIds(), std::vector<int>{1});
  EXPECT_EQ(p->Label(1), "Run");
  EXPECT_EQ(p->Text(2), "info");
  EXPECT_EQ(p->StatusText(), "ready");
  EXPECT_EQ(panel.FindPanelWithControl(2), p);
  EXPECT_EQ(panel.FindPanelWithControl(9), nullptr);
  EXPECT_EQ(recorder.status, std::vector<std::string>{"100: ready"});

  // Editing another object ends the first edit.
  ASSERT_TRUE(panel.BeginEdit(scene.FindNode("B")));
  EXPECT_EQ(a->events, (std::vector<std::string>{"begin", "end"}));
  EXPECT_EQ(b->events, std::vector<std::string>{"begin"});
  EXPECT_EQ(panel.Panels().size(), 1u);
  panel.EndEdit();
  EXPECT_EQ(b->events, (std::vector<std::string>{"begin", "end"}));
  EXPECT_TRUE(panel.Panels().empty());
  EXPECT_EQ(panel.EditedObject(), nullptr);
  // A node without an object cannot be edited.
  EXPECT_FALSE(panel.BeginEdit(scene.CreateNode("Group")));
  EXPECT_FALSE(panel.BeginEdit(nullptr));
}

TEST_F(Panels, PressingAButtonRunsItsCommandAndReportsHowItWent) {
  Editable* a = AddEditable("A");
  panel.SetListener(&recorder);
  ASSERT_TRUE(panel.BeginEdit(scene.FindNode("A")));
  EXPECT_EQ(panel.Press(1), CommandStatus::kSucceeded);
  EXPECT_EQ(panel.Press(1), CommandStatus::kFailed);
  EXPECT_EQ(a->runs, 2);
  EXPECT_EQ(panel.FindPanel(100)->StatusText(), "ran 2");
  EXPECT_EQ(recorder.status, (std::vector<std::string>{"100: ready", "100: ran 1", "100: ran 2"}));
  // Texts are not buttons and unknown ids press nothing.
  EXPECT_EQ(panel.Press(2), CommandStatus::kNoSuchButton);
  EXPECT_EQ(panel.Press(42), CommandStatus::kNoSuchButton);
  EXPECT_EQ(a->runs, 2);
  panel.EndEdit();
  EXPECT_EQ(panel.Press(1), CommandStatus::kNoSuchButton);
  EXPECT_STREQ(CommandStatusName(CommandStatus::kStopped), "stopped");
}

TEST_F(Panels, TextsAreSetByIdAndButtonsAreNotTexts) {
  Panel* p = panel.AddPanel(7, "Loose", false);
  panel.SetListener(&recorder);
  EXPECT_FALSE(p->IsOpen());
  p->AddButton(1, "Go", [] { return CommandStatus::kSucceeded; });
  p->AddText(2, "a");
  EXPECT_FALSE(p->SetText(1, "not a text"));
  EXPECT_EQ(p->Label(1), "Go");
  EXPECT_FALSE(p->SetText(5, "no such control"));
  EXPECT_TRUE(p->SetText(2, "b"));
  EXPECT_EQ(p->Text(2), "b");
  EXPECT_TRUE(recorder.status.empty()) << "only the status line is reported";
  // Re-adding an id replaces the control: the button becomes a text.
  p->AddText(1, "now a text");
  EXPECT_FALSE(p->HasButton(1));
  EXPECT_EQ(panel.Press(1), CommandStatus::kNoSuchButton);
  EXPECT_EQ(p->StatusText(), "");
  EXPECT_TRUE(panel.DeletePanel(p));
  EXPECT_FALSE(panel.DeletePanel(p));
}

TEST_F(Panels, DropDownsKeepTheirSelectionInRangeAndEditBoxesHoldText) {
  Panel* p = panel.AddPanel(9, "Choices", true);
  p->AddDropDown(1, {"none", "a", "b"});
  p->AddEditBox(2, "typed");
  EXPECT_TRUE(p->Select(1, 2));
  EXPECT_EQ(p->Text(1), "b");
  EXPECT_FALSE(p->Select(1, 3));
  EXPECT_FALSE(p->SetText(1, "entries come from SetItems"));
  EXPECT_EQ(p->Selected(1), 2) << "a refused change keeps the selection";
  EXPECT_TRUE(p->SetItems(1, {"x"}, 4));
  EXPECT_EQ(p->Selected(1), -1);
  EXPECT_FALSE(p->Select(2, 0)) << "an edit box is no drop-down";
  EXPECT_TRUE(p->SetText(2, "mine"));
  EXPECT_EQ(p->Text(2), "mine");
}

// Value controls check the shape of what is entered before their binding sees it, bring numbers
// into range, and refuse anything else with a reason, leaving the bound value alone.
TEST_F(Panels, ValueControlsShapeInputForTheirBindingOrRefuseIt) {
  Panel* p = panel.AddPanel(5, "Values", true);
  std::map<int, nlohmann::json> stored;
  auto bound = [&stored](int id) {
    return ControlBinding{[&stored, id] { return stored[id]; }, [&stored, id](const nlohmann::json& v, std::string*) {
                            stored[id] = v;
                            return true;
                          }};
  };
  p->AddSpinner(1, "Count", 10, 0, true, bound(1));  // bounds the wrong way round
  p->AddCheckBox(2, "On", bound(2));
  p->AddColourSwatch(3, "Tint", bound(3));
  p->AddRadio(4, "Mode", {"a", "b"}, bound(4));
  p->AddPathBox(5, "File", bound(5));
  p->AddNodePicker(6, "Target", false, bound(6));
  p->AddNodePicker(7, "Targets", true, bound(7));
  p->AddCheckBox(8, "Fixed", {[] { return nlohmann::json(true); }, nullptr});
  p->AddText(9, "shown");
  struct Case {
    int id;
    nlohmann::json in;
    const char* refusal;  // null: accepted
    nlohmann::json stored;
  };
  const Case cases[] = {
      {1, 12.6, nullptr, 10}, {1, 3.4, nullptr, 3}, {1, -1, nullptr, 0}, {1, "3", "Expected a number.", {}},
      {2, true, nullptr, true}, {2, 1, "Expected true or false.", {}},
      {3, {2, -1, 0.5}, nullptr, {1.0, 0.0, 0.5}}, {3, {1, 1}, "Expected a colour as three numbers.", {}},
      {4, 1, nullptr, 1}, {4, 2, "No such choice.", {}}, {4, -1, "No such choice.", {}},
      {5, "a/b", nullptr, "a/b"}, {5, 3, "Expected a text.", {}},
      {6, nullptr, nullptr, nullptr}, {6, 4, "Expected a node name.", {}},
      {7, {{"remove", 0}}, nullptr, {{"remove", 0}}},
      {7, {{"add", 1}}, "Expected {\"add\": name} or {\"remove\": index}.", {}},
      {8, false, "This control cannot be changed.", {}}, {9, "x", "This control cannot be changed.", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.id) + " <- " + c.in.dump());
    stored[c.id] = "untouched";
    std::string message;
    const CommandStatus status = panel.Input(c.id, c.in, &message);
    EXPECT_EQ(status, c.refusal ? CommandStatus::kFailed : CommandStatus::kSucceeded);
    EXPECT_EQ(message, c.refusal ? c.refusal : "");
    EXPECT_EQ(stored[c.id], c.refusal ? nlohmann::json("untouched") : c.stored);
  }
  const nlohmann::json spinner = p->Describe()["controls"][0];
  EXPECT_EQ(spinner["min"], 0);
  EXPECT_EQ(spinner["max"], 10);
  EXPECT_EQ(spinner["value"], "untouched");
  // Re-adding the id as another kind leaves nothing of the spinner behind.
  p->AddPathBox(1, "Now a path", bound(1));
  const nlohmann::json path = p->Describe()["controls"][0];
  EXPECT_EQ(path["kind"], "path");
  EXPECT_FALSE(path.contains("min"));
  EXPECT_EQ(panel.Input(1, 2.0, nullptr), CommandStatus::kFailed);
}

TEST_F(Panels, ProgressAndTheMessagePumpReachTheListener) {
  panel.ReportProgress("nobody listens", 1, 2);  // no listener: nothing happens, nothing breaks
  panel.ProcessMessages();
  panel.SetListener(&recorder);
  panel.ReportProgress("Frame 3", 1, 4);
  panel.ProcessMessages();
  panel.ProcessMessages();
  EXPECT_EQ(recorder.progress, std::vector<std::string>{"Frame 3 1/4"});
  EXPECT_EQ(recorder.pumps, 2);
  panel.SetListener(nullptr);
  panel.ReportProgress("gone", 2, 4);
  EXPECT_EQ(recorder.progress.size(), 1u);
}

TEST_F(Panels, AButtonMayRemoveItsOwnPanel) {
  Panel* p = panel.AddPanel(8, "Closing", true);
  int pressed = 0;
  p->AddButton(1, "Close", [&] {
    panel.DeletePanel(p);
    ++pressed;  // still running after its panel, and the handler with it, went away
    return CommandStatus::kSucceeded;
  });
  EXPECT_EQ(panel.Press(1), CommandStatus::kSucceeded);
  EXPECT_EQ(pressed, 1);
  EXPECT_TRUE(panel.Panels().empty());
}

TEST_F(Panels, DeletingTheEditedNodeTakesItsPanels) {
  AddEditable("A");
  ASSERT_TRUE(panel.BeginEdit(scene.FindNode("A")));
  ASSERT_EQ(panel.Panels().size(), 1u);
  ASSERT_TRUE(scene.DeleteNode(scene.FindNode("A")));
  EXPECT_EQ(panel.EditedObject(), nullptr);
  EXPECT_TRUE(panel.Panels().empty());
  panel.EndEdit();  // nothing left to call back into
}

}  // namespace
}  // namespace host

namespace host {
namespace {

TEST(PanelTimers, FireOncePerPeriodCoalesceLateTicksAndStopWithTheEdit) {
  CommandPanel panel;
  int ticks = 0, other = 0;
  panel.StartTimer(8, 100, [&] {
    ++other;
    panel.StopTimer(7);  // a tick may stop another timer due in the same pass
  });
  panel.StartTimer(7, 33, [&] { ++ticks; });
  EXPECT_EQ(panel.AdvanceTimers(20.0), 0);
  EXPECT_EQ(panel.AdvanceTimers(13.0), 1) << "due at 33 ms";
  EXPECT_EQ(panel.AdvanceTimers(500.0), 1) << "a late loop fires each timer once, and 8 stopped 7 first";
  EXPECT_EQ(ticks, 1);
  EXPECT_EQ(other, 1);
  EXPECT_FALSE(panel.TimerRunning(7));

  panel.StartTimer(7, 10, [&] { ++ticks; });
  panel.StartTimer(7, 50, [&] { ticks += 10; });  // restarting replaces
  EXPECT_EQ(panel.AdvanceTimers(49.0), 0);
  EXPECT_EQ(panel.AdvanceTimers(1.0), 1);
  EXPECT_EQ(ticks, 11);

  panel.EndEdit();
  EXPECT_FALSE(panel.TimerRunning(8));
  EXPECT_EQ(panel.AdvanceTimers(1000.0), 0);
}

}  // namespace
}  // namespace host
