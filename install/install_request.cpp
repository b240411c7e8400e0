#include "install/install_request.h"

#include "app/main_form.h"

void onInstallClicked(MainForm&) {}
