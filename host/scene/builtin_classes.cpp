#include "host/scene/camera.h"
#include "host/scene/class_desc.h"
#include "host/scene/forces.h"
#include "host/scene/hair.h"
#include "host/scene/particles.h"
#include "host/scene/primitives.h"

namespace host {

std::vector<const ClassDesc*> BuiltinClassDescs() {
  return {&BoxClassDesc(),   &SphereClassDesc(),          &CylinderClassDesc(),      &TorusClassDesc(),
          &PlaneClassDesc(), &MeshClassDesc(),            &ParticleEmitterClassDesc(), &ParticleFileClassDesc(),
          &WindClassDesc(),  &GravityClassDesc(),         &CameraClassDesc(),        &TuftFxClassDesc()};
}

}  // namespace host
