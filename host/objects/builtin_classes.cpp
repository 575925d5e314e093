#include "host/objects/camera.h"
#include "host/objects/hair.h"
#include "host/objects/particles.h"
#include "host/objects/primitives.h"
#include "host/objects/space_warps.h"
#include "host/scene/class_desc.h"

namespace host {

std::vector<const ClassDesc*> BuiltinClassDescs() {
  return {&BoxClassDesc(),   &SphereClassDesc(),          &CylinderClassDesc(),      &TorusClassDesc(),
          &PlaneClassDesc(), &MeshClassDesc(),            &ParticleEmitterClassDesc(), &ParticleFileClassDesc(),
          &WindClassDesc(),  &GravityClassDesc(),         &CameraClassDesc(),        &TuftFxClassDesc()};
}

}  // namespace host
