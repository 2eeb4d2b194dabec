#pragma once

// The images of the log viewer, the exclusion editor and the custom controls live in a resource
// file of the static application library; a window that shows them makes sure it is linked in.
void initWindowsResources();

class QWidget;

// A top-level window with the plain white background of the application's windows.
void makeWhiteWindow(QWidget& window);
