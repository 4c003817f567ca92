// Tube mesh generation.
//
// Precision is part of the result: the curve parameter t is accumulated in
// single precision, each product p·t or q·t is rounded to single precision
// before its sine or cosine, the sines and cosines are evaluated in double
// precision, and every stored vector component is rounded to single
// precision once (see vec3.h).

#include <cmath>
#include <new>
#include <vector>

#include "knot_shape.h"

namespace {

// 2π as the single-precision constant the mesh has always used.
constexpr float kTwoPi = 6.2831855f;

bool usable_axis(const Vec3& v) {
  double l = v.length_squared();
  return l > 0.0 && std::isfinite(l);
}

// A frame for the degenerate cases that the chord construction cannot
// handle: the chord is zero (p = q = 0, or a torus radius of 0, put every
// ring on one point) or parallel to the sum of the two curve points. Any
// pair of unit vectors perpendicular to the chord will do; with no chord at
// all the ring is laid in the x-y plane. Either way the ring stays finite.
void fallback_frame(const Vec3& chord, Vec3* b, Vec3* n) {
  if (!usable_axis(chord)) {
    *b = Vec3(1.0, 0.0, 0.0);
    *n = Vec3(0.0, 1.0, 0.0);
    return;
  }
  // Cross the chord with the coordinate axis it is least aligned with.
  double ax = std::fabs(chord.x), ay = std::fabs(chord.y), az = std::fabs(chord.z);
  Vec3 axis = (ax <= ay && ax <= az) ? Vec3(1.0, 0.0, 0.0)
              : (ay <= az)           ? Vec3(0.0, 1.0, 0.0)
                                     : Vec3(0.0, 0.0, 1.0);
  *n = cross(chord, axis).normalized();
  *b = cross(*n, chord).normalized();
}

}  // namespace

bool KnotShape::allocate_and_fill_fixed_arrays() {
  vertex_count = rings * sides;
  index_count = (2 * sides + 2) * rings;
  // Arrays too large to allocate leave the mesh unbuilt: nothing is drawn.
  vertices.reset(new (std::nothrow) Vec3[vertex_count]);
  normals.reset(new (std::nothrow) Vec3[vertex_count]);
  tex_coords.reset(new (std::nothrow) float[static_cast<size_t>(vertex_count) * 2]);
  indices.reset(new (std::nothrow) uint32_t[index_count]);
  if (!vertices || !normals || !tex_coords || !indices) {
    vertices.reset();
    normals.reset();
    tex_coords.reset();
    indices.reset();
    return false;
  }
  side_sin_.resize(sides);
  side_cos_.resize(sides);
  side_a_.resize(sides);
  side_c_.resize(sides);
  side_offset_.resize(sides);
  side_inverse_length_.resize(sides);
  mesh_built = true;

  // One strip per ring, zigzagging between ring r + 1 and ring r; side 0 is
  // repeated at the end to close the tube, and the last ring's strip wraps
  // back to ring 0.
  uint32_t* out = indices.get();
  for (uint32_t r = 0; r < rings; ++r) {
    uint32_t next = (r + 1) % rings;
    for (uint32_t s = 0; s <= sides; ++s) {
      uint32_t w = s % sides;
      *out++ = next * sides + w;
      *out++ = r * sides + w;
    }
  }

  // Texture coordinates repeat `repeat_along` times along the knot and
  // `repeat_around` times around it; they wrap to 0 without duplicating
  // vertices at the seams.
  float* uv = tex_coords.get();
  for (uint32_t r = 0; r < rings; ++r) {
    for (uint32_t s = 0; s < sides; ++s) {
      *uv++ = static_cast<float>(std::fmod(r * double(repeat_along) / rings, 1.0));
      *uv++ = static_cast<float>(std::fmod(s * double(repeat_around) / sides, 1.0));
    }
  }
  return true;
}

void KnotShape::build_mesh() {
  if (rings == 0 || sides == 0) return;
  if (!mesh_built && !allocate_and_fill_fixed_arrays()) return;

  // The angles around a cross-section are the same for every ring:
  // θ accumulates in single precision from dθ, so side s sits at (s + 1)·dθ.
  // Computing their sines and cosines once per build instead of once per
  // vertex gives the same values and keeps a rebuild to about one square
  // root per vertex.
  const float dtheta = kTwoPi / static_cast<float>(sides);
  std::vector<double>& side_sin = side_sin_;
  std::vector<double>& side_cos = side_cos_;
  // The offsets' coefficients a = sin θ · tube radius and c = cos θ · tube
  // radius are the same for every ring too.
  std::vector<double>& side_a = side_a_;
  std::vector<double>& side_c = side_c_;
  const double tube = tube_radius;
  float theta = 0.0f;
  for (uint32_t s = 0; s < sides; ++s) {
    theta += dtheta;
    side_sin[s] = std::sin(double(theta));
    side_cos[s] = std::cos(double(theta));
    side_a[s] = side_sin[s] * tube;
    side_c[s] = side_cos[s] * tube;
  }

  const double half_radius = double(torus_radius) * 0.5;
  const float dt = kTwoPi / static_cast<float>(rings);
  float t = 0.0f;
  Vec3 prev, cur;
  for (uint32_t r = 0; r <= rings; ++r) {
    t += dt;
    const float pt = p * t;
    const float qt = q * t;
    const double rho = (std::sin(double(qt)) + 2.0) * half_radius;
    prev = cur;
    cur = Vec3(rho * std::cos(double(pt)), rho * std::sin(double(pt)), rho * std::cos(double(qt)));
    if (r == 0) continue;  // the first point only seeds prev

    // Frame from the chord A = cur − prev (along the tangent) and S = cur + prev:
    // N = A × S and B = N × A are perpendicular to A.
    const Vec3 chord = cur - prev;
    const Vec3 sum = cur + prev;
    Vec3 n = cross(chord, sum);
    Vec3 b = cross(n, chord);
    if (usable_axis(n) && usable_axis(b)) {
      b.normalize();
      n.normalize();
    } else {
      fallback_frame(chord, &b, &n);
    }

    const uint32_t k = r - 1;
    Vec3* ring_vertices = vertices.get() + static_cast<size_t>(k) * sides;
    Vec3* ring_normals = normals.get() + static_cast<size_t>(k) * sides;
    Vec3* offsets = side_offset_.data();
    double* inverse = side_inverse_length_.data();
    for (uint32_t s = 0; s < sides; ++s) {
      const double a = side_a[s];
      const double c = side_c[s];
      offsets[s] = Vec3(b.x * a + n.x * c, b.y * a + n.y * c, b.z * a + n.z * c);
      ring_vertices[s] = cur + offsets[s];
      inverse[s] = offsets[s].length_squared();
    }
    // A loop of its own, so that the square roots and divisions, the costliest
    // steps of a rebuild, run two at a time in vector registers.
    for (uint32_t s = 0; s < sides; ++s) inverse[s] = 1.0 / std::sqrt(inverse[s]);
    for (uint32_t s = 0; s < sides; ++s) {
      if (std::isfinite(inverse[s])) {
        ring_normals[s] = offsets[s] * inverse[s];
      } else {
        // Zero tube radius: the tube is a line, its normals still point outward.
        ring_normals[s] =
            Vec3(b.x * side_sin[s] + n.x * side_cos[s], b.y * side_sin[s] + n.y * side_cos[s],
                 b.z * side_sin[s] + n.z * side_cos[s])
                .normalized();
      }
    }
  }
}
