// Profile and pixel-format tables (not yet built).
#include "profiles.h"

void list_profiles(const char*, ChoiceList& profiles) { profiles.clear(); }
void list_pixel_formats(const char*, ChoiceList& formats) { formats.clear(); }
void list_sample_formats(const char*, ChoiceList& formats) { formats.clear(); }
