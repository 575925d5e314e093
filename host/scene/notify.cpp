#include "host/scene/notify.h"

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace host {

namespace {

struct Listener {
  int handle;
  std::shared_ptr<NotifyFn> fn;  // shared so a broadcast's copy of the list outlives unregistering
};

std::vector<Listener>& Listeners() {
  static auto* listeners = new std::vector<Listener>;
  return *listeners;
}
int gNextHandle = 1;

bool Registered(int handle) {
  const auto& all = Listeners();
  return std::any_of(all.begin(), all.end(), [&](const Listener& l) { return l.handle == handle; });
}

}  // namespace

int RegisterNotification(NotifyFn fn) {
  const int handle = gNextHandle++;
  Listeners().push_back({handle, std::make_shared<NotifyFn>(std::move(fn))});
  return handle;
}

void UnRegisterNotification(int handle) {
  auto& all = Listeners();
  all.erase(std::remove_if(all.begin(), all.end(), [&](const Listener& l) { return l.handle == handle; }), all.end());
}

bool HasNotificationListeners() { return !Listeners().empty(); }

std::string BroadcastNotification(const Notification& notification) {
  if (Listeners().empty()) return {};
  const std::vector<Listener> listeners = Listeners();
  std::string first;
  for (const Listener& l : listeners) {
    if (!Registered(l.handle) || !*l.fn) continue;
    std::string failure = (*l.fn)(notification);
    if (first.empty()) first = std::move(failure);
  }
  return first;
}

}  // namespace host
