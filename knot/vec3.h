// Three single-precision floats, as the mesh stores them.
//
// Every operation computes in double precision and rounds each component to
// single precision once, when it is stored: mesh generation needs products
// carried at double precision with float results.
#pragma once

#include <cmath>

struct Vec3 {
  float x = 0.0f;
  float y = 0.0f;
  float z = 0.0f;

  Vec3() = default;
  Vec3(double ax, double ay, double az)
      : x(static_cast<float>(ax)), y(static_cast<float>(ay)), z(static_cast<float>(az)) {}

  void set(double ax, double ay, double az) { *this = Vec3(ax, ay, az); }

  friend Vec3 operator+(const Vec3& a, const Vec3& b) {
    return {double(a.x) + b.x, double(a.y) + b.y, double(a.z) + b.z};
  }
  friend Vec3 operator-(const Vec3& a, const Vec3& b) {
    return {double(a.x) - b.x, double(a.y) - b.y, double(a.z) - b.z};
  }
  friend Vec3 operator*(const Vec3& a, double s) { return {a.x * s, a.y * s, a.z * s}; }

  double length_squared() const { return double(x) * x + double(y) * y + double(z) * z; }

  // Each component times 1 / sqrt(x² + y² + z²). A zero vector gives
  // non-finite components; callers that can meet one check first.
  Vec3 normalized() const { return *this * (1.0 / std::sqrt(length_squared())); }
  void normalize() { *this = normalized(); }
};

inline Vec3 cross(const Vec3& a, const Vec3& b) {
  return {double(a.y) * b.z - double(a.z) * b.y, double(a.z) * b.x - double(a.x) * b.z,
          double(a.x) * b.y - double(a.y) * b.x};
}

inline bool is_finite(const Vec3& v) {
  return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z);
}
