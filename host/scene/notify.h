// Notifications: the host and the plug-ins raise them at moments others may want to follow, and
// listeners (script handlers, host/lua/scene_bindings.h) hear them.
//
// Everything runs on the user-interface thread: a broadcast calls every listener in turn before
// it returns, and listeners may register or unregister others (also themselves) meanwhile; a
// listener unregistered during a broadcast is not called after that.
#pragma once

#include <functional>
#include <string>

namespace host {

class Node;

enum class NotifyCode {
  kParamChanged,  // a parameter of the object on `node` was set (not when undo puts one back)
  kFrameBaked,    // a bake wrote `frame` of the domain on `node` into its cache
};

struct Notification {
  NotifyCode code = NotifyCode::kParamChanged;
  Node* node = nullptr;
  std::string param;  // kParamChanged: the parameter's internal name
  int frame = 0;      // kFrameBaked: the frame just written
};

// A listener returns an empty text, or what went wrong in it (for the caller to pass on; the
// listener has reported it in its own way already).
using NotifyFn = std::function<std::string(const Notification&)>;

// Returns a handle for UnRegisterNotification, never 0.
int RegisterNotification(NotifyFn fn);
void UnRegisterNotification(int handle);
// True while anyone listens; callers skip building a notification nobody hears.
bool HasNotificationListeners();
// Calls every listener and returns the first failure text (empty when none failed).
std::string BroadcastNotification(const Notification& notification);

}  // namespace host
