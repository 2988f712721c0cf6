// The screenshot run: shows the dialog, waits until the acquisition thread
// has put the chosen node into the tree, selects it (expanding its parents,
// as a user would), waits for readings, and writes the window as a PNG.
#pragma once

#include "ui/window_options.h"

namespace kvx::ui {

class CKvxclient_01Dlg;

// Runs the sequence in the dialog's modal loop and closes the dialog; returns
// 0 when the PNG was written, 1 when the node never appeared or the file
// could not be written.
int RunScreenshot(CKvxclient_01Dlg& dialog, const WindowOptions& options);

}  // namespace kvx::ui
