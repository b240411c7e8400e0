#include "image/edition_listing.h"

#include "app/main_form.h"

void onBrowseClicked(MainForm&) {}
