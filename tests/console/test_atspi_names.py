"""The console's names over the accessibility bus (AT-SPI), as a screen reader on Linux gets
them: every box of the panel its row and quantity (through its labelled-by relation, since the
bus names an editable combo box by its text, and on its edit field), the lamps their row and
state, the status pane its text; after a press of a switch the lamp's and the pane's new names.

    test_atspi_names.py MORVANE SETUP_INI

Runs the console on the built-in simulator on the xcb platform, under a D-Bus session and an X
server of its own (dbus-run-session, xvfb-run). Exits 77 (CTest's skip code here) when one of
them, the AT-SPI bus launcher or Python's Atspi binding (Debian at-spi2-core, gir1.2-atspi-2.0,
python3-gi) is missing.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

WAIT_S = 60  # limit for a slow machine, not an expectation of speed
# Past the console's second opened text (a second after the open), with room for a busy machine.
STATUS_REWRITE_S = 3.0
INNER = "MORVANE_ATSPI_INNER"


def skip(why):
    print("skipped: " + why)
    sys.exit(77)


try:
    import gi

    gi.require_version("Atspi", "2.0")
    from gi.repository import Atspi
except (ImportError, ValueError) as e:
    skip(f"{e} (Debian gir1.2-atspi-2.0 and python3-gi)")

MORVANE, SETUP = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])

if os.environ.get(INNER) != "1":
    missing = [t for t in ("dbus-run-session", "xvfb-run") if shutil.which(t) is None]
    if not os.path.exists("/usr/libexec/at-spi-bus-launcher"):
        missing.append("at-spi-bus-launcher")
    if missing:
        skip("missing " + ", ".join(missing) + " (Debian dbus, xvfb, at-spi2-core)")
    env = dict(os.environ, **{INNER: "1"})
    sys.exit(subprocess.call(["dbus-run-session", "--", "xvfb-run", "-a", sys.executable,
                              os.path.abspath(__file__), MORVANE, SETUP], env=env))


def wait_for(what, probe):
    """probe() until it returns something true; fails the test after WAIT_S."""
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        value = probe()
        if value:
            return value
        time.sleep(0.1)
    sys.exit(f"FAILED: no {what} within {WAIT_S} s")


def walk(node):
    yield node
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from walk(child)


def showing(node):
    return node.get_state_set().contains(Atspi.StateType.SHOWING)


def role(node):
    return node.get_role()


def console_app():
    desktop = Atspi.get_desktop(0)
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        if app is not None and app.get_name() == "Morvane":
            return app
    return None


def labelled_by(node):
    names = []
    for relation in node.get_relation_set():
        if relation.get_relation_type() == Atspi.RelationType.LABELLED_BY:
            names += [relation.get_target(i).get_name() for i in range(relation.get_n_targets())]
    return names


def snapshot(app):
    """Names of the showing boxes (label, edit field, text), lamps, switches and the status pane."""
    boxes, lamps, switches, pane = [], [], [], None
    nodes = list(walk(app))
    for node in nodes:
        node.clear_cache()  # names as the console gives them now
    for node in nodes:
        r = role(node)
        if r == Atspi.Role.COMBO_BOX and showing(node):
            edits = [c.get_name() for c in walk(node) if role(c) == Atspi.Role.TEXT]
            boxes.append((labelled_by(node), edits, node.get_name()))
        elif r == Atspi.Role.IMAGE and showing(node):
            lamps.append(node.get_name())
        elif r == Atspi.Role.PUSH_BUTTON and showing(node):
            switches.append(node)
        elif r == Atspi.Role.STATUS_BAR and pane is None:
            pane = node.get_child_at_index(0).get_name()
    return boxes, lamps, switches, pane


def main():
    failures = []

    def check(ok, what):
        if not ok:
            failures.append(what)
            print("FAILED: " + what)

    Atspi.get_desktop(0)  # starts the accessibility bus before the console looks for it
    with tempfile.TemporaryDirectory() as scratch:
        home = os.path.join(scratch, "home")
        work = os.path.join(scratch, "work")
        for d in (home, work, os.path.join(home, "config"), os.path.join(home, "rt")):
            os.makedirs(d, exist_ok=True)
        os.chmod(os.path.join(home, "rt"), 0o700)
        shutil.copy(SETUP, os.path.join(work, "setup.ini"))
        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
                   XDG_RUNTIME_DIR=os.path.join(home, "rt"), QT_QPA_PLATFORM="xcb",
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1")
        env.pop(INNER, None)
        console = subprocess.Popen([MORVANE, "--simulate"], cwd=work, env=env)
        try:
            app = wait_for("console on the bus", console_app)
            opened = " 狀態 : [RS232] 串列埠[ sim ] 已開啟"
            boxes, lamps, switches, pane = wait_for(
                "opened text in the status pane",
                lambda: (lambda s: s if s[3] == opened else None)(snapshot(app)))
            opened_at = time.monotonic()

            expected = {f"CH{n} {q}" for n in range(1, 9) for q in ("頻率", "振幅", "相位")}
            labels = [names[0] if len(names) == 1 else repr(names) for names, _, _ in boxes]
            check(sorted(labels) == sorted(expected), f"box labels {labels}")
            for names, edits, text in boxes:
                check(edits == names, f"edit field of {names} named {edits}")
            check(lamps == [f"CH{n} 輸出 關" for n in range(1, 9)], f"lamps {lamps}")

            # The console writes its opened text once more a second after the open, over
            # whatever the status pane shows then: press after that, or the press's text can
            # be gone before it is read.
            time.sleep(max(0.0, STATUS_REWRITE_S - (time.monotonic() - opened_at)))
            # The first switch is row CH1's; a press switches it on.
            switches[0].do_action(0)
            lamp, pane = wait_for(
                "new status text", lambda: (lambda s: (s[1][0], s[3]) if s[3] != opened
                                            else None)(snapshot(app)))
            check(lamp == "CH1 輸出 開", f"lamp after the press {lamp!r}")
            check(pane.startswith("單個通道設定 : CH[1] "), f"pane after the press {pane!r}")
        finally:
            console.terminate()
            console.wait(timeout=WAIT_S)
    if failures:
        sys.exit(1)
    print("ok")


main()
