#include "knot_texture.h"

#include <GL/gl.h>
#include <GL/glu.h>

KnotTexture::~KnotTexture() {
  release();
}

void KnotTexture::set_image(std::unique_ptr<uint8_t[]> new_pixels, int32_t new_width,
                            int32_t new_height, int32_t new_channels) {
  pixels = std::move(new_pixels);
  width = new_width;
  height = new_height;
  channels = new_channels;
}

void KnotTexture::upload() {
  if (gl_name != 0) glDeleteTextures(1, &gl_name);
  glGenTextures(1, &gl_name);
  glBindTexture(GL_TEXTURE_2D, gl_name);
  if (pixels && width > 0 && height > 0) {
    if (channels == 1) {
      gluBuild2DMipmaps(GL_TEXTURE_2D, 1, width, height, GL_LUMINANCE, GL_UNSIGNED_BYTE,
                        pixels.get());
    } else if (channels == 3) {
      gluBuild2DMipmaps(GL_TEXTURE_2D, 3, width, height, GL_RGB, GL_UNSIGNED_BYTE, pixels.get());
    }
  }
  glBindTexture(GL_TEXTURE_2D, 0);
}

void KnotTexture::bind() const {
  glBindTexture(GL_TEXTURE_2D, gl_name);
}

void KnotTexture::release() {
  pixels.reset();
  if (gl_name != 0) {
    glDeleteTextures(1, &gl_name);
    gl_name = 0;
  }
}
