"""The window on a real X server, as a screen reader uses it: a file converted through AT-SPI
alone (README.md says what to install; skipped, exit 77, without it).
usage: /usr/bin/python3 tests/desktop.py PROGRAM OLD_SETUP NEW_SETUP"""
import importlib.util, os, shutil, signal, subprocess as sp, sys, tempfile, time

program, old, new = sys.argv[1:4]
missing = [n for n in ("Xvfb", "openbox", "dbus-launch", "xprop") if not shutil.which(n)]
missing += [] if importlib.util.find_spec("pyatspi") else ["pyatspi for " + sys.executable]
launcher = "/usr/libexec/at-spi-bus-launcher"
if missing or not os.path.exists(launcher):
    sys.exit(print("SKIPPED: no", *missing or [launcher], "; see", __file__) or 77)
home = tempfile.mkdtemp()
os.environ.update(HOME=home, XDG_RUNTIME_DIR=home, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                  QT_QPA_PLATFORM="xcb")
started = [sp.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1280x800x24"], stdout=sp.PIPE)]
os.environ["DISPLAY"] = ":" + started[0].stdout.readline().decode().strip()
while sp.run(["xprop", "-root"], capture_output=True).returncode:  # until X answers
    time.sleep(0.1)
bus = dict(l.split("=", 1) for l in sp.check_output(["dbus-launch"], text=True).split())
os.environ["DBUS_SESSION_BUS_ADDRESS"] = bus["DBUS_SESSION_BUS_ADDRESS"]
started += [sp.Popen([launcher, "--launch-immediately"]), sp.Popen(["openbox"])]


def wait(what, why):
    for _ in range(150):
        try:
            if what():
                return what()
        except Exception:
            pass
        time.sleep(0.2)
    sys.exit("FAILED: no " + why)


def find(name, role=None):  # the first shown object of the window by its name
    return pyatspi.findDescendant(app, lambda o: o.name == name and (
        role is None or o.getRole() == role) and o.getState().contains(pyatspi.STATE_SHOWING))


def fresh():  # the applications on the bus now, not as last seen
    desktop.clearCache()
    return desktop


def launch(command):
    started.append(sp.Popen(command, preexec_fn=lambda: os.closerange(0, 3)))
    return wait(lambda: [a for a in fresh() if a and a.name == "tarvik-setup-converter"][-1],
                "window on the AT-SPI bus")


def read(path):
    return open(path, "rb").read() if os.path.exists(path) else None


try:
    import pyatspi
    ask = ["dbus-send", "--print-reply=literal", "--dest=org.freedesktop.DBus", "/",
           "org.freedesktop.DBus.NameHasOwner", "string:org.a11y.atspi.Registry"]
    a11y = wait(lambda: sp.check_output(["dbus-send", "--session", "--print-reply=literal",
        "--dest=org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus.GetAddress"], text=True).strip(),
        "accessibility bus")
    desktop = wait(lambda: pyatspi.Registry.getDesktop(0), "AT-SPI desktop")  # starts the registry
    wait(lambda: "true" in sp.check_output(ask[:1] + ["--bus=" + a11y] + ask[1:], text=True),
         "AT-SPI registry")
    # Qt 5 finds the accessibility bus by the X root window's property, which the bus's launcher
    # sets only now and then when started without a desktop session: set here, as it would be.
    sp.run(["xprop", "-root", "-f", "AT_SPI_BUS", "8s", "-set", "AT_SPI_BUS", a11y], check=True)
    shutil.copy(old, home + "/site.hex")
    app = launch([program])
    field = wait(lambda: find("Old TARVIK setup file (8 virtual inputs):", pyatspi.ROLE_TEXT),
                 "field named by its label")
    assert os.readlink(f"/proc/{started[-1].pid}/fd/2") == "/dev/null"
    field.queryEditableText().setTextContents(home + "/site.hex")
    find("Convert and Save...", pyatspi.ROLE_PUSH_BUTTON).queryAction().doAction(0)
    name = wait(lambda: find("File name:", pyatspi.ROLE_TEXT), "save dialog's file name")
    name.queryEditableText().setTextContents(home + "/out.hex")
    find("Save", pyatspi.ROLE_PUSH_BUTTON).queryAction().doAction(0)
    wait(lambda: read(home + "/out.hex") == read(new), "conversion saved byte for byte")
    print("desktop: 1 passed, 0 failed")
finally:
    for process in reversed(started):
        process.send_signal(signal.SIGTERM)
    os.kill(int(bus["DBUS_SESSION_BUS_PID"]), signal.SIGTERM)
    shutil.rmtree(home, ignore_errors=True)
