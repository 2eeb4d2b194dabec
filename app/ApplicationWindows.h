#pragma once

#include "AppWindows.h"

// The application's real windows, one factory per kind, as the program and its test host register them.
AppWindows applicationWindows();
