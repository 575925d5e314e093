// The studio: the host drawn in a web page. The page sends input by control id, mouse messages for
// creation and moves of the time slider; everything it asks runs through the same host calls as
// the command line (the command panel, the creation procedure, scene evaluation and saving), and
// it gets back the panels and the display items as data to draw.
//
// The rendered view: the page sends its camera and size, the studio makes that the host's active
// view and asks the plug-in to render the frame the domain shows from it (its published
// `renderView`); the bitmap the plug-in shows comes back to the page as a PNG. Bitmaps shown at
// other times (Preview render) are kept for the page to fetch, announced by a "preview" event.
//
// The HTTP layer (studio_command.cpp) calls Handle from its worker threads; Handle serialises all
// scene access. Panel buttons run on the studio's own command thread so that a long command
// (SIMULATE) leaves the page alive: while one runs, the page reads the state and the drawing of the
// last progress report, Stop sets the host's stop request, and every other input is ignored.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/command.h"
#include "host/view/bitmap.h"
#include "host/view/viewport.h"
#include "host/scene/creation.h"
#include "host/panels/panels.h"

namespace app::studio {

struct Request {
  std::string method;  // "GET" or "POST"
  std::string path;    // "/<token>/api/state", "/<token>/index.html", ...
  std::string body;
};

struct Response {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
};

struct Event {
  uint64_t seq = 0;
  std::string name;  // "state", "progress", "redraw"
  std::string data;  // JSON
};

class Studio : private host::PanelListener {
 public:
  // `webRoot` holds the page; its node_modules folder holds three.js.
  Studio(Session& session, std::filesystem::path sceneFile, std::string token, std::filesystem::path webRoot);
  ~Studio() override;
  Studio(const Studio&) = delete;
  Studio& operator=(const Studio&) = delete;

  // Answers one request; safe from any thread. A path without the token gets 403.
  Response Handle(const Request& request);

  // The events after `seq`, waiting up to `timeoutMs` for one; `seq` moves past what is returned.
  std::deque<Event> WaitEvents(uint64_t& seq, int timeoutMs);
  // The event loop's clock moved on: the panels' timers fire while no command runs.
  void Tick(double ms);
  // Blocks until no command runs (tests, shutdown).
  void WaitIdle();
  bool Busy() const { return busy_; }

 private:
  Response Api(const std::string& name, const Request& request);
  Response StaticFile(const std::string& rest) const;
  Response Input(const nlohmann::json& body);
  Response SetFrame(const nlohmann::json& body);
  Response Create(const nlohmann::json& body);
  Response Select(const nlohmann::json& body);
  Response Save();
  Response SetView(const nlohmann::json& body);
  Response Render(const nlohmann::json& body);
  Response PreviewImage();
  // The host's bitmap window: the view a render asked for, or a preview for the page.
  bool OnShown(const host::Bitmap& bitmap, const std::string& title, std::string* message);
  // Callers hold the scene lock.
  nlohmann::json State();
  nlohmann::json Display();
  void Refresh();  // new snapshots and a redraw event
  void Push(std::string name, std::string data);
  void RunCommand(int buttonId);

  void OnProgress(const std::string& text, int done, int total) override;

  Session& session_;
  std::filesystem::path sceneFile_;
  std::string token_;
  std::filesystem::path webRoot_;

  std::mutex sceneMutex_;  // the scene, the command panel, the creation
  host::Creation creation_;
  std::string status_;       // the studio's own status: what Save or a refused input said
  nlohmann::json progress_;  // the running command's last report

  std::mutex snapMutex_;  // the snapshots handed out while a command runs, and the last preview
  std::string stateSnap_, displaySnap_;
  std::vector<uint8_t> previewPng_;
  bool viewWanted_ = false;  // a render is under way: the next bitmap shown is its answer
  std::vector<uint8_t> viewPng_;

  std::mutex eventMutex_;
  std::condition_variable eventCv_;
  std::deque<Event> events_;
  uint64_t nextSeq_ = 1;

  std::atomic<bool> busy_{false};
  std::thread worker_;
};

// A fresh token: 32 hex digits from the system's random source.
std::string MakeToken();

// The sizes a rendered view may have, in pixels a side.
inline constexpr int kMinRenderSide = 64;
inline constexpr int kMaxRenderSide = 4096;

// The page's camera as a host view: {"camera": {"position": [x, y, z], "target": [x, y, z],
// "up": [x, y, z] (optional, +z), "fov": degrees}, "width": W, "height": H}, in world units, the
// field of view spanning the height as the page's camera has it. False with a message for
// anything the renderer cannot use: a size outside kMinRenderSide to kMaxRenderSide, coordinates
// that are not finite numbers (or beyond 1e9), an eye on its target, a field of view outside
// (0, 180) degrees.
bool ReadView(const nlohmann::json& body, host::View& view, std::string* message);

}  // namespace app::studio
