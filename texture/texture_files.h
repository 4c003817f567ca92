// Which dropped files become the knot's texture.
#pragma once

// True when the name contains ".jpg" or ".JPG" (two case-sensitive
// searches): "photo.JPG" and even "notes.jpg.txt" are taken, "photo.jpeg"
// and "photo.Jpg" are not.
bool is_texture_file_name(const char* name);
