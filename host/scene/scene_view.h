// What the views show of a scene at a time, as the host draws it: every node's object evaluated
// at that time, meshes as wireframes, particles as points, and the render items that objects add
// for their nodes (a plug-in's domain draws itself this way).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/scene/objects.h"
#include "host/view/raster.h"
#include "host/view/viewport.h"

namespace host {

class Scene;

// Evaluates every node's object at t, as the host does before it draws, plays or scrubs. An
// object that empties its validity while its items are gathered is evaluated again by the draw.
void EvaluateScene(Scene& scene, TimeValue t);

class SceneDisplay {
 public:
  // Evaluates the scene at t and gathers what the views show: the host's own drawing of meshes
  // and particles, then the items each object adds for its node.
  void Update(Scene& scene, TimeValue t);
  const std::vector<std::shared_ptr<CustomRenderItem>>& Items() const { return items_; }

 private:
  std::vector<std::shared_ptr<CustomRenderItem>> items_;
};

// Updates the scene's display at t and draws it into `image` through the view. False with a
// message as RasterizeView gives.
bool DrawScene(Scene& scene, const View& view, TimeValue t, RgbImage& image, std::string* message);

// The world bounds of every node's object at t (empty for a scene with nothing to bound).
Box3 SceneBounds(Scene& scene, TimeValue t);

// The view through the scene's first camera at t; false when the scene has none.
bool FirstCameraView(const Scene& scene, TimeValue t, int width, int height, View& view);

// A perspective view from the front and a little above that holds the whole box.
View ViewOfBox(const Box3& box, int width, int height);

// The view a viewport of the scene starts with: through its first camera, else from the front at
// everything in it.
View DefaultSceneView(Scene& scene, TimeValue t, int width, int height);

}  // namespace host
