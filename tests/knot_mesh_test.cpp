// Mesh generation: geometry of the default torus, strip layout, what stays
// fixed across rebuilds, closure for whole p and q, and degenerate shapes.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "knot/knot_shape.h"

namespace {

// Builds a mesh under the lock, as every caller does.
void build(KnotShape& knot) {
  knot.lock();
  knot.build_mesh();
  knot.unlock();
}

double distance(const Vec3& a, const Vec3& b) {
  return std::sqrt((a - b).length_squared());
}

// Centre of ring k: the mean of its vertices.
Vec3 ring_centre(const KnotShape& knot, uint32_t k) {
  double x = 0, y = 0, z = 0;
  for (uint32_t s = 0; s < knot.sides; ++s) {
    const Vec3& v = knot.vertices[k * knot.sides + s];
    x += v.x;
    y += v.y;
    z += v.z;
  }
  return Vec3(x / knot.sides, y / knot.sides, z / knot.sides);
}

bool all_finite(const KnotShape& knot) {
  for (uint32_t i = 0; i < knot.vertex_count; ++i) {
    if (!is_finite(knot.vertices[i]) || !is_finite(knot.normals[i])) return false;
  }
  return true;
}

}  // namespace

TEST(Vec3, OperationsRoundOnceToFloat) {
  Vec3 a(1, 2, 3), b(4, 5, 6);
  Vec3 c = cross(a, b);
  EXPECT_EQ(c.x, -3.0f);
  EXPECT_EQ(c.y, 6.0f);
  EXPECT_EQ(c.z, -3.0f);
  Vec3 d = (a + b) - a * 2.0;
  EXPECT_EQ(d.x, 3.0f);
  EXPECT_EQ(d.y, 3.0f);
  EXPECT_EQ(d.z, 3.0f);
  Vec3 n = Vec3(3, 0, 4).normalized();
  EXPECT_FLOAT_EQ(n.x, 0.6f);
  EXPECT_FLOAT_EQ(n.z, 0.8f);
  Vec3 zero;
  EXPECT_EQ(zero.x, 0.0f);
  EXPECT_FALSE(is_finite(zero.normalized()));
}

TEST(KnotShape, DefaultsAndConstructionHook) {
  static KnotShape* seen = nullptr;
  KnotShape knot([](KnotShape* k) { seen = k; });
  EXPECT_EQ(seen, &knot);
  EXPECT_EQ(knot.torus_radius, 2.0f);
  EXPECT_EQ(knot.tube_radius, 0.5f);
  EXPECT_EQ(knot.p, 1.0f);
  EXPECT_EQ(knot.q, 0.0f);
  EXPECT_EQ(knot.rings, 150u);
  EXPECT_EQ(knot.sides, 30u);
  EXPECT_FALSE(knot.mesh_built);
  EXPECT_EQ(knot.repeat_along, 15.0f);
  EXPECT_EQ(knot.repeat_around, 2.0f);
  EXPECT_FALSE(knot.env_mapping);
  EXPECT_EQ(knot.texture.gl_name, 0u);
  // The lock is recursive: the holder may take it again.
  knot.lock();
  knot.lock();
  knot.unlock();
  knot.unlock();
}

TEST(KnotMesh, DefaultIsTorusOfRadiusTwoInPlaneZTwo) {
  KnotShape knot;
  build(knot);
  ASSERT_TRUE(knot.mesh_built);
  ASSERT_EQ(knot.vertex_count, 4500u);
  for (uint32_t k = 0; k < knot.rings; ++k) {
    Vec3 centre = ring_centre(knot, k);
    EXPECT_NEAR(std::hypot(centre.x, centre.y), 2.0, 1e-5) << "ring " << k;
    EXPECT_NEAR(centre.z, 2.0, 1e-5) << "ring " << k;
    for (uint32_t s = 0; s < knot.sides; ++s) {
      const Vec3& v = knot.vertices[k * knot.sides + s];
      const Vec3& n = knot.normals[k * knot.sides + s];
      // Every vertex lies on the tube: 0.5 from the circle x² + y² = 4, z = 2.
      // The ring is square to the chord from the previous point, half a step
      // behind the tangent, hence the small tolerance.
      double from_circle = std::hypot(std::hypot(v.x, v.y) - 2.0, v.z - 2.0);
      ASSERT_NEAR(from_circle, 0.5, 2e-4) << "ring " << k << " side " << s;
      ASSERT_NEAR(std::sqrt(n.length_squared()), 1.0, 1e-6);
      // The normal points from the ring's centre to the vertex.
      Vec3 out = (v - centre) * 2.0;
      ASSERT_NEAR(distance(out, n), 0.0, 1e-4);
    }
  }
  // Ring k sits at t = (k + 2)·dt.
  const double dt = 6.2831855f / 150.0f;
  Vec3 c0 = ring_centre(knot, 0);
  EXPECT_NEAR(std::atan2(c0.y, c0.x), 2 * dt, 1e-5);
}

TEST(KnotMesh, RingsRunAroundTheTubeInTheirDirection) {
  // The default knot is the circle (2 cos t, 2 sin t, 2). At ring k the
  // frame is N = (cos m, sin m, -1)/√2 and B = (cos m, sin m, 1)/√2, m the
  // angle half a step back (the chord's midpoint), and side s sits at
  // θ = (s + 1)·2π/sides: offset = 0.5·(B sin θ + N cos θ). So side 29 points
  // outward and down, and the sides turn from there towards outward and up.
  KnotShape knot;
  build(knot);
  const double dt = 6.2831855f / 150.0f;
  for (uint32_t k : {0u, 1u, 37u, 149u}) {
    const double m = (k + 2) * dt - dt / 2;
    const double t = (k + 2) * dt;
    for (uint32_t s = 0; s < knot.sides; ++s) {
      const double theta = (s + 1) * (6.2831855f / 30.0f);
      const double a = std::sin(theta) * 0.5 / std::sqrt(2.0);
      const double b = std::cos(theta) * 0.5 / std::sqrt(2.0);
      const double expected[3] = {2 * std::cos(t) + (a + b) * std::cos(m),
                                  2 * std::sin(t) + (a + b) * std::sin(m), 2 + a - b};
      const Vec3& v = knot.vertices[k * knot.sides + s];
      EXPECT_NEAR(v.x, expected[0], 2e-4) << "ring " << k << " side " << s;
      EXPECT_NEAR(v.y, expected[1], 2e-4) << "ring " << k << " side " << s;
      EXPECT_NEAR(v.z, expected[2], 2e-4) << "ring " << k << " side " << s;
    }
  }
}

TEST(KnotMesh, IndicesFormOneClosedStripPerRing) {
  KnotShape knot;
  build(knot);
  ASSERT_EQ(knot.index_count, 9300u);
  const uint32_t per_ring = 2 * knot.sides + 2;
  ASSERT_EQ(per_ring, 62u);
  for (uint32_t r = 0; r < knot.rings; ++r) {
    const uint32_t* strip = knot.indices.get() + r * per_ring;
    const uint32_t next = (r + 1) % knot.rings;
    EXPECT_EQ(strip[0], next * knot.sides);
    EXPECT_EQ(strip[1], r * knot.sides);
    // The strip closes the tube by repeating side 0.
    EXPECT_EQ(strip[per_ring - 2], strip[0]);
    EXPECT_EQ(strip[per_ring - 1], strip[1]);
    for (uint32_t i = 0; i < per_ring; ++i) ASSERT_LT(strip[i], knot.vertex_count);
  }
  // The last strip wraps from ring 149 back to ring 0.
  const uint32_t* last = knot.indices.get() + 149 * per_ring;
  EXPECT_EQ(last[0], 0u);
  EXPECT_EQ(last[1], 149u * 30u);
}

TEST(KnotMesh, TextureCoordinatesRepeatAndSurviveRebuilds) {
  KnotShape knot;
  build(knot);
  // u steps by 0.1 a ring and wraps every tenth; v by 1/15 a side, wrapping at 15.
  EXPECT_FLOAT_EQ(knot.tex_coords[2 * (9 * 30)], 0.9f);
  EXPECT_FLOAT_EQ(knot.tex_coords[2 * (10 * 30)], 0.0f);
  EXPECT_FLOAT_EQ(knot.tex_coords[2 * 1 + 1], float(1.0 / 15.0));
  EXPECT_FLOAT_EQ(knot.tex_coords[2 * 15 + 1], 0.0f);

  std::vector<float> before(knot.tex_coords.get(), knot.tex_coords.get() + 2 * knot.vertex_count);
  const Vec3* vertex_address = knot.vertices.get();
  knot.lock();
  knot.set_pq(2.0f, 3.0f);
  knot.set_radii(1.3f, 0.2f);
  knot.set_texture_repeats(7.0f, 3.0f);  // only for the next first build
  knot.build_mesh();
  knot.unlock();
  EXPECT_EQ(knot.vertices.get(), vertex_address) << "a rebuild must not reallocate";
  EXPECT_EQ(0, std::memcmp(before.data(), knot.tex_coords.get(), before.size() * sizeof(float)));

  // After set_resolution the next build starts afresh, with the new repeats.
  knot.lock();
  knot.set_resolution(20, 8);
  EXPECT_FALSE(knot.mesh_built);
  knot.build_mesh();
  knot.unlock();
  EXPECT_EQ(knot.vertex_count, 160u);
  EXPECT_EQ(knot.index_count, 18u * 20u);
  EXPECT_FLOAT_EQ(knot.tex_coords[2 * 8], float(std::fmod(7.0 / 20.0, 1.0)));
}

TEST(KnotMesh, UnchangedRebuildIsBitIdentical) {
  KnotShape knot;
  knot.lock();
  knot.set_pq(3.0f, 2.0f);
  knot.unlock();
  build(knot);
  std::vector<Vec3> v(knot.vertices.get(), knot.vertices.get() + knot.vertex_count);
  std::vector<Vec3> n(knot.normals.get(), knot.normals.get() + knot.vertex_count);
  std::vector<uint32_t> idx(knot.indices.get(), knot.indices.get() + knot.index_count);
  build(knot);
  EXPECT_EQ(0, std::memcmp(v.data(), knot.vertices.get(), v.size() * sizeof(Vec3)));
  EXPECT_EQ(0, std::memcmp(n.data(), knot.normals.get(), n.size() * sizeof(Vec3)));
  EXPECT_EQ(0, std::memcmp(idx.data(), knot.indices.get(), idx.size() * sizeof(uint32_t)));
}

TEST(KnotMesh, WholePAndQCloseOneStepBeforeRingZero) {
  const float pq[][2] = {{2, 3}, {3, 2}, {1, 0}, {5, 1}};
  for (const auto& c : pq) {
    KnotShape knot;
    knot.lock();
    knot.set_pq(c[0], c[1]);
    knot.build_mesh();
    knot.unlock();
    // The last ring sits at t = 151·dt, which for whole p and q is the point
    // at t = dt, one step before ring 0 (at 2·dt).
    Vec3 last = ring_centre(knot, knot.rings - 1);
    Vec3 first = ring_centre(knot, 0);
    const double dt = 6.2831855f / 150.0f;
    const double rho = (std::sin(c[1] * dt) + 2.0);  // R/2 = 1
    Vec3 expected(rho * std::cos(c[0] * dt), rho * std::sin(c[0] * dt), rho * std::cos(c[1] * dt));
    EXPECT_NEAR(distance(last, expected), 0.0, 1e-3) << "p=" << c[0] << " q=" << c[1];
    EXPECT_GT(distance(last, first), 0.05) << "the last ring must not coincide with ring 0";
  }
}

TEST(KnotMesh, FractionalPDoesNotClose) {
  KnotShape knot;
  knot.lock();
  knot.set_pq(1.5f, 0.0f);
  knot.build_mesh();
  knot.unlock();
  Vec3 last = ring_centre(knot, knot.rings - 1);
  Vec3 first = ring_centre(knot, 0);
  EXPECT_GT(distance(last, first), 1.0);
}

TEST(KnotMesh, DegenerateShapesStayFinite) {
  struct Case {
    const char* name;
    float p, q, torus, tube;
  };
  const Case cases[] = {
      {"p = q = 0", 0, 0, 2.0f, 0.5f},
      {"torus radius 0", 2, 3, 0.0f, 0.5f},
      {"tube radius 0", 2, 3, 2.0f, 0.0f},
      {"everything 0", 0, 0, 0.0f, 0.0f},
  };
  for (const Case& c : cases) {
    KnotShape knot;
    knot.lock();
    knot.set_pq(c.p, c.q);
    knot.set_radii(c.torus, c.tube);
    knot.build_mesh();
    knot.unlock();
    ASSERT_TRUE(knot.mesh_built) << c.name;
    EXPECT_TRUE(all_finite(knot)) << c.name;
    for (uint32_t i = 0; i < knot.vertex_count; ++i) {
      ASSERT_NEAR(std::sqrt(knot.normals[i].length_squared()), 1.0, 1e-5) << c.name;
    }
    // The tube keeps its radius around the (possibly collapsed) centre line.
    Vec3 centre = ring_centre(knot, 5);
    EXPECT_NEAR(distance(knot.vertices[5 * knot.sides], centre), c.tube, 1e-5) << c.name;
  }
}

TEST(KnotMesh, ZeroResolutionBuildsNothing) {
  KnotShape knot;
  knot.lock();
  knot.set_resolution(0, 30);
  knot.build_mesh();
  knot.unlock();
  EXPECT_FALSE(knot.mesh_built);
}
