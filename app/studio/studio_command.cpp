// tolvaris studio SCENE.json [--port N]: the host in a web page, served on the loopback address.
#include <csignal>
#include <iostream>
#include <thread>

#include <httplib.h>

#include "app/scene_loading.h"
#include "app/studio/studio.h"
#include "host/core/platform.h"

namespace app {

namespace {

namespace fs = std::filesystem;

// The page and three.js: beside the program when installed, else in the source tree it was built from.
fs::path WebRoot() {
  const fs::path installed = host::ExecutableFolder() / "studio";
  std::error_code ec;
  if (fs::is_regular_file(installed / "index.html", ec)) return installed;
  return fs::path(TFR_STUDIO_WEB);
}

class StudioCommand : public Command {
 public:
  const char* Name() const override { return "studio"; }
  const char* Summary() const override { return "set up a scene interactively in a web page (loopback only)"; }
  void Define(CLI::App& command) override {
    command.add_option("SCENE", scene_, "the scene file to open; Save writes it back")->required()->type_name("SCENE.json");
    command.add_option("--port", port_, "the port to listen on (0: any free one)")->check(CLI::Range(0, 65535));
  }

  int Run(Session& session) override {
    std::error_code ec;
    if (fs::exists(scene_, ec)) {
      std::string message;
      if (!LoadSceneFile(scene_, session.scene, &message)) {
        Report(message);
        return kExitFailed;
      }
    }
    const fs::path web = WebRoot();
    if (!fs::is_regular_file(web / "node_modules" / "three" / "build" / "three.module.js", ec)) {
      Report("the studio's page needs three.js: run 'npm ci' in " + web.string());
      return kExitFailed;
    }
    const std::string token = studio::MakeToken();
    studio::Studio studio(session, fs::absolute(scene_, ec), token, web);

    httplib::Server server;
    auto forward = [&studio](const httplib::Request& req, httplib::Response& res) {
      const studio::Response r = studio.Handle({req.method, req.path, req.body});
      res.status = r.status;
      res.set_header("Cache-Control", "no-store");
      res.set_content(r.body, r.contentType);
    };
    const std::string prefix = "/" + token;
    server.Get(prefix + "/api/events", [&studio](const httplib::Request&, httplib::Response& res) {
      auto seq = std::make_shared<uint64_t>(0);
      res.set_header("Cache-Control", "no-store");
      res.set_chunked_content_provider("text/event-stream", [&studio, seq](size_t, httplib::DataSink& sink) {
        std::string out;
        for (const studio::Event& e : studio.WaitEvents(*seq, 1000)) out += "event: " + e.name + "\ndata: " + e.data + "\n\n";
        if (out.empty()) out = ": idle\n\n";
        return sink.write(out.data(), out.size());
      });
    });
    server.Get(".*", forward);
    server.Post(".*", forward);

    int port = port_;
    if (port == 0) port = server.bind_to_any_port("127.0.0.1");
    else if (!server.bind_to_port("127.0.0.1", port)) port = -1;
    if (port < 0) {
      Report("cannot listen on 127.0.0.1:" + std::to_string(port_));
      return kExitFailed;
    }
    std::cout << "Tolvaris studio: http://127.0.0.1:" << port << "/" << token << "/" << std::endl;

    // The panels' timers run from the event loop; Ctrl-C ends the studio.
    std::atomic<bool> running{true};
    std::thread loop([&] {
      int stopTicks = 0;  // Ctrl-C, told from a late Stop by lasting while no command runs
      while (running) {
        std::this_thread::sleep_for(std::chrono::milliseconds(33));
        stopTicks = host::StopRequested() && !studio.Busy() ? stopTicks + 1 : 0;
        if (stopTicks > 10) {
          server.stop();
          break;
        }
        studio.Tick(33.0);
      }
    });
    server.listen_after_bind();
    running = false;
    loop.join();
    return kExitOk;
  }

 private:
  std::string scene_;
  int port_ = 0;
};

}  // namespace

std::unique_ptr<Command> MakeStudioCommand() { return std::make_unique<StudioCommand>(); }

}  // namespace app
