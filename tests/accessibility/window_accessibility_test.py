"""The real installer window (window_driver) on a 1366 x 768 Xvfb and the session's accessibility
bus (run under dbus-run-session), read through AT-SPI as a screen reader reads it, keys pressed with
xdotool, pixels measured on grabs. Prints failed checks and "N passed, M failed"; 1 on failure."""
import os, subprocess, sys, tempfile, time, pyatspi
from gi.repository import GLib

results, events, scratch = {True: 0, False: 0}, [], tempfile.mkdtemp()


def check(ok, what):
    results[bool(ok)] += 1
    ok or print("FAILED:", what, flush=True)


xvfb = subprocess.Popen(["Xvfb", "-displayfd", "1", "-screen", "0", "1366x768x24", "-wr",
                         "-nolisten", "tcp"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
os.environ["DISPLAY"] = ":" + xvfb.stdout.readline().decode().strip()
# What a screen reader speaks on: a control taking the focus, or the focused one's new description.
pyatspi.Registry.registerEventListener(lambda e: events.append(e.source), "focus:",
                                       "object:property-change:accessible-description")


def pump(seconds, until=lambda: False):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and not until():
        GLib.MainContext.default().iteration(False) or time.sleep(0.01)


class Window:
    def __init__(self, language, scale="1", config="/nonexistent"):
        self.process = subprocess.Popen([sys.argv[1]], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        text=True, env=dict(os.environ, LANGUAGE=language,
                                        QT_SCALE_FACTOR=scale, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                                        QT_QPA_PLATFORM="xcb", XDG_CONFIG_HOME=config))
        self.read()
        pump(10, lambda: self.frame() and self.frame().getState().contains(pyatspi.STATE_ACTIVE))

    read = lambda self: [line.strip() for line in iter(self.process.stdout.readline, "ok\n")]

    def send(self, command, keys=None):
        events.clear()
        print(command, file=self.process.stdin, flush=True)
        actions = self.read()
        if keys:
            subprocess.run(["xdotool", "key", "--clearmodifiers", keys], check=True)
            time.sleep(0.3)  # for the key to reach the window before the next line does
            actions += self.send("")
        pump(1.5, lambda: events), pump(0.2)
        return actions

    def frame(self):
        # This driver's own entry: the bus may still list one the test has just killed.
        for _ in range(50):
            apps = [a for a in pyatspi.Registry.getDesktop(0) if a and a.name ==
                    "vexa-window-driver" and a.get_process_id() == self.process.pid]
            if apps and apps[0].childCount:
                return apps[0][0]
            pump(0.1)
        return None

    card = lambda self: list(self.frame()[0])
    focused = lambda self: next((c for c in self.card() if c.getState().contains(
        pyatspi.STATE_FOCUSED)), None)

    def grab(self):
        self.send("grab " + os.path.join(scratch, "screen.ppm"))
        header = open(os.path.join(scratch, "screen.ppm"), "rb").read().split(b"\n", 3)
        width = int(header[1].split()[0])
        return lambda x, y: tuple(header[3][(y * width + x) * 3:(y * width + x) * 3 + 3])


def contrast(a, b):
    def luminance(c):
        v = [x / 12.92 if x <= 0.04045 else ((x + 0.055) / 1.055) ** 2.4 for x in
             (y / 255 for y in c)]
        return 0.2126 * v[0] + 0.7152 * v[1] + 0.0722 * v[2]
    low, high = sorted((luminance(a), luminance(b)))
    return (high + 0.05) / (low + 0.05)


extents = lambda control: tuple(control.queryComponent().getExtents(pyatspi.DESKTOP_COORDS))
# Each screen: the control that takes the focus (Chinese, English) and the progress bar: absent
# from the tree (None), "busy" with no value, or the percentage it reports.
SCREENS = [("welcome", "立即安装", "Install Now", None), ("checking", "关闭", "Close", "busy"),
           ("downloading", "关闭", "Close", 0), ("progress", "关闭", "Close", 42),
           ("installing", "关闭", "Close", "busy"), ("failure", "重试", "Retry", None),
           ("newer", "直接打开", "Open Vexa", None), ("running", "立即关闭", "Quit Now", None),
           ("quit-wait", "关闭 Vexa", "Quit Vexa", None), ("opening", "关闭", "Close", None),
           ("opening-failed", "立即打开", "Open Vexa", None)]
for language, index in (("zh", 1), ("en", 2)):
    window = Window(language)
    frame = window.frame()
    check(frame.getRole() == pyatspi.ROLE_FRAME and frame.name ==
          ("Vexa 安装程序", "Vexa Installer")[index - 1], f"{language}: window {frame.name}")
    for screen in SCREENS:
        window.send(screen[0])
        card, focused, where = window.card(), window.focused(), f"{language} {screen[0]}"
        check(focused and focused.name == screen[index], f"{where}: focus {focused and focused.name}")
        # Heading and detail (the labels after the brand and the tagline) are read with it.
        texts = [c.name for c in card if c.getRole() == pyatspi.ROLE_LABEL and c.name][2:]
        if focused and screen[0] != "progress":
            check(focused in events and focused.description == "\n".join(texts), f"{where}: "
                  f"said {focused.name}, {focused.getRoleName()}, {focused.description!r}")
        check(all(c.getRole() != pyatspi.ROLE_FILLER and (c.getRole() != pyatspi.ROLE_IMAGE or
                  c.name == "Vexa") and (c.name.isascii() == (index == 2) or c.name == "Vexa" or
                  c.getRole() == pyatspi.ROLE_LABEL) for c in card), f"{where}: decoration, names")
        state, bar = None, [c for c in card if c.getRole() == pyatspi.ROLE_PROGRESS_BAR]
        if bar:
            value = bar[0].queryValue() if "Value" in pyatspi.utils.listInterfaces(bar[0]) else None
            state = int(value.currentValue) if value else (
                "busy" if bar[0].getState().contains(pyatspi.STATE_BUSY) else "?")
            check(bar[0].name == ("安装进度", "Installation progress")[index - 1], where)
        check(state == screen[3], f"{where}: progress {state}")
    window.process.kill()

# The newer-version screen in both colour sets: Return presses the primary, Escape and Ctrl+W make
# the close request (never "Install Anyway"), Ctrl+Q asks the close decision; Tab follows the
# reading order with a focus indicator of at least 3:1. Texts reach 4.5:1 only in high contrast
# (the standard colours are kept as designed); the corners are opaque without a compositor.
config = os.path.join(scratch, "config")
os.makedirs(os.path.join(config, "gtk-3.0"))
print("[Settings]\ngtk-theme-name=HighContrast", file=open(config + "/gtk-3.0/settings.ini", "w"))
for high_contrast in (False, True):
    window = Window("en", config=config if high_contrast else "/nonexistent")
    window.send("newer")
    for keys, action in (("Return", "primary"), ("Escape", "close"), ("ctrl+w", "close"),
                         ("ctrl+q", "shouldClose")):
        actions = window.send("", keys)
        check(actions == ["action " + action], f"{keys} makes {action}: {actions}")
    order = []
    for _ in range(4):
        window.send("", "Tab")
        control = window.focused()
        pixel, (x, y, w, h) = window.grab(), extents(control)
        order.append(control.name)
        ring, inside = (pixel(x + 5, y + h // 2), pixel(x + 8, y + h // 2)) if w == 320 else \
            (pixel(x + 1, y + h // 2), (255, 255, 255))
        check(contrast(ring, inside) >= 3, f"{high_contrast}: ring of {control.name} "
              f"{contrast(ring, inside):.2f}:1")
    check(order == ["Install Anyway", "Cancel", "Close", "Open Vexa"], f"Tab order {order}")
    window.send("failure")
    pixel = window.grab()
    for control in window.card():
        x, y, w, h = extents(control)
        area = [pixel(i, j) for i in range(x, x + w) for j in range(y, y + h)]
        # Dark text on white, or the primary's white title on the light end of its gradient.
        ratio = contrast(max(area, key=sum), pixel(x + 14, y + 8)) if w == 320 else \
            contrast(min(area, key=sum), (255, 255, 255))
        if w == 320 or control.name.startswith(("your AI", "Network")):
            check((ratio >= 4.5) == high_contrast, f"{high_contrast}: {control.name} {ratio:.2f}")
    x, y, _, _ = extents(window.frame())
    check(pixel(x, y) == (255, 255, 255) and pixel(x + 400, y) == (217, 225, 232), "corners")
    window.process.kill()

# A refused close (while checking) says why.
window = Window("en")
window.send("busy"), window.send("checking")
actions, focused = window.send("", "Escape"), window.focused()
heard = focused in events and "can't close" in focused.description
check(actions == ["action close"] and heard, f"refused close: {focused.description!r}")
window.process.kill()

# Placement on 1366 x 768: centred when it fits, else its top-left corner on the screen.
for scale, expected in (("1", (283, 84)), ("1.5", (83, 0)), ("2", (0, 0))):
    window = Window("en", scale)
    x, y, w = (int(line.split("=")[1]) for line in subprocess.run(["xdotool", "search", "--name",
               "Vexa Installer", "getwindowgeometry", "--shell"], capture_output=True,
               text=True).stdout.split()[1:4])
    check(abs(x - expected[0]) <= 1 and y == expected[1] and (x + w <= 1366 or x == 0),
          f"scale {scale}: at {x},{y}, {w} wide")
    window.process.kill()

xvfb.kill()
print(f"{results[True]} passed, {results[False]} failed")
sys.exit(1 if results[False] else 0)
