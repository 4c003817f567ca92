#include "texture_files.h"

#include <cstring>

bool is_texture_file_name(const char* name) {
  return name != nullptr &&
         (std::strstr(name, ".jpg") != nullptr || std::strstr(name, ".JPG") != nullptr);
}
