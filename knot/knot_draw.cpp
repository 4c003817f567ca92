// Drawing the tube with OpenGL 1.1 client-side arrays.

#include <GL/gl.h>

#include "knot_shape.h"

void KnotShape::draw() {
  // The array addresses never change once the mesh exists, so they are handed
  // to OpenGL before the lock is taken.
  glEnableClientState(GL_VERTEX_ARRAY);
  glVertexPointer(3, GL_FLOAT, 0, vertices.get());
  glNormalPointer(GL_FLOAT, 0, normals.get());
  glEnableClientState(GL_NORMAL_ARRAY);

  if (env_mapping_now()) {
    // Sphere-mapped coordinates replace the mesh's own.
    glTexGeni(GL_S, GL_TEXTURE_GEN_MODE, GL_SPHERE_MAP);
    glTexGeni(GL_T, GL_TEXTURE_GEN_MODE, GL_SPHERE_MAP);
    glEnable(GL_TEXTURE_GEN_S);
    glEnable(GL_TEXTURE_GEN_T);
  } else {
    glEnableClientState(GL_TEXTURE_COORD_ARRAY);
    glTexCoordPointer(2, GL_FLOAT, 0, tex_coords.get());
    glDisable(GL_TEXTURE_GEN_S);
    glDisable(GL_TEXTURE_GEN_T);
  }

  lock();
  texture.bind();
  if (mesh_built) {
    // Strip i joins ring i and ring i + 1. The stored strip from the last ring
    // back to ring 0 is not drawn, which leaves the tube one segment open.
    const GLsizei strip = static_cast<GLsizei>(2 * sides + 2);
    for (uint32_t i = 0; i + 1 < rings; ++i) {
      glDrawElements(GL_TRIANGLE_STRIP, strip, GL_UNSIGNED_INT,
                     indices.get() + static_cast<size_t>(strip) * i);
    }
  }
  unlock();
}
