# Sources of zh_app for this group of windows.
