#pragma once

// What assistive technology (a screen reader) is told about the application's drawn controls: the blue
// buttons are drawn by hand, so they say themselves what they are (a button), what they are called (the
// title, else the accessible name, else the tool tip for an image-only one) and their state.
namespace AccessibleControls {
// Registers the interfaces once; every drawn control calls it when it is made.
void install();
} // namespace AccessibleControls
