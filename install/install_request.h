// The install button: checks the request and starts an installation.
#pragma once

struct MainForm;

void onInstallClicked(MainForm& form);
