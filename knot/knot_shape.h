// The one knot record that every thread shares: the (p, q) torus-knot
// parameters, the tube mesh built from them, the knot's texture and the lock
// that guards all of it.
//
// The centre line is K(t) = (R / 2)·(2 + sin(q·t))·(cos(p·t), sin(p·t), cos(q·t))
// for t in [0, 2π), R the torus radius; a tube of `tube_radius` is swept along
// it. The mesh holds `rings` cross-sections of `sides` vertices, ring-major
// (vertex k·sides + s is side s of ring k), drawn as one triangle strip per ring.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "knot_lock.h"
#include "knot_texture.h"
#include "vec3.h"

class KnotShape {
 public:
  using StartHook = void (*)(KnotShape*);
  // Stops every thread other than the caller's that uses the knot; false when
  // some could not be stopped in time.
  using StopHook = bool (*)(KnotShape*);

  // Sets the defaults and creates the lock, then calls `on_constructed` with
  // the record's address (the demo starts its control panel from there).
  // `before_destroyed` runs first thing in the destructor.
  explicit KnotShape(StartHook on_constructed = nullptr, StopHook before_destroyed = nullptr);
  // Frees the mesh and the texture, once the threads that use them are gone.
  ~KnotShape();
  KnotShape(const KnotShape&) = delete;
  KnotShape& operator=(const KnotShape&) = delete;

  void lock() { mutex.lock(); }
  void unlock() { mutex.unlock(); }

  // Setters: the caller holds the lock, and calls build_mesh() itself
  // after changing p, q or a radius.
  void set_radii(float torus, float tube);
  void set_pq(float new_p, float new_q);
  void set_env_mapping(bool on);
  // Drops the mesh arrays so that the next build_mesh() allocates them anew.
  void set_resolution(uint32_t new_rings, uint32_t new_sides);
  // Take effect at the next first build (after set_resolution).
  void set_texture_repeats(float along, float around);

  // First call (and first after set_resolution): allocates the arrays and
  // fills indices and texture coordinates. Every call: recomputes positions
  // and normals in place. The caller holds the lock.
  void build_mesh();

  // Decodes a JPEG file into the knot's texture and uploads it; a file that
  // cannot be decoded is reported on standard error and changes nothing.
  // Drawing thread only.
  void load_texture(const char* path);

  // Draws the mesh with the current GL state; takes the lock itself.
  // Drawing thread only.
  void draw();

  // p, q and env_mapping are also read without the lock (the control panel's
  // button tests, the start of a morph, the draw set-up); these reads and the
  // setters' writes are atomic so that such reads are well defined.
  float p_now() const { return std::atomic_ref<float>(const_cast<float&>(p)).load(kRelaxed); }
  float q_now() const { return std::atomic_ref<float>(const_cast<float&>(q)).load(kRelaxed); }
  bool env_mapping_now() const {
    return std::atomic_ref<bool>(const_cast<bool&>(env_mapping)).load(kRelaxed);
  }

  float torus_radius = 2.0f;
  float tube_radius = 0.5f;
  float p = 1.0f;
  float q = 0.0f;
  uint32_t rings = 150;
  uint32_t sides = 30;
  bool mesh_built = false;
  std::unique_ptr<Vec3[]> vertices;
  std::unique_ptr<Vec3[]> normals;
  std::unique_ptr<uint32_t[]> indices;
  std::unique_ptr<float[]> tex_coords;  // (u, v) per vertex
  uint32_t vertex_count = 0;
  uint32_t index_count = 0;
  KnotLock mutex;
  KnotTexture texture;
  float repeat_along = 15.0f;
  float repeat_around = 2.0f;
  bool env_mapping = false;

 private:
  static constexpr std::memory_order kRelaxed = std::memory_order_relaxed;
  StopHook before_destroyed_ = nullptr;
  bool allocate_and_fill_fixed_arrays();
  // Per-side work space of build_mesh(), sized with the arrays so that a
  // rebuild allocates nothing: sines and cosines of the cross-section angles
  // and their products with the tube radius,
  // one ring's offsets from the centre line and their inverse lengths.
  std::vector<double> side_sin_;
  std::vector<double> side_cos_;
  std::vector<double> side_a_;
  std::vector<double> side_c_;
  std::vector<Vec3> side_offset_;
  std::vector<double> side_inverse_length_;
  void free_mesh();
};
