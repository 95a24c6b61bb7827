#include "assets/assets.h"

#include "assets/icon_xpm.h"
#include "assets/side_picture_xpm.h"

const char* const* IconXpm() { return kIconXpm; }

const char* const* SidePictureXpm() { return kSidePictureXpm; }
