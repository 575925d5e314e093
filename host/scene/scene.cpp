#include "host/scene/scene.h"

#include "host/core/status.h"
#include "host/view/viewport.h"

#include <algorithm>
#include <cstdio>

namespace host {

Matrix3 NodeTransform::LocalTM(TimeValue t) const {
  return Matrix3::Scale(scale.Eval(t)) * rotation.Eval(t).ToMatrix() * Matrix3::Translation(position.Eval(t));
}

Node::Node(Scene* scene, uint32_t handle, std::string name)
    : scene_(scene), handle_(handle), name_(std::move(name)) {}

Node::~Node() = default;

bool Node::SetParent(Node* parent, std::string* error) {
  auto fail = [&](const std::string& why) {
    return Fail(error, "cannot link \"" + name_ + "\" to \"" + parent->name_ + "\": " + why);
  };
  if (parent == parent_) return true;
  if (parent) {
    if (parent->scene_ != scene_) return fail("the nodes are in different scenes");
    for (const Node* p = parent; p; p = p->parent_)
      if (p == this) return fail(parent == this ? "a node cannot be its own parent" : "it would make a cycle");
  }
  if (parent_) {
    auto& siblings = parent_->children_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
  }
  parent_ = parent;
  if (parent_) parent_->children_.push_back(this);
  return true;
}

void Node::SetObject(std::unique_ptr<Object> object) {
  // Undo records may point into the old object's parameter blocks.
  if (object_ && scene_) scene_->Undo().Clear();
  if (object) object->scene_ = scene_;
  object_ = std::move(object);
  if (scene_) scene_->NoteChange();
}

Matrix3 Node::GetNodeTM(TimeValue t) const {
  Matrix3 m = transform.LocalTM(t);
  for (const Node* p = parent_; p; p = p->parent_) m = m * p->transform.LocalTM(t);
  return m;
}

// ---------------------------------------------------------------------------------------------

// Undo of a node's creation: the node goes again. Later changes of the step are put back first,
// so nothing of the step still refers to it.
class Scene::CreatedRecord : public UndoRecord {
 public:
  CreatedRecord(Scene* scene, Node* node) : scene_(scene), node_(node) {}
  void Restore() override { scene_->RemoveNode(node_); }

 private:
  Scene* scene_;
  Node* node_;
};

class Scene::NodeRecord : public UndoRecord {
 public:
  explicit NodeRecord(Node* node)
      : node_(node), transform_(node->transform), parent_(node->Parent()), selected_(node->selected),
        renderable_(node->renderable), boxMode_(node->boxMode) {}
  void Restore() override {
    node_->transform = transform_;
    node_->SetParent(parent_);
    node_->selected = selected_;
    node_->renderable = renderable_;
    node_->boxMode = boxMode_;
    if (node_->GetScene()) node_->GetScene()->NoteChange();
  }

 private:
  Node* node_;
  NodeTransform transform_;
  Node* parent_;
  bool selected_, renderable_, boxMode_;
};

class Scene::SettingsRecord : public UndoRecord {
 public:
  explicit SettingsRecord(Scene* scene) : scene_(scene), time_(scene->time), render_(scene->render) {}
  void Restore() override {
    scene_->time = time_;
    scene_->render = render_;
    scene_->NoteChange();
  }

 private:
  Scene* scene_;
  TimeSettings time_;
  RenderOutput render_;
};

Scene::Scene() = default;
Scene::~Scene() {
  // Undo records point into the nodes' parameter blocks: drop them first.
  undo_.Clear();
  nodes_.clear();
}

Node* Scene::AddNode(uint32_t handle, std::string name, std::unique_ptr<Object> object) {
  nodes_.push_back(std::unique_ptr<Node>(new Node(this, handle, std::move(name))));
  Node* node = nodes_.back().get();
  if (object) node->SetObject(std::move(object));
  if (handle >= nextHandle_) nextHandle_ = handle + 1;
  NoteChange();
  return node;
}

Node* Scene::CreateNode(std::string name, std::unique_ptr<Object> object, Node* parent) {
  if (name.empty()) name = MakeUniqueName(object ? object->ClassName() : std::string_view("Node"));
  Node* node = AddNode(nextHandle_, std::move(name), std::move(object));
  if (parent) node->SetParent(parent);
  if (undo_.IsHolding()) undo_.Put(std::make_unique<CreatedRecord>(this, node));
  return node;
}

void Scene::HoldNode(Node* node) {
  if (node && node->scene_ == this && undo_.IsHolding()) undo_.Put(std::make_unique<NodeRecord>(node));
}

void Scene::HoldSettings() {
  if (undo_.IsHolding()) undo_.Put(std::make_unique<SettingsRecord>(this));
}

void Scene::RemoveNode(Node* node) {
  auto it = std::find_if(nodes_.begin(), nodes_.end(), [&](const auto& n) { return n.get() == node; });
  if (it == nodes_.end()) return;
  Node* newParent = node->parent_;
  while (!node->children_.empty()) node->children_.front()->SetParent(newParent);
  node->SetParent(nullptr);
  for (const auto& n : nodes_) {
    if (n.get() == node || !n->GetObject()) continue;
    Object* obj = n->GetObject();
    for (int b = 0; b < obj->NumParamBlocks(); ++b) obj->GetParamBlock(b)->ReplaceNodeRefs(node, nullptr);
  }
  nodes_.erase(it);
  NoteChange();
}

bool Scene::DeleteNode(Node* node) {
  auto it = std::find_if(nodes_.begin(), nodes_.end(), [&](const auto& n) { return n.get() == node; });
  if (it == nodes_.end()) return false;
  // Records of the history may hold this node; clearing first also keeps the reference clean-up
  // from putting records of its own.
  undo_.Clear();
  RemoveNode(node);
  return true;
}

Node* Scene::FindNode(std::string_view name) const {
  for (const auto& n : nodes_)
    if (n->name_ == name) return n.get();
  return nullptr;
}

Node* Scene::FindNode(uint32_t handle) const {
  for (const auto& n : nodes_)
    if (n->handle_ == handle) return n.get();
  return nullptr;
}

Node* Scene::FindNodeOf(const Object* object) const {
  if (!object) return nullptr;
  for (const auto& n : nodes_)
    if (n->object_.get() == object) return n.get();
  return nullptr;
}

std::string Scene::MakeUniqueName(std::string_view base) const {
  for (unsigned i = 1;; ++i) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%03u", i);
    std::string name = std::string(base) + digits;
    if (!FindNode(name)) return name;
  }
}

std::vector<Node*> Scene::Selection() const {
  std::vector<Node*> out;
  for (const auto& n : nodes_)
    if (n->selected) out.push_back(n.get());
  return out;
}

void Scene::ClearSelection() {
  for (const auto& n : nodes_) n->selected = false;
}

void Scene::Select(Node* node, bool add) {
  if (!add) ClearSelection();
  if (node && node->scene_ == this) node->selected = true;
}

std::string Scene::FileDir() const { return filePath_.empty() ? std::string() : filePath_.parent_path().string(); }

std::string Scene::FileName() const { return filePath_.filename().string(); }

std::filesystem::path Scene::ResolvePath(const std::string& name) const {
  const std::filesystem::path p(name);
  if (name.empty() || p.is_absolute() || filePath_.empty()) return p;
  return filePath_.parent_path() / p;
}

void Scene::Clear() {
  undo_.Clear();
  nodes_.clear();
  nextHandle_ = 1;
  time = TimeSettings();
  render = RenderOutput();
  filePath_.clear();
  NoteChange();
}

void Scene::TakeContents(Scene& other) {
  if (&other == this) return;
  undo_.Clear();
  other.undo_.Clear();
  nodes_ = std::move(other.nodes_);
  other.nodes_.clear();
  for (const auto& n : nodes_) {
    n->scene_ = this;
    if (n->object_) n->object_->scene_ = this;
  }
  nextHandle_ = other.nextHandle_;
  time = other.time;
  render = other.render;
  filePath_ = std::move(other.filePath_);
  other.Clear();
  NoteChange();
}

// ---- An object's place in its scene -------------------------------------------------------------

TimeValue Object::CurrentTime() const { return scene_ ? scene_->time.currentTime : 0; }

void Object::NotifyDependents() {
  if (scene_) scene_->NoteChange();
}

// The default hit test: the object's mesh edges placed by its node.
bool Object::HitTest(TimeValue t, Node& node, const View& view, const HitRegion& region) {
  TriMesh mesh;
  if (!GetTriMesh(t, mesh) || !mesh.CheckIndices(nullptr)) return false;
  std::vector<Point3> edges;
  edges.reserve(mesh.faces.size() * 6);
  for (const auto& f : mesh.faces)
    for (int k = 0; k < 3; ++k) {
      edges.push_back(mesh.verts[size_t(f[size_t(k)])]);
      edges.push_back(mesh.verts[size_t(f[size_t((k + 1) % 3)])]);
    }
  return HitSegments(view, region, node.GetObjectTM(t), edges) >= 0;
}

Box3 Object::GetWorldBoundBox(TimeValue t, Node& node) { return GetLocalBoundBox(t, node).Transformed(node.GetObjectTM(t)); }

}  // namespace host
