// What the program sets up around its window: sharp rendering on scaled screens, Qt's own
// Chinese texts for the standard dialogs and buttons whatever the system's language, and the
// interface font the form is laid out for.
#pragma once

class QApplication;

// Before the application object exists: scale by the screen's pixel ratio and use the larger
// images of icons there.
void prepareInterfaceAttributes();

// After it exists. Returns false when Qt's Chinese translations are not installed (the
// standard dialogs then keep their English texts).
bool setUpInterface(QApplication& app);
