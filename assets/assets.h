// The installer's two pictures, compiled in as XPM data (two characters per
// pixel) for gdk_pixbuf_new_from_xpm_data: the 256 x 256 window icon, whose
// background is the transparent colour "None", and the opaque 158 x 286 side
// picture that the wizard pages show at their left.
//
// The arrays are generated from assets/icon.svg and assets/side_picture.svg
// by assets/render_assets and live for the whole process; callers never free
// them. GdkPixbuf only reads the data, but takes a `const char**`, so callers
// cast the constness of the pointers away. Any thread may call these.
#ifndef ASSETS_ASSETS_H_
#define ASSETS_ASSETS_H_

constexpr int kIconSize = 256;
constexpr int kSidePictureWidth = 158;
constexpr int kSidePictureHeight = 286;

// The window icon: header "256 256 N 2", N colour lines, 256 pixel rows.
const char* const* IconXpm();

// The side picture: header "158 286 N 2", N colour lines, 286 pixel rows.
const char* const* SidePictureXpm();

#endif  // ASSETS_ASSETS_H_
