"""Drives Thunar in a desktop session through its accessibility tree (AT-SPI): right-clicks a file,
finds an entry of its context menu by name and activates it; fills the application's log-in window; and
waits for a window of another program.

    filemanager_desktop.py menu FOLDER-WINDOW-TITLE FILE-NAME ENTRY
    filemanager_desktop.py window TITLE-PART SECONDS
    filemanager_desktop.py login SECONDS     (ZH_ADDRESS, ZH_ACCOUNT, ZH_PASSWORD in the environment)
"""

import os
import subprocess
import sys
import time

import pyatspi


def walk(node, depth=0):
    if node is None or depth > 12:
        return
    yield node
    for i in range(node.childCount):
        try:
            child = node.getChildAtIndex(i)
        except Exception:  # a node gone while it is walked
            continue
        yield from walk(child, depth + 1)


def applications():
    desktop = pyatspi.Registry.getDesktop(0)
    return [desktop.getChildAtIndex(i) for i in range(desktop.childCount)]


def find(predicate, seconds, app_name=None):
    end = time.time() + seconds
    while time.time() < end:
        for app in applications():
            if app is None or (app_name and app.name != app_name):
                continue
            for node in walk(app):
                try:
                    if predicate(node):
                        return node
                except Exception:
                    pass
        time.sleep(0.3)
    return None


def showing(node):
    return node.getState().contains(pyatspi.STATE_SHOWING)


def menu(window_title, file_name, entry):
    frame = find(lambda n: n.getRoleName() == "frame" and window_title in n.name, 30, "thunar")
    if frame is None:
        sys.exit("no Thunar window %r" % window_title)
    # The list view: its rows are in the accessibility tree (the icon view's are not).
    view = next((n for n in walk(frame) if n.getRoleName() == "push button" and n.name == "List View"), None)
    if view is not None:
        view.queryAction().doAction(0)
    icon = None
    end = time.time() + 30
    while icon is None and time.time() < end:
        icon = next((n for n in walk(frame) if n.name == file_name and showing(n)
                     and n.getRoleName() in ("icon", "table cell", "list item", "label")), None)
        time.sleep(0.3)
    if icon is None:
        seen = ["%s %r" % (n.getRoleName(), n.name) for n in walk(frame) if n.name]
        sys.exit("no %r in the Thunar window: %s" % (file_name, seen[:80]))
    # Thunar's window in front (the application's windows may cover it), then the row where it is now.
    ids = subprocess.run(["xdotool", "search", "--onlyvisible", "--class", "Thunar"], capture_output=True,
                         text=True).stdout.split()
    for wid in ids:
        title = subprocess.run(["xdotool", "getwindowname", wid], capture_output=True, text=True).stdout
        if title.strip() == frame.name:
            subprocess.run(["xdotool", "windowactivate", "--sync", wid], check=False)
            time.sleep(0.5)
    box = icon.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
    x, y = box.x + box.width // 2, box.y + box.height // 2
    # A person's right click, at the file.
    subprocess.run(["xdotool", "mousemove", str(x), str(y), "click", "1"], check=True)
    time.sleep(0.5)
    subprocess.run(["xdotool", "click", "3"], check=True)
    item = find(lambda n: n.getRoleName() == "menu item" and n.name == entry and showing(n), 20, "thunar")
    if item is None:
        entries = [n.name for n in walk(find(lambda n: n.getRoleName() == "menu" and showing(n)
                                             and n.name == "", 5, "thunar")) if n.getRoleName() == "menu item"]
        sys.exit("no entry %r in the context menu: %s" % (entry, entries))
    action = item.queryAction()
    action.doAction(0)
    print("activated %r for %r" % (entry, file_name))


def window(title_part, seconds):
    hit = find(lambda n: n.getRoleName() in ("frame", "dialog", "window") and title_part in (n.name or "")
               and showing(n), float(seconds))
    if hit is None:
        names = [a.name for a in applications() if a is not None]
        sys.exit("no window %r (programs: %s)" % (title_part, names))
    print("window %r" % hit.name)


def login(seconds):
    """Fills the application's log-in window as a person does (address, user name, password from the
    environment, so the password is on no command line) and presses "Log In"."""
    fields = {"Appliance address (IP address or host name)": os.environ["ZH_ADDRESS"],
              "User name": os.environ["ZH_ACCOUNT"], "Password": os.environ["ZH_PASSWORD"]}
    for name, text in fields.items():
        field = find(lambda n: n.getRoleName() in ("text", "password text", "entry") and n.name == name
                     and showing(n), float(seconds))
        if field is None:
            names = [a.name for a in applications() if a is not None]
            sys.exit("no field %r in the log-in window (programs: %s)" % (name, names))
        field.queryEditableText().setTextContents(text)
    button = find(lambda n: n.getRoleName() == "push button" and n.name == "Log In" and showing(n), 10)
    if button is None:
        sys.exit("no Log In button")
    button.queryAction().doAction(0)
    print("logged in as %r" % fields["User name"])


if __name__ == "__main__":
    if sys.argv[1] == "menu":
        menu(sys.argv[2], sys.argv[3], sys.argv[4])
    elif sys.argv[1] == "login":
        login(sys.argv[2])
    else:
        window(sys.argv[2], sys.argv[3])
