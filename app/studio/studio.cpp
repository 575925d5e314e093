#include "app/studio/studio.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>

#include "app/domain_command.h"
#include "host/core/platform.h"
#include "host/core/status.h"
#include "host/objects/class_registry.h"
#include "host/plugins/publish.h"
#include "host/scene/class_desc.h"
#include "host/scene/objects.h"
#include "host/scene/scene_view.h"
#include "host/scene_file/scene_file.h"
#include "host/view/viewport.h"

namespace app::studio {

namespace {

namespace fs = std::filesystem;

constexpr const char* kBusy = "Busy: a command is running; press Stop to end it.";
constexpr int kFrameLimit = 100000;

Response Json(int status, const nlohmann::json& body) { return {status, "application/json", body.dump()}; }

Response Refused(int status, const std::string& message) { return Json(status, {{"ok", false}, {"message", message}}); }

std::string Base64(const void* data, size_t size) {
  static const char* const kDigits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const auto* bytes = static_cast<const unsigned char*>(data);
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  for (size_t i = 0; i < size; i += 3) {
    uint32_t v = uint32_t(bytes[i]) << 16;
    if (i + 1 < size) v |= uint32_t(bytes[i + 1]) << 8;
    if (i + 2 < size) v |= bytes[i + 2];
    out += kDigits[(v >> 18) & 63];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < size ? kDigits[(v >> 6) & 63] : '=';
    out += i + 2 < size ? kDigits[v & 63] : '=';
  }
  return out;
}

std::string ContentType(const fs::path& file) {
  const std::string ext = file.extension().string();
  if (ext == ".html") return "text/html; charset=utf-8";
  if (ext == ".js" || ext == ".mjs") return "text/javascript; charset=utf-8";
  if (ext == ".css") return "text/css; charset=utf-8";
  if (ext == ".png") return "image/png";
  return "application/octet-stream";
}

bool ReadPoint(const nlohmann::json& v, host::Point3& p) {
  if (!v.is_array() || v.size() != 3) return false;
  for (const auto& c : v)
    if (!c.is_number() || !std::isfinite(c.get<double>())) return false;
  p = host::Point3(v[0].get<float>(), v[1].get<float>(), v[2].get<float>());
  return true;
}

const host::ClassDesc* DomainClass() { return host::FindClassDesc(kDomainClass); }

bool IsDomain(const host::Node* node) {
  return node && node->GetObject() && node->GetObject()->ClassName() == kDomainClass;
}

bool ReadCoordinates(const nlohmann::json& v, host::Point3& p) {
  if (!ReadPoint(v, p)) return false;
  return std::abs(p.x) <= 1e9f && std::abs(p.y) <= 1e9f && std::abs(p.z) <= 1e9f;
}

bool ReadSide(const nlohmann::json& body, const char* name, int& side) {
  if (!body.contains(name) || !body[name].is_number_integer()) return false;
  const long long v = body[name].get<long long>();
  if (v < kMinRenderSide || v > kMaxRenderSide) return false;
  side = int(v);
  return true;
}

}  // namespace

std::string MakeToken() {
  std::random_device random;
  std::string token;
  char digits[9];
  for (int i = 0; i < 4; ++i) {
    std::snprintf(digits, sizeof digits, "%08x", unsigned(random()));
    token += digits;
  }
  return token;
}

bool ReadView(const nlohmann::json& body, host::View& view, std::string* message) {
  int width = 0, height = 0;
  if (!ReadSide(body, "width", width) || !ReadSide(body, "height", height))
    return host::Fail(message, "The render size must be whole numbers of " + std::to_string(kMinRenderSide) + " to " +
                                   std::to_string(kMaxRenderSide) + " pixels a side.");
  const nlohmann::json camera = body.contains("camera") ? body["camera"] : nlohmann::json();
  host::Point3 eye, target, up(0, 0, 1);
  if (!camera.is_object() || !camera.contains("position") || !camera.contains("target") ||
      !ReadCoordinates(camera["position"], eye) || !ReadCoordinates(camera["target"], target) ||
      (camera.contains("up") && !ReadCoordinates(camera["up"], up)))
    return host::Fail(message, "The camera needs a position, a target and an up of three finite numbers each.");
  if (!(host::Length(target - eye) > 1e-6f * std::max(1.0f, host::Length(eye))))
    return host::Fail(message, "The camera's position and target must differ.");
  const double fov = camera.contains("fov") && camera["fov"].is_number() ? camera["fov"].get<double>() : 0.0;
  if (!(fov > 0.0 && fov < 180.0))
    return host::Fail(message, "The camera's field of view must lie between 0 and 180 degrees.");
  view = host::View();
  view.width = width;
  view.height = height;
  view.perspective = true;
  // The page's field of view spans the height, the host's the width.
  const double halfHeight = std::tan(fov * 0.5 * 3.14159265358979323846 / 180.0);
  view.fov = float(2.0 * std::atan(halfHeight * double(width) / double(height)));
  view.affineTM = host::LookAt(eye, target, up).Inverse();
  return true;
}

Studio::Studio(Session& session, fs::path sceneFile, std::string token, fs::path webRoot)
    : session_(session), sceneFile_(std::move(sceneFile)), token_(std::move(token)), webRoot_(std::move(webRoot)) {
  host::TheCommandPanel().SetListener(this);
  std::lock_guard lock(sceneMutex_);
  // The domain an artist opens a scene for: the first one, edited as if picked.
  for (const auto& n : session_.scene.Nodes()) {
    const host::Object* object = n->GetObject();
    if (object && object->ClassName() == kDomainClass) {
      session_.scene.ClearSelection();
      session_.scene.Select(n.get());
      host::TheCommandPanel().BeginEdit(n.get());
      break;
    }
  }
  host::EvaluateScene(session_.scene, session_.scene.time.currentTime);
  // Preview render looks through the active view: the page's once it sends one, until then a view
  // of the whole scene.
  if (!host::TheViewports().ActiveView())
    host::TheViewports().SetActiveView(host::DefaultSceneView(session_.scene, session_.scene.time.currentTime, 960, 640));
  host::SetBitmapShowHook([this](const host::Bitmap& bitmap, const std::string& title, std::string* message) {
    return OnShown(bitmap, title, message);
  });
  Refresh();
}

Studio::~Studio() {
  host::RequestStop();
  if (worker_.joinable()) worker_.join();
  host::ClearStop();
  host::SetBitmapShowHook({});
  std::lock_guard lock(sceneMutex_);
  host::TheCommandPanel().EndEdit();
  host::TheCommandPanel().SetListener(nullptr);
}

Response Studio::Handle(const Request& request) {
  const std::string prefix = "/" + token_ + "/";
  if (request.path.size() < prefix.size() || request.path.compare(0, prefix.size(), prefix) != 0)
    return {403, "text/plain", "Forbidden: the address needs the studio's token.\n"};
  const std::string rest = request.path.substr(prefix.size());
  if (rest.rfind("api/", 0) == 0) return Api(rest.substr(4), request);
  if (request.method != "GET") return Refused(405, "Only GET for files.");
  return StaticFile(rest);
}

Response Studio::StaticFile(const std::string& rest) const {
  if (rest.find("..") != std::string::npos || rest.find('\\') != std::string::npos)
    return {404, "text/plain", "Not found\n"};
  fs::path file;
  if (rest.empty()) file = webRoot_ / "index.html";
  else if (rest.rfind("three/", 0) == 0) file = webRoot_ / "node_modules" / rest;
  else file = webRoot_ / rest;
  std::ifstream in(file, std::ios::binary);
  std::error_code ec;
  if (!in || !fs::is_regular_file(file, ec)) return {404, "text/plain", "Not found\n"};
  std::ostringstream text;
  text << in.rdbuf();
  return {200, ContentType(file), text.str()};
}

Response Studio::Api(const std::string& name, const Request& request) {
  if (request.method == "GET") {
    if (name == "preview.png") return PreviewImage();
    if (name != "state" && name != "display") return Refused(404, "No such request.");
    // While a command runs the page sees what its last progress report showed.
    if (busy_) {
      std::lock_guard snap(snapMutex_);
      return {200, "application/json", name == "state" ? stateSnap_ : displaySnap_};
    }
    std::lock_guard lock(sceneMutex_);
    return Json(200, name == "state" ? State() : Display());
  }
  if (request.method != "POST") return Refused(405, "Only GET and POST.");
  if (name == "stop") {
    // Holding Escape: the running command stops at its next progress report.
    if (busy_) host::RequestStop();
    // The command may have ended in between; a stop request left over would stop the next one.
    if (!busy_) host::ClearStop();
    return Json(200, {{"ok", true}, {"busy", bool(busy_)}});
  }
  nlohmann::json body = nlohmann::json::parse(request.body.empty() ? std::string("{}") : request.body, nullptr, false);
  if (body.is_discarded() || !body.is_object()) return Refused(400, "The request is not a JSON object.");
  if (busy_) return Json(409, {{"ok", false}, {"ignored", true}, {"message", kBusy}});
  std::unique_lock lock(sceneMutex_);
  if (busy_) return Json(409, {{"ok", false}, {"ignored", true}, {"message", kBusy}});
  // The view and its render change nothing the page shows besides the image: no refresh.
  if (name == "view") return SetView(body);
  if (name == "render") return Render(body);
  Response response;
  if (name == "input") response = Input(body);
  else if (name == "frame") response = SetFrame(body);
  else if (name == "create") response = Create(body);
  else if (name == "select") response = Select(body);
  else if (name == "save") response = Save();
  else return Refused(404, "No such request.");
  if (!busy_) Refresh();
  return response;
}

Response Studio::Input(const nlohmann::json& body) {
  if (!body.contains("id") || !body["id"].is_number_integer()) return Refused(400, "The input names no control id.");
  const long long id = body["id"].get<long long>();
  if (id < INT32_MIN || id > INT32_MAX) return Refused(404, "No such control.");
  host::CommandPanel& panel = host::TheCommandPanel();
  host::Panel* owner = panel.FindPanelWithControl(int(id));
  if (!owner) return Refused(404, "No such control.");
  if (owner->HasButton(int(id))) {
    // Buttons run on the command thread; the page hears of the outcome by events.
    if (worker_.joinable()) worker_.join();
    busy_ = true;
    {
      std::lock_guard snap(snapMutex_);
      stateSnap_ = State().dump();
      displaySnap_ = Display().dump();
    }
    progress_ = nullptr;
    host::ClearStop();
    worker_ = std::thread([this, id] { RunCommand(int(id)); });
    return Json(202, {{"ok", true}, {"started", true}});
  }
  std::string message;
  const host::CommandStatus result = panel.Input(int(id), body.contains("value") ? body["value"] : nlohmann::json(), &message);
  if (result != host::CommandStatus::kSucceeded) {
    status_ = message;
    return Refused(422, message.empty() ? std::string("The control did not take the value.") : message);
  }
  host::EvaluateScene(session_.scene, session_.scene.time.currentTime);
  return Json(200, {{"ok", true}});
}

void Studio::RunCommand(int buttonId) {
  std::unique_lock lock(sceneMutex_);
  const host::CommandStatus result = host::TheCommandPanel().Press(buttonId);
  host::EvaluateScene(session_.scene, session_.scene.time.currentTime);
  host::ClearStop();
  busy_ = false;
  Refresh();
  Push("done", nlohmann::json{{"id", buttonId}, {"result", host::CommandStatusName(result)}}.dump());
}

Response Studio::SetFrame(const nlohmann::json& body) {
  if (!body.contains("frame") || !body["frame"].is_number()) return Refused(400, "The request names no frame.");
  const double wanted = body["frame"].get<double>();
  if (!std::isfinite(wanted)) return Refused(400, "The request names no frame.");
  const int frame = int(std::clamp(std::round(wanted), double(-kFrameLimit), double(kFrameLimit)));
  host::TimeSettings& time = session_.scene.time;
  time.currentTime = time.FrameToTicks(frame);
  // One frame's worth of the event loop, as the command line's play does.
  host::TheCommandPanel().AdvanceTimers(1000.0 / std::max(time.frameRate, 1));
  host::EvaluateScene(session_.scene, time.currentTime);
  return Json(200, {{"ok", true}, {"frame", frame}});
}

Response Studio::Create(const nlohmann::json& body) {
  const std::string msg = body.value("msg", std::string());
  host::Point3 origin, direction, point;
  if (msg == "abort") {
    return Json(200, {{"ok", true}, {"result", creation_.Mouse(host::MouseMsg::kAbort, {}) == host::CreateResult::kAbort ? "aborted" : "continue"}});
  }
  if ((msg != "point" && msg != "move") || !body.contains("origin") || !body.contains("direction") ||
      !ReadPoint(body["origin"], origin) || !ReadPoint(body["direction"], direction))
    return Refused(400, "A creation message needs msg, origin and direction.");
  if (!host::ConstructionPlanePoint(origin, direction, point))
    return Json(200, {{"ok", true}, {"result", "off the plane"}});
  if (!creation_.Active()) {
    if (msg != "point") return Json(200, {{"ok", true}, {"result", "idle"}});
    const host::ClassDesc* desc = DomainClass();
    std::string error;
    if (!desc || !creation_.Begin(session_.scene, *desc, &error))
      return Refused(422, desc ? error : std::string("The TolvarisFire plug-in is not loaded."));
  }
  const host::CreateResult result = creation_.Mouse(msg == "point" ? host::MouseMsg::kPoint : host::MouseMsg::kMove, point);
  if (result == host::CreateResult::kStop) {
    host::Node* node = creation_.GetNode();
    if (node) host::TheCommandPanel().BeginEdit(node);
    host::EvaluateScene(session_.scene, session_.scene.time.currentTime);
    return Json(200, {{"ok", true}, {"result", "created"}, {"node", node ? node->Name() : ""}});
  }
  return Json(200, {{"ok", true}, {"result", result == host::CreateResult::kAbort ? "aborted" : "continue"}});
}

Response Studio::Select(const nlohmann::json& body) {
  if (!body.contains("node") || !body["node"].is_string()) return Refused(400, "The request names no node.");
  host::Node* node = session_.scene.FindNode(body["node"].get<std::string>());
  if (!node) return Refused(404, "The scene has no node named \"" + body["node"].get<std::string>() + "\".");
  session_.scene.ClearSelection();
  session_.scene.Select(node);
  host::CommandPanel& panel = host::TheCommandPanel();
  if (panel.EditedNode() != node) panel.BeginEdit(node);
  return Json(200, {{"ok", true}});
}

Response Studio::Save() {
  std::string error;
  if (!host::SaveScene(session_.scene, sceneFile_, &error)) {
    status_ = error;
    return Refused(500, error);
  }
  status_ = "Saved " + sceneFile_.string();
  return Json(200, {{"ok", true}, {"message", status_}});
}

Response Studio::SetView(const nlohmann::json& body) {
  host::View view;
  std::string why;
  if (!ReadView(body, view, &why)) return Refused(400, why);
  host::TheViewports().SetActiveView(view);
  return Json(200, {{"ok", true}});
}

Response Studio::Render(const nlohmann::json& body) {
  host::View view;
  std::string why;
  if (!ReadView(body, view, &why)) return Refused(400, why);
  // The domain being edited, else the scene's first.
  host::Node* node = host::TheCommandPanel().EditedNode();
  if (!IsDomain(node)) node = nullptr;
  for (const auto& n : session_.scene.Nodes())
    if (!node && IsDomain(n.get())) node = n.get();
  if (!node) return Refused(409, "The scene has no TolvarisFire domain to render.");
  host::FPInterface* ops = host::FindInterface(kOpsInterface);
  if (!ops) return Refused(503, "The TolvarisFire plug-in is not loaded.");
  host::TheViewports().SetActiveView(view);
  viewWanted_ = true;
  viewPng_.clear();
  bool ok = false;
  try {
    const host::Value result = ops->Invoke(kOpsRenderView, {node});
    const host::Value text = ops->Invoke(kOpsStatus, {});
    ok = result.Type() == host::FPType::Bool && result.AsBool();
    if (text.Type() == host::FPType::String) why = text.AsString();
  } catch (const std::exception& e) {
    why = std::string(kOpsInterface) + ": " + e.what();  // a plug-in that publishes another interface
  }
  viewWanted_ = false;
  if (!ok || viewPng_.empty()) return Refused(409, why.empty() ? std::string("The view could not be rendered.") : why);
  return {200, "image/png", std::string(viewPng_.begin(), viewPng_.end())};
}

Response Studio::PreviewImage() {
  std::lock_guard snap(snapMutex_);
  if (previewPng_.empty()) return Refused(404, "No preview has been rendered yet.");
  return {200, "image/png", std::string(previewPng_.begin(), previewPng_.end())};
}

bool Studio::OnShown(const host::Bitmap& bitmap, const std::string& title, std::string* message) {
  // Called by the plug-in on a thread that holds the scene: a render request or a panel command.
  std::vector<uint8_t> png;
  if (!host::EncodeBitmapPng(bitmap, &png, message)) return false;
  if (viewWanted_) {
    viewPng_ = std::move(png);
    return true;
  }
  {
    std::lock_guard snap(snapMutex_);
    previewPng_ = std::move(png);
  }
  Push("preview", nlohmann::json{{"title", title}, {"width", bitmap.Width()}, {"height", bitmap.Height()}}.dump());
  if (message) *message = "shown in the studio's page";
  return true;
}

nlohmann::json Studio::State() {
  const host::TimeSettings& time = session_.scene.time;
  nlohmann::json nodes = nlohmann::json::array();
  for (const auto& n : session_.scene.Nodes())
    nodes.push_back({{"name", n->Name()}, {"class", n->GetObject() ? std::string(n->GetObject()->ClassName()) : ""}});
  const host::Node* edited = host::TheCommandPanel().EditedNode();
  nlohmann::json state = host::TheCommandPanel().Describe();
  state["frame"] = time.TicksToFrame(time.currentTime);
  state["start"] = time.TicksToFrame(time.animStart);
  state["end"] = time.TicksToFrame(time.animEnd);
  state["frameRate"] = time.frameRate;
  state["busy"] = bool(busy_);
  state["nodes"] = std::move(nodes);
  state["edited"] = edited ? nlohmann::json(edited->Name()) : nlohmann::json();
  state["message"] = status_;
  state["progress"] = progress_;
  state["scene"] = sceneFile_.string();
  return state;
}

nlohmann::json Studio::Display() {
  host::Scene& scene = session_.scene;
  const host::TimeValue t = scene.time.currentTime;
  host::SceneDisplay display;
  display.Update(scene, t);
  const host::View view = host::DefaultSceneView(scene, t, 960, 640);
  nlohmann::json batches = nlohmann::json::array();
  for (const auto& item : display.Items()) {
    item->Realize(view, t);
    const host::Matrix3 tm = item->WorldTransform();
    for (const host::RenderBatch& batch : item->Batches()) {
      if (!batch.Valid() || batch.positions.empty()) continue;
      std::vector<float> positions;
      std::vector<uint32_t> colours;
      positions.reserve(batch.positions.size() * 3);
      colours.reserve(batch.positions.size());
      for (size_t i = 0; i < batch.positions.size(); ++i) {
        const host::Point3 p = tm.PointTransform(batch.positions[i]);
        positions.insert(positions.end(), {p.x, p.y, p.z});
        const host::ColorRgba c = batch.VertexColor(i);
        auto byte = [](float v) { return uint32_t(std::lround(std::clamp(v, 0.0f, 1.0f) * 255.0f)); };
        // Little-endian bytes r, g, b, a: the page reads them as a Uint8Array.
        colours.push_back(byte(c.r) | byte(c.g) << 8 | byte(c.b) << 16 | 0xFF000000u);
      }
      batches.push_back({{"type", batch.type == host::PrimitiveType::kLineList ? "lines" : "points"},
                         {"count", batch.positions.size()},
                         {"pointSize", batch.pointSize},
                         {"positions", Base64(positions.data(), positions.size() * sizeof(float))},
                         {"colours", Base64(colours.data(), colours.size() * sizeof(uint32_t))}});
    }
  }
  const host::Box3 bounds = host::SceneBounds(scene, t);
  nlohmann::json box = nullptr;
  if (!bounds.Empty()) box = {{bounds.min.x, bounds.min.y, bounds.min.z}, {bounds.max.x, bounds.max.y, bounds.max.z}};
  return {{"frame", scene.time.TicksToFrame(t)}, {"batches", std::move(batches)}, {"bounds", box}};
}

void Studio::Refresh() {
  const std::string state = State().dump();
  {
    std::lock_guard snap(snapMutex_);
    stateSnap_ = state;
    if (busy_) displaySnap_ = Display().dump();
  }
  Push("state", state);
}

void Studio::Push(std::string name, std::string data) {
  {
    std::lock_guard lock(eventMutex_);
    events_.push_back(Event{nextSeq_++, std::move(name), std::move(data)});
    while (events_.size() > 64) events_.pop_front();
  }
  eventCv_.notify_all();
}

std::deque<Event> Studio::WaitEvents(uint64_t& seq, int timeoutMs) {
  std::unique_lock lock(eventMutex_);
  auto pending = [&] { return !events_.empty() && events_.back().seq > seq; };
  eventCv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), pending);
  std::deque<Event> out;
  for (const Event& e : events_)
    if (e.seq > seq) out.push_back(e);
  if (!out.empty()) seq = out.back().seq;
  return out;
}

void Studio::Tick(double ms) {
  if (busy_) return;
  std::unique_lock lock(sceneMutex_, std::try_to_lock);
  if (!lock.owns_lock() || busy_) return;
  // The panel's timers, or a view that asked to be drawn again (live mode catching up with the
  // slider one capped update at a time): the page sees each update arrive.
  const bool ticked = host::TheCommandPanel().AdvanceTimers(ms) > 0;
  if (ticked || host::TheViewports().TakeRedrawRequest()) {
    host::EvaluateScene(session_.scene, session_.scene.time.currentTime);
    Refresh();
  }
}

void Studio::WaitIdle() {
  std::unique_lock lock(sceneMutex_);
  if (worker_.joinable() && !busy_) worker_.join();
  lock.unlock();
  while (busy_) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::lock_guard again(sceneMutex_);
  if (worker_.joinable()) worker_.join();
}

void Studio::OnProgress(const std::string& text, int done, int total) {
  // The command thread, holding the scene: what the page sees until the next report.
  progress_ = {{"text", text}, {"done", done}, {"total", total}};
  Refresh();
  Push("progress", progress_.dump());
}

}  // namespace app::studio
