#include "knot_shape.h"

#include <cstdio>

KnotShape::KnotShape(StartHook on_constructed, StopHook before_destroyed)
    : before_destroyed_(before_destroyed) {
  if (on_constructed != nullptr) on_constructed(this);
}

KnotShape::~KnotShape() {
  // The knot dies at process exit, when the control panel or a morph may
  // still be rebuilding the mesh on another thread. Freeing the arrays under
  // them would crash the exit; they are stopped first, and if one cannot be
  // stopped the arrays are left to the end of the process instead.
  if (before_destroyed_ != nullptr && !before_destroyed_(this)) {
    (void)vertices.release();
    (void)normals.release();
    (void)indices.release();
    (void)tex_coords.release();
    return;
  }
  free_mesh();
  texture.release();
}

void KnotShape::set_radii(float torus, float tube) {
  torus_radius = torus;
  tube_radius = tube;
}

void KnotShape::set_pq(float new_p, float new_q) {
  std::atomic_ref<float>(p).store(new_p, kRelaxed);
  std::atomic_ref<float>(q).store(new_q, kRelaxed);
}

void KnotShape::set_env_mapping(bool on) {
  std::atomic_ref<bool>(env_mapping).store(on, kRelaxed);
}

void KnotShape::set_resolution(uint32_t new_rings, uint32_t new_sides) {
  rings = new_rings;
  sides = new_sides;
  free_mesh();
}

void KnotShape::set_texture_repeats(float along, float around) {
  repeat_along = along;
  repeat_around = around;
}

void KnotShape::free_mesh() {
  if (!mesh_built) return;
  vertices.reset();
  normals.reset();
  tex_coords.reset();
  indices.reset();
  mesh_built = false;
}

void KnotShape::load_texture(const char* path) {
  // A damaged file shows what could be decoded of it; a file of which
  // nothing could be decoded keeps the texture the knot has.
  bool replaced = false;
  if (const char* problem = texture.decode_file(path, &replaced)) {
    std::fprintf(stderr, "knot: %s: %s%s\n", path, problem,
                 replaced ? " (shown as far as it could be decoded)" : "");
  }
  if (replaced) texture.upload();
}
