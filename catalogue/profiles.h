// Profile, pixel-format and sample-format lists of a chosen encoder, and the
// tables the writer reads again to apply a chosen profile.
#pragma once

#include "entries.h"

void list_profiles(const char* encoder_name, ChoiceList& profiles);
void list_pixel_formats(const char* encoder_name, ChoiceList& formats);
void list_sample_formats(const char* encoder_name, ChoiceList& formats);
