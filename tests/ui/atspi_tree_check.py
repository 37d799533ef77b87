#!/usr/bin/python3
"""Reads the real window's tree on the accessibility bus, as a screen reader does, and checks what
it says of the link lines, the banner, the list, the Download buttons and the address box. Prints
the tree. Presses the first link line through the bus and checks that its page went to the browser.

    atspi_tree_check.py TARROW_PROGRAM

Runs itself again under xvfb-run and dbus-run-session, where the accessibility bus and registry
(at-spi2-core) are started on demand. Exits 77, which CTest counts as skipped, only when one of
those or pyatspi is missing.
"""
import importlib.util
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
PAGE_OTHER_PRODUCT = "https://merrow.example.org/keelwatch/"
PROMO_1 = "Keelwatch lists every open connection on your computer and the program behind it."
PROMO_2 = "Merrow Labs makes more small, free tools that keep an eye on your network."
COMBO_LABEL_END = "Select Local Interface..."


def outer(program):
    missing = [tool for tool in ("xvfb-run", "dbus-run-session") if shutil.which(tool) is None]
    if not os.path.exists("/usr/share/dbus-1/services/org.a11y.Bus.service"):
        missing.append("at-spi2-core")
    if importlib.util.find_spec("pyatspi") is None:
        missing.append("python3-pyatspi")
    if missing:
        print("SKIP: not installed: " + ", ".join(missing))
        return SKIP
    command = ["xvfb-run", "-a", "-s", "-screen 0 1280x1024x24", "dbus-run-session", "--",
               sys.executable, os.path.abspath(__file__), "--inner", os.path.abspath(program)]
    try:
        return subprocess.run(command, timeout=150).returncode
    except subprocess.TimeoutExpired:
        print("FAIL: the check did not end within 150 s")
        return 1


def wait_for(what, probe, seconds):
    deadline = time.monotonic() + seconds
    while True:
        found = probe()
        if found:
            return found
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.2)


def actions(node):
    try:
        action = node.queryAction()
    except NotImplementedError:
        return []
    return [action.getName(i) for i in range(action.nActions)]


def labelled_by(node, pyatspi):
    names = []
    for relation in node.getRelationSet():
        if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
            names += [relation.getTarget(i).name for i in range(relation.getNTargets())]
    return names


def walk(node, depth=0):
    yield depth, node
    for i in range(min(node.childCount, 50)):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from walk(child, depth + 1)


def dump(app, pyatspi):
    nodes = []
    for depth, node in walk(app):
        line = "  " * depth + "[%s] name=%r" % (node.getRoleName(), node.name)
        if node.description:
            line += " description=%r" % node.description
        if actions(node):
            line += " actions=%s" % actions(node)
        if labelled_by(node, pyatspi):
            line += " labelled-by=%r" % labelled_by(node, pyatspi)
        if node.getState().contains(pyatspi.STATE_FOCUSABLE):
            line += " focusable"
        print(line)
        nodes.append(node)
    return nodes


def inner(program):
    import pyatspi

    # Neither this script nor the window may wait for ever on a bus that does not answer.
    signal.signal(signal.SIGALRM, lambda *_: (_ for _ in ()).throw(AssertionError("no answer within 120 s")))
    signal.alarm(120)
    scratch = tempfile.mkdtemp(prefix="tarrow-atspi-")
    opened = os.path.join(scratch, "opened")
    browser = os.path.join(scratch, "browser")
    with open(browser, "w") as script:
        script.write('#!/bin/sh\nprintf "%%s\\n" "$1" >> "%s"\n' % opened)
    os.chmod(browser, 0o755)
    for folder in ("config", "data", "empty"):
        os.mkdir(os.path.join(scratch, folder))
    env = dict(os.environ, QT_QPA_PLATFORM="xcb", QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
               BROWSER=browser,
               # No desktop and no registered handler: xdg-open hands the page to $BROWSER.
               XDG_CONFIG_HOME=os.path.join(scratch, "config"), XDG_DATA_HOME=os.path.join(scratch, "data"),
               XDG_DATA_DIRS=os.path.join(scratch, "empty"), XDG_CURRENT_DESKTOP="", DESKTOP_SESSION="")
    # xvfb-run can hand over before its server takes connections on a loaded machine, and a window
    # that finds no display ends at once: wait for the display, and start again a window that ended.
    if shutil.which("xdpyinfo"):
        wait_for("the X display", lambda: subprocess.run(["xdpyinfo"], stdout=subprocess.DEVNULL,
                                                         stderr=subprocess.DEVNULL).returncode == 0, 30)
    window = subprocess.Popen([program], env=env)
    starts = [1]
    try:
        def find_app():
            nonlocal window
            if window.poll() is not None and starts[0] < 3:
                starts[0] += 1
                window = subprocess.Popen([program], env=env)
            desktop = pyatspi.Registry.getDesktop(0)
            for i in range(desktop.childCount):
                app = desktop.getChildAtIndex(i)
                if app is not None and app.get_process_id() == window.pid and app.childCount > 0:
                    return app
            return None

        app = wait_for("the window on the accessibility bus", find_app, 60)
        wait_for("the window's controls", lambda: any(n.name == PROMO_1 for _, n in walk(app)), 30)
        print("AT-SPI tree of %s (pid %d):" % (program, window.pid))
        nodes = dump(app, pyatspi)
        results = []

        def check(what, condition):
            print(("ok   " if condition else "FAIL ") + what)
            results.append(bool(condition))

        def find(role, name=None, description=None):
            return [n for n in nodes if n.getRoleName() == role and (name is None or name(n.name))
                    and (description is None or n.description == description)]

        for text in (PROMO_1, PROMO_2):
            lines = find("link", lambda name, text=text: name == text)
            check("one link named %r, with the Press action and no tab stop" % text,
                  len(lines) == 1 and actions(lines[0]) == ["Press"]
                  and not lines[0].getState().contains(pyatspi.STATE_FOCUSABLE))
            check("one Download Here button described by %r" % text,
                  len(find("push button", lambda name: name == "Download Here", text)) == 1)
        banners = find("link", lambda name: name.startswith("Tarrow: Watches the DNS queries"))
        check("the banner is a link named by the text it shows, with the Press action",
              len(banners) == 1 and actions(banners[0]) == ["Press"])
        check("the list is a table named 'Captured DNS Names'",
              len(find("table", lambda name: name == "Captured DNS Names")) == 1)
        combos = find("combo box")
        check("the address box is labelled by %r" % COMBO_LABEL_END,
              len(combos) == 1 and any(n.endswith(COMBO_LABEL_END) for n in labelled_by(combos[0], pyatspi)))

        promo = find("link", lambda name: name == PROMO_1)
        if promo:
            promo[0].queryAction().doAction(0)
        try:
            pages = wait_for("the browser", lambda: os.path.exists(opened) and open(opened).read().split(), 20)
        except AssertionError:
            pages = []
        check("pressing the first line through the bus hands %s to the browser" % PAGE_OTHER_PRODUCT,
              pages == [PAGE_OTHER_PRODUCT])
        print("%d passed, %d failed" % (results.count(True), results.count(False)))
        return 0 if all(results) else 1
    except AssertionError as error:
        print("FAIL: %s" % error)
        return 1
    finally:
        signal.alarm(0)
        window.terminate()
        try:
            window.wait(timeout=10)
        except subprocess.TimeoutExpired:
            window.kill()
            window.wait()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--inner":
        sys.exit(inner(sys.argv[2]))
    if len(sys.argv) != 2:
        print(__doc__)
        sys.exit(2)
    sys.exit(outer(sys.argv[1]))
