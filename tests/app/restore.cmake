# Application tests of this group of windows.
