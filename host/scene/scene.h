// The scene: nodes with animated transforms, the objects they carry, time settings, the render
// output size, the scene file's path and the undo history.
//
// A node's own transform is scale, then rotation, then translation, each a keyframe track; its
// world transform (GetNodeTM) is its own transform followed by its parent's world transform, in
// the row-vector convention of host/core/math.h. Rotation keys are quaternions blended by spherical
// interpolation along the shorter arc (host/core/keys.h).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/core/keys.h"
#include "host/core/math.h"
#include "host/scene/objects.h"
#include "host/core/undo.h"

namespace host {

class Scene;

struct NodeTransform {
  Point3Track position;
  QuatTrack rotation;
  Point3Track scale{Point3(1, 1, 1)};

  // Scale, then rotate, then translate: the node's own transform at t, without its parent.
  Matrix3 LocalTM(TimeValue t) const;
  friend bool operator==(const NodeTransform&, const NodeTransform&) = default;
};

class Node {
 public:
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  ~Node();

  // Unique in the scene for the scene's life and kept by scene files; never 0.
  uint32_t Handle() const { return handle_; }
  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  Scene* GetScene() const { return scene_; }

  Node* Parent() const { return parent_; }
  const std::vector<Node*>& Children() const { return children_; }
  // Null makes it a top-level node. False, with nothing changed, when the parent would be the node
  // itself or one of its descendants, or belongs to another scene.
  bool SetParent(Node* parent, std::string* error = nullptr);

  Object* GetObject() const { return object_.get(); }
  // Replaces the node's object. The old one is destroyed, and with it the scene's undo history.
  void SetObject(std::unique_ptr<Object> object);

  NodeTransform transform;
  Matrix3 GetLocalTM(TimeValue t) const { return transform.LocalTM(t); }
  // World transform at t, parents included.
  Matrix3 GetNodeTM(TimeValue t) const;
  // The transform of the node's object; nodes here carry no separate pivot offset, so it is the
  // node's world transform.
  Matrix3 GetObjectTM(TimeValue t) const { return GetNodeTM(t); }

  bool selected = false;
  bool renderable = true;  // false: left out of renders
  bool boxMode = false;    // drawn as its bounding box in views

 private:
  friend class Scene;
  friend struct SceneAccess;
  Node(Scene* scene, uint32_t handle, std::string name);

  Scene* scene_;
  uint32_t handle_;
  std::string name_;
  Node* parent_ = nullptr;
  std::vector<Node*> children_;
  std::unique_ptr<Object> object_;
};

struct RenderOutput {
  int width = 640;
  int height = 480;
  friend bool operator==(const RenderOutput&, const RenderOutput&) = default;
};

class Scene {
 public:
  Scene();
  ~Scene();
  Scene(const Scene&) = delete;
  Scene& operator=(const Scene&) = delete;

  TimeSettings time;
  RenderOutput render;

  // A new top-level node (or child of `parent`). An empty name becomes a unique one made from the
  // object's class name ("Sphere001"). The node takes the object.
  Node* CreateNode(std::string name, std::unique_ptr<Object> object = nullptr, Node* parent = nullptr);
  // Removes the node. Its children move to its parent, keeping their own transforms; parameters
  // that referred to it now refer to no node. The undo history is dropped, since its records may
  // refer to the node. False when the node is not in this scene.
  bool DeleteNode(Node* node);
  // Every node, in creation order.
  const std::vector<std::unique_ptr<Node>>& Nodes() const { return nodes_; }
  // The first node with exactly this name, or null.
  Node* FindNode(std::string_view name) const;
  Node* FindNode(uint32_t handle) const;
  // The node carrying `object`, or null.
  Node* FindNodeOf(const Object* object) const;
  // `base` followed by the first three-digit number that no node's name uses yet.
  std::string MakeUniqueName(std::string_view base) const;

  std::vector<Node*> Selection() const;
  void ClearSelection();
  void Select(Node* node, bool add = false);

  // The scene file: full path, its folder and its file name with extension; empty while unsaved.
  const std::filesystem::path& FilePath() const { return filePath_; }
  std::string FileDir() const;
  std::string FileName() const;
  void SetFilePath(std::filesystem::path path) { filePath_ = std::move(path); }
  // An absolute name as it is; a relative one against the scene file's folder (the working
  // folder while the scene is unsaved).
  std::filesystem::path ResolvePath(const std::string& name) const;

  UndoStack& Undo() { return undo_; }

  // Counts changes that views should show; objects bump it with NotifyDependents.
  uint64_t ChangeCount() const { return changes_; }
  void NoteChange() { ++changes_; }

  // Back to an empty, unsaved scene with default settings.
  void Clear();
  // Takes every node, setting and the file path of `other`, which is left empty. Used by scene
  // loading, which builds the new scene aside and swaps it in only when all of it loaded.
  void TakeContents(Scene& other);

 private:
  friend struct SceneAccess;
  Node* AddNode(uint32_t handle, std::string name, std::unique_ptr<Object> object);

  std::vector<std::unique_ptr<Node>> nodes_;
  uint32_t nextHandle_ = 1;
  std::filesystem::path filePath_;
  UndoStack undo_;
  uint64_t changes_ = 0;
};

}  // namespace host
