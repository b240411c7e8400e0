// Listing the editions of an image file.
#pragma once

struct MainForm;

// 按钮1: choose an image file and list its editions into 组合框1.
void onBrowseClicked(MainForm& form);
